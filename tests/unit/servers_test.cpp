// The run's servers: their order, who is tried last, which URLs may name a
// server, and the way of one file through them.
#include "engine/fetch/Servers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef";

TFailure Fault(TFault fault) { return TFailure{fault, fault == TFault::ServerError ? 500 : 0, "why"}; }

// The URLs a cursor asks for "data\a.pak" when each attempt fails with the
// given faults in turn, until it gives up.
std::vector<std::string> Walk(TServers& servers, const std::vector<TFault>& faults, const std::string& digest) {
    TServerCursor cursor(servers, "data\\a.pak", digest);
    std::vector<std::string> urls{cursor.Url()};
    for (const TFault fault : faults) {
        if (!cursor.Failed(Fault(fault))) break;
        urls.push_back(cursor.Url());
    }
    return urls;
}

}  // namespace

TEST(Servers, OneFilesWayThroughTheServers) {
    const std::string a = "http://a/U/data/a.pak.bz2", b = "http://b/U/data/a.pak.bz2", c = "https://c/data/a.pak.bz2";
    const std::string aq = a + "?md5=" + kDigest, bq = b + "?md5=" + kDigest;
    struct Case {
        const char* name;
        std::vector<TFault> faults;
        std::string digest;
        std::vector<std::string> urls;
    };
    const std::vector<Case> cases = {
        {"refused, then the next", {TFault::CannotConnect, TFault::CannotConnect}, kDigest, {a, b, c}},
        {"an error status, a stall, a cut", {TFault::ServerError, TFault::Stalled, TFault::Cut}, kDigest, {a, b, c}},
        {"a wrong copy is asked once more with the digest",
         {TFault::DigestMismatch, TFault::DigestMismatch, TFault::Corrupt, TFault::TooLarge},
         kDigest,
         {a, aq, b, bq, c}},
        {"no digest, no query", {TFault::DigestMismatch, TFault::DigestMismatch}, "", {a, b, c}},
        {"the query only after a wrong copy", {TFault::Cut, TFault::DigestMismatch}, kDigest, {a, b, bq}},
        {"a full disk is no server's", {TFault::DiskFull}, kDigest, {a}},
        {"a stop is no server's", {TFault::Stopped}, kDigest, {a}},
        {"an entry without its SHA-256 is the list's", {TFault::NotTrusted}, kDigest, {a}},
    };
    for (const Case& c0 : cases) {
        TServers servers({"http://a/U", "http://b/U/", "https://c"});
        EXPECT_EQ(Walk(servers, c0.faults, c0.digest), c0.urls) << c0.name;
    }
}

TEST(Servers, TheListsServerFirstAndOneThatKeepsFailingLast) {
    TServers servers({"http://a/", "http://b/", "http://c/"});
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{0, 1, 2}));
    servers.Prefer(1);
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{1, 0, 2}));

    // Failures with a success between them are not "in a row".
    for (int i = 0; i < TServers::kDemoteAfter - 1; ++i) servers.Failed(1, Fault(TFault::Cut));
    servers.Succeeded(1);
    servers.Failed(1, Fault(TFault::Cut));
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{1, 0, 2}));
    for (int i = 0; i < TServers::kDemoteAfter - 1; ++i) servers.Failed(1, Fault(TFault::Cut));
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{0, 2, 1}));
    // For the rest of the run, a later success notwithstanding.
    servers.Succeeded(1);
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{0, 2, 1}));
    for (int i = 0; i < TServers::kDemoteAfter; ++i) servers.Failed(0, Fault(TFault::CannotConnect));
    EXPECT_EQ(servers.Order(), (std::vector<std::size_t>{2, 1, 0}));

    const auto records = servers.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].failures, 2u * TServers::kDemoteAfter - 1);
    EXPECT_EQ(records[0].reasons.front().fault, TFault::CannotConnect);
    EXPECT_TRUE(records[0].demoted && records[1].demoted && !records[2].demoted);
    // Reasons are kept up to a bound; failures are counted past it.
    for (std::size_t i = 0; i < 2 * TServers::kKeptReasons; ++i) servers.Failed(2, Fault(TFault::Stalled));
    EXPECT_EQ(servers.Records()[2].reasons.size(), TServers::kKeptReasons);
    EXPECT_EQ(servers.Records()[2].failures, 2 * TServers::kKeptReasons);
}

TEST(Servers, CursorGivesTheFirstServersReasonAndWhetherAnyoneAnswered) {
    TServers servers({"http://a/", "http://b/"});
    TServerCursor refused(servers, "x", "");
    EXPECT_TRUE(refused.Failed(Fault(TFault::CannotConnect)));
    EXPECT_TRUE(refused.Moved());
    EXPECT_FALSE(refused.Failed(Fault(TFault::CannotConnect)));
    EXPECT_TRUE(refused.NoneAnswered());

    TServerCursor mixed(servers, "x", "");
    EXPECT_FALSE(mixed.Moved());
    EXPECT_TRUE(mixed.Failed(Fault(TFault::ServerError)));
    EXPECT_FALSE(mixed.Failed(Fault(TFault::CannotConnect)));
    EXPECT_FALSE(mixed.NoneAnswered());
    EXPECT_EQ(mixed.FirstFailure().fault, TFault::ServerError);
    EXPECT_EQ(mixed.FirstFailure().code, 500);
}

TEST(Servers, ListedMirrorsAddServerUrlsOnlyUpToTheLimit) {
    TServers servers({"http://a/"});
    const std::vector<std::string> listed = {"ftp://x/", "http://a", "http://m1/", "http://m1/", "https://m2/",
                                             "http://m3/", "http://m4/", "http://m5/", "http://m6/", "http://m7/",
                                             "http://m8/", "http://m9/"};
    EXPECT_EQ(servers.AddListed(listed), TServers::kMaxListed);
    EXPECT_EQ(servers.Count(), 1 + TServers::kMaxListed);
    EXPECT_EQ(servers.Base(1), "http://m1/");
    EXPECT_EQ(servers.Base(TServers::kMaxListed), "http://m8/");
    EXPECT_EQ(servers.AddListed({"http://m10/"}), 0u);
}

TEST(Servers, AnswerIsBoundedOnlyWhenAnotherServerCouldBeAsked) {
    TServers one({"http://a/"});
    EXPECT_EQ(one.AnswerWithin().count(), 0);
    one.AddListed({"http://b/"});
    EXPECT_EQ(one.AnswerWithin(), TServers::kAnswerWithin);
    EXPECT_EQ(SplitServerUrls("  http://a/ \thttp://b/\n"), (std::vector<std::string>{"http://a/", "http://b/"}));
    EXPECT_TRUE(SplitServerUrls("   ").empty());
}
