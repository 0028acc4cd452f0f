// The engine's list verification with a scripted server: what it fetches,
// when it fetches again, and the install's rollback state.
#include "engine/state/ListTrust.h"

#include "formats/Signature.h"
#include "platform/errors.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

constexpr std::uint64_t kNow = 1'800'000'000;

class ListTrustTest : public ::testing::Test {
protected:
    scratch::Dir dir_;
    const std::string install_ = dir_.Native().string() + "/";
    const std::string archive_ = install_ + "files.lst.bz2";
    const sig::TSecretKey key_ = sig::TSecretKey::Generate();
    TListTrust trust_{sig::ToHex(key_.PublicKey())};
    // What each URL answers, in turn (the last answer repeats).
    std::map<std::string, std::vector<std::string>> answers_;
    std::vector<std::string> fetched_;

    std::string Publication(const std::string& list, std::uint64_t serial) const {
        const auto digest = sig::Sha256({reinterpret_cast<const std::uint8_t*>(list.data()), list.size()});
        return sig::SignList(key_, digest, serial, kNow + 100);
    }
    void Serve(const std::string& list, const std::vector<std::string>& sigs) {
        answers_["u/files.lst.bz2"] = {list};
        answers_["u/files.lst.bz2.sig"] = sigs;
        scratch::WriteAll(archive_, list);
    }
    std::string Verify() {
        return trust_.VerifyList(
            install_, "u/files.lst.bz2", archive_, {install_ + "files.lst.bz2.sig", install_ + "files.lst.serial.tmp"},
            [this](const std::string& url, const std::string& path) {
                fetched_.push_back(url);
                auto it = answers_.find(url);
                if (it == answers_.end()) return false;
                std::vector<std::string>& queue = it->second;
                // Fetches make their file anew, as the run's do.
                EXPECT_FALSE(std::filesystem::exists(path)) << path;
                scratch::WriteAll(path, queue.front());
                if (queue.size() > 1) queue.erase(queue.begin());
                return true;
            },
            kNow, [this] { fetched_.push_back("wait"); });
    }
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_.Native())) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(ListTrustTest, ValidListRecordsItsSerialAndOlderOnesAreRefused) {
    Serve("list v2", {Publication("list v2", 200)});
    EXPECT_EQ(Verify(), "");
    EXPECT_EQ(ReadSerialState(install_), 200u);
    EXPECT_EQ(fetched_, (std::vector<std::string>{"u/files.lst.bz2.sig"}));
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"files.lst.bz2", "files.lst.serial"}));

    // The same publication again is fine; an older genuine one is a rollback.
    Serve("list v2", {Publication("list v2", 200)});
    EXPECT_EQ(Verify(), "");
    Serve("list v1", {Publication("list v1", 199)});
    EXPECT_NE(Verify().find("older"), std::string::npos);
    EXPECT_EQ(ReadSerialState(install_), 200u);
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"files.lst.serial"}));
}

TEST_F(ListTrustTest, DamagedStateOnlySkipsTheRollbackCheck) {
    for (const std::string& damaged : {std::string("abc\n"), std::string("300"), std::string(""),
                                       std::string("99999999999999999999999\n"), std::string(5000, '1')}) {
        scratch::WriteAll(install_ + kSerialStateName, damaged);
        EXPECT_FALSE(ReadSerialState(install_)) << damaged;
        Serve("list v1", {Publication("list v1", 150)});
        EXPECT_EQ(Verify(), "") << damaged;
        EXPECT_EQ(ReadSerialState(install_), 150u);
    }
}

// The attack: a file planted at the state's temporary name (a hard link
// stands for any name that would be written through) is never opened; the
// list is refused instead, so the rollback check can't be skipped silently.
TEST_F(ListTrustTest, StateIsNeverWrittenThroughWhatStandsAtItsTemporaryName) {
    scratch::WriteAll(install_ + "victim.txt", "precious");
    std::error_code linked;
    std::filesystem::create_hard_link(install_ + "victim.txt", install_ + "files.lst.serial.tmp", linked);
    if (linked) scratch::WriteAll(install_ + "files.lst.serial.tmp", "precious");
    Serve("list v1", {Publication("list v1", 150)});
    EXPECT_NE(Verify().find("serial could not be recorded"), std::string::npos);
    EXPECT_EQ(scratch::ReadAll(install_ + "victim.txt"), "precious");
    EXPECT_EQ(scratch::ReadAll(install_ + "files.lst.serial.tmp"), "precious");
    EXPECT_FALSE(ReadSerialState(install_));
}

TEST_F(ListTrustTest, MismatchedPairIsFetchedOnceMoreThenRefused) {
    // A publication swapped between the two requests: the second try, after
    // a wait, agrees.
    Serve("list v2", {Publication("list v1", 100), Publication("list v2", 101)});
    EXPECT_EQ(Verify(), "");
    EXPECT_EQ(fetched_,
              (std::vector<std::string>{"u/files.lst.bz2.sig", "wait", "u/files.lst.bz2", "u/files.lst.bz2.sig"}));

    // A forged list stays forged: two tries, then refused and removed.
    fetched_.clear();
    Serve("forged", {Publication("list v3", 102)});
    EXPECT_NE(Verify().find("does not match"), std::string::npos);
    EXPECT_EQ(fetched_.size(), 4u);
    EXPECT_EQ(ReadSerialState(install_), 101u);
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"files.lst.serial"}));

    // No signature at all, and one too large to be one.
    fetched_.clear();
    Serve("list v4", {});
    answers_.erase("u/files.lst.bz2.sig");
    EXPECT_NE(Verify(), "");
    Serve("list v4", {Publication("list v4", 104) + std::string(5000, ' ')});
    EXPECT_NE(Verify(), "");
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"files.lst.serial"}));
}

TEST_F(ListTrustTest, CopiesMustMatchTheirSha256OnlyWithAKey) {
    // The hasher sees the copy in blocks, as the decoder hands them over.
    std::string content(3 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + (i >> 11));
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    TCopyHasher hasher;
    for (std::size_t done = 0; done < bytes.size(); done += 65536) {
        hasher.Update(bytes.subspan(done, std::min<std::size_t>(65536, bytes.size() - done)));
    }
    const sig::TSha256 digest = hasher.Final();
    EXPECT_EQ(digest, sig::Sha256(bytes));
    {
        TCopyHasher abandoned;
        abandoned.Update(bytes.first(10));
    }  // a failed copy: stopped, not finished

    const std::string good = sig::ToHex(digest);
    EXPECT_NO_THROW(trust_.CheckCopy(digest, good));
    EXPECT_THROW(trust_.CheckCopy(sig::Sha256({}), good), Exception);
    EXPECT_THROW(trust_.CheckCopy(digest, ""), Exception);
    EXPECT_THROW(trust_.CheckCopy(digest, good.substr(1)), Exception);

    const TListTrust keyless{std::string()};
    EXPECT_FALSE(keyless.Enabled());
    EXPECT_NO_THROW(keyless.CheckCopy(sig::Sha256({}), ""));
    EXPECT_THROW(TListTrust("1234"), Exception);
}

// The keyring's rules, run after run: each step is a list signed by some
// keys that names and revokes others; a fresh trust per step, as each run
// has, so what is learned must come back from the install's state.
TEST_F(ListTrustTest, KeysAreNamedAndRevokedOnlyBySignedLists) {
    const sig::TSecretKey a = sig::TSecretKey::Generate(), b = sig::TSecretKey::Generate();
    const sig::TSecretKey* const keys[] = {&key_, &a, &b};  // 0 is the compiled-in root
    struct Step {
        std::vector<int> signers, named, revoked;
        const char* problem;  // "" when accepted
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<bool> trusted;  // root, a, b afterwards
    };
    const Case cases[] = {
        {"an unknown key is refused until a trusted list names it",
         {{{1}, {}, {}, "not the publisher's"}, {{0}, {1}, {}, ""}, {{1}, {}, {}, ""}},
         {true, true, false}},
        {"a list signed by an untrusted key names nothing",
         {{{1}, {2}, {}, "not the publisher's"}, {{2}, {}, {}, "not the publisher's"}},
         {true, false, false}},
        {"a rotation: both sign, then the new key alone",
         {{{1, 0}, {1}, {}, ""}, {{1}, {1}, {}, ""}},
         {true, true, false}},
        {"the root revoked: the key it introduced carries the install",
         {{{0}, {1}, {}, ""}, {{1}, {1}, {0}, ""}, {{0}, {}, {}, "revoked key"}, {{1}, {2}, {}, ""}},
         {false, true, true}},
        {"the day the root leaks: one list signed by both names the new key and revokes the root",
         {{{1, 0}, {1}, {0}, ""}, {{0}, {}, {}, "revoked key"}, {{1}, {}, {}, ""}},
         {false, true, false}},
        {"a revocation is final, naming the key again does not undo it",
         {{{0}, {1}, {}, ""}, {{0}, {}, {1}, ""}, {{0}, {1}, {}, ""}, {{1}, {}, {}, "revoked key"}},
         {true, false, false}},
        {"a revoked key beside a trusted one: the trusted signature counts",
         {{{0}, {1}, {}, ""}, {{1}, {}, {0}, ""}, {{0, 1}, {}, {}, ""}},
         {false, true, false}},
    };
    std::uint64_t serial = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(install_ + kKeyringStateName);
        for (const Step& step : c.steps) {
            std::vector<const sig::TSecretKey*> signers;
            for (const int k : step.signers) signers.push_back(keys[k]);
            const std::string list = "list " + std::to_string(++serial);
            const auto digest = sig::Sha256({reinterpret_cast<const std::uint8_t*>(list.data()), list.size()});
            Serve(list, {sig::SignList(signers, digest, serial, std::nullopt)});
            trust_ = TListTrust(sig::ToHex(key_.PublicKey()));
            const std::string problem = Verify();
            EXPECT_NE(problem.find(step.problem), std::string::npos) << problem;
            if (*step.problem != '\0') continue;
            EXPECT_EQ(problem, "");
            std::vector<sig::TPublicKey> named, revoked;
            for (const int k : step.named) named.push_back(keys[k]->PublicKey());
            for (const int k : step.revoked) revoked.push_back(keys[k]->PublicKey());
            trust_.LearnKeys(install_, named, revoked, install_ + "files.lst.keys.tmp");
        }
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(trust_.TrustsKey(sig::ToHex(keys[k]->PublicKey())), c.trusted[k]) << k;
        }
    }
    // A damaged keyring leaves the root alone trusted.
    scratch::WriteAll(install_ + kKeyringStateName, "key 12\n");
    EXPECT_TRUE(ReadKeyringState(install_).keys.empty());
}
