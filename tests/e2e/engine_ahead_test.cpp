// The install loop with its entries fetched, decoded and verified ahead on
// several connections: what the view shows, what is installed and what
// fails still follow the list, one entry after another.
#include "tests/e2e/engine_fixture.h"

#include "engine/ahead/InstallAhead.h"
#include "engine/state/ListTrust.h"
#include "engine/fetch/Resume.h"
#include "engine/fetch/RunControl.h"
#include "engine/state/TempNames.h"
#include "platform/os.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

std::string Entry(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%d\\f%03d.dat", i % 3, i);
    return name;
}
std::string UrlOf(const std::string& path) {
    std::string url = path;
    std::replace(url.begin(), url.end(), '\\', '/');
    return url + ".bz2";
}

// The paths that got a status of the given text, in the order shown.
std::vector<std::string> Shown(const std::vector<std::string>& log, const std::string& status) {
    std::vector<std::string> paths;
    const std::string prefix = "Status|" + status + "|";
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) == 0) paths.push_back(line.substr(prefix.size()));
    }
    return paths;
}

}  // namespace

class AheadRun : public EngineRun {
protected:
    // count entries in list order (names sort as they are numbered), each
    // with old content on disk.
    void PublishEntries(int count, std::size_t size) {
        files_.clear();
        order_.clear();
        for (int i = 0; i < count; ++i) {
            files_[Entry(i)] = {Noise(size + static_cast<std::size_t>(i) * 37, static_cast<unsigned>(i)), true};
            WriteLocal(Entry(i), "old");
        }
        for (const auto& [path, file] : files_) order_.push_back(path);
        Publish(files_);
    }
    std::vector<std::string> Ended(std::size_t from, std::size_t to, const char* how) const {
        std::vector<std::string> out;
        for (std::size_t k = from; k < to; ++k) out.push_back(order_[k] + " " + how);
        return out;
    }

    std::map<std::string, TPublished> files_;
    std::vector<std::string> order_;
};

// The first entry trickles while the next ones are fetched and decoded on
// the other connections: the view still goes through the entries in list
// order, each one Downloading then Extracting, and installs them in it.
TEST_F(AheadRun, ViewAndInstallsFollowTheListWhileLaterEntriesAreDoneAhead) {
    PublishEntries(24, 3000);
    files_[order_[0]].content = Noise(40000, 99);
    Publish(files_);
    SetFault(UrlOf(order_[0]), "trickle 4096 20");
    ASSERT_TRUE(Run()) << ::testing::PrintToString(view_.log);

    EXPECT_THAT(Shown(view_.log, "Descargando..."), ElementsAreArray(order_));
    EXPECT_THAT(Shown(view_.log, "Extrayendo..."), ElementsAreArray(order_));
    EXPECT_THAT(view_.entries, ElementsAreArray(Ended(0, order_.size(), "ok")));
    // Each entry's statuses come before the next entry's, the total bar
    // moves once per entry.
    std::vector<std::string> statuses, totals;
    const auto loop = std::find(view_.log.begin(), view_.log.end(), "Status|Descargando...|" + order_[0]);
    for (const auto& line : std::vector<std::string>(loop, view_.log.end())) {
        if (line.rfind("Status|Descargando...|", 0) == 0 || line.rfind("Status|Extrayendo...|", 0) == 0)
            statuses.push_back(line.substr(line.rfind('|') + 1));
        if (line.rfind("Total ", 0) == 0 && line != "Total 0") totals.push_back(line);
    }
    std::vector<std::string> pairs, counted;
    for (std::size_t k = 0; k < order_.size(); ++k) {
        pairs.insert(pairs.end(), {order_[k], order_[k]});
        counted.push_back("Total " + std::to_string(k + 1));
    }
    EXPECT_THAT(statuses, ElementsAreArray(pairs));
    EXPECT_THAT(totals, ElementsAreArray(counted));
    for (const auto& path : order_) EXPECT_TRUE(ReadLocal(path) == files_[path].content) << path;
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_THAT(Partials(), IsEmpty());
    // The later entries came over the other connections meanwhile.
    EXPECT_GE(Connections(), 2u);
}

// A fresh install of many small files: every connection kept open for the
// whole run, never more than the loop's workers.
TEST_F(AheadRun, FreshInstallOfManyFilesOpensAtMostOneConnectionPerWorker) {
    std::map<std::string, TPublished> files;
    for (int i = 0; i < 300; ++i) files[Entry(i)] = {Noise(1000 + static_cast<std::size_t>(i) * 13, i), i % 2 == 0};
    Publish(files);
    ASSERT_TRUE(Run());
    for (const auto& [path, file] : files) EXPECT_TRUE(ReadLocal(path) == file.content) << path;
    EXPECT_EQ(Requests().size(), 301u);
#ifdef _WIN32
    // Under Wine, WinInet's process-wide pool opened one or two more in 3 of
    // 13 runs, each in a freshly started wineserver (never in 8 runs under a
    // warm one); its pool is not ours to steer. Reuse is what is checked
    // there: 301 requests on at most two connections a worker.
    EXPECT_LE(Connections(), static_cast<std::size_t>(kFetchConnections) * 2);
#else
    EXPECT_LE(Connections(), static_cast<std::size_t>(kFetchConnections));
#endif
    EXPECT_GE(Connections(), 2u);
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// An entry whose URL can't be opened ends the loop there, as it did one
// entry at a time: what was fetched or decoded ahead for the entries after
// it is dropped, nothing after it is installed, no temporary stays.
TEST_F(AheadRun, UnreachableEntryInTheMiddleDropsWhatWasDoneAheadOfIt) {
    PublishEntries(16, 5000);
    SetFault(UrlOf(order_[5]), "redirect http://127.0.0.1:9/gone.bz2");
    EXPECT_FALSE(Run());
    for (std::size_t k = 0; k < order_.size(); ++k) {
        if (k < 5)
            EXPECT_TRUE(ReadLocal(order_[k]) == files_[order_[k]].content) << order_[k];
        else
            EXPECT_EQ(ReadLocal(order_[k]), "old") << order_[k];
    }
    auto expected = Ended(0, 5, "ok");
    expected.push_back(order_[5] + " failed");
    EXPECT_THAT(view_.entries, ElementsAreArray(expected));
    EXPECT_FALSE(view_.Contains("Status|Descargando...|" + order_[6]));
    EXPECT_TRUE(view_.Contains("Finished failed"));
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// Copies that fail their checks ahead (corrupt, larger than their entry,
// another digest) fail alone, in their turn; the others install.
TEST_F(AheadRun, BadCopiesDoneAheadFailAloneInTheirTurn) {
    PublishEntries(12, 4000);
    std::string corrupt = Compress(files_[order_[3]].content);
    corrupt[corrupt.size() / 2] ^= 0x55;
    PutServerFile(UrlOf(order_[3]), corrupt);
    PutServerFile(UrlOf(order_[6]), Compress(files_[order_[6]].content + "more"));
    PutServerFile(UrlOf(order_[9]), Compress(files_[order_[8]].content));
    EXPECT_FALSE(Run());
    std::vector<std::string> expected;
    for (std::size_t k = 0; k < order_.size(); ++k) {
        const bool bad = k == 3 || k == 6 || k == 9;
        expected.push_back(order_[k] + (bad ? " failed" : " ok"));
        if (bad)
            EXPECT_EQ(ReadLocal(order_[k]), "old") << order_[k];
        else
            EXPECT_TRUE(ReadLocal(order_[k]) == files_[order_[k]].content) << order_[k];
    }
    EXPECT_THAT(view_.entries, ElementsAreArray(expected));
    EXPECT_EQ(view_.Count("Status|" + kFailed + "|"), 3u);
    // Each failure is shown after its own entry's status, before the next's.
    const auto failedAt = std::find(view_.log.begin(), view_.log.end(), "Status|" + kFailed + "|");
    const auto fourthAt = std::find(view_.log.begin(), view_.log.end(), "Status|Descargando...|" + order_[3]);
    const auto fifthAt = std::find(view_.log.begin(), view_.log.end(), "Status|Descargando...|" + order_[4]);
    EXPECT_LT(fourthAt, failedAt);
    EXPECT_LT(failedAt, fifthAt);
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_THAT(Partials(), IsEmpty());
}

// Every answer closes its connection and one copy stalls: every other entry
// is still requested and installs; the stalled one fails by the stall rule.
TEST_F(AheadRun, AStalledCopyStarvesNoOtherWhenEveryAnswerClosesItsConnection) {
    PublishEntries(16, 4000);
    os::SetHttpStallTimeout(3);
    SetFault("files.lst.bz2", "close");
    for (const auto& path : order_) SetFault(UrlOf(path), path == order_[1] ? "stall 100 500 close" : "close");
    EXPECT_FALSE(Run());
    os::SetHttpStallTimeout(60);
    std::vector<std::string> expected = Ended(0, order_.size(), "ok");
    expected[1] = order_[1] + " failed";
    EXPECT_THAT(view_.entries, ElementsAreArray(expected));
    EXPECT_EQ(view_.reasons.at(1), TFault::Stalled);
}

// The window closed while several transfers are in flight: the workers stop
// at their next block, the run ends only once they have, no temporary stays
// (interrupted transfers are kept as partial copies), nothing more is
// installed, and no transfer went on to its end.
TEST_F(AheadRun, StopWithTransfersInFlightEndsEveryWorkerAndLeavesNoTemporary) {
    // Small copies are fetched into memory, larger ones into partial copies.
    for (const std::size_t size : {std::size_t{60000}, std::size_t{300000}}) {
        SCOPED_TRACE(size);
        PublishEntries(8, size);
        for (const auto& path : order_) SetFault(UrlOf(path), "trickle 2048 30");
        struct StopView final : TQuietView {
            GFilesThread* run = nullptr;
            bool installing = false;
            void SyncStatus(TRunPhase phase, const std::string&, const std::string&) override {
                if (phase == TRunPhase::Downloading) installing = true;
            }
            // The first position of the first entry (not of the list): the
            // other workers are inside their transfers by then.
            void SyncFileProgress(std::int32_t value) override {
                if (installing && value > 0) run->RequestStop();
            }
        } stopper;
        TDirectSynchronizer sync;
        GFilesThread run(stopper, sync);
        stopper.run = &run;
        run.SetProgressInterval(std::chrono::steady_clock::duration::zero());
        run.SelfMode = TSelfMode::OrdinaryFile;
        EXPECT_FALSE(RunIn(run));
        EXPECT_TRUE(run.Control()->Ended());
        for (const auto& path : order_) {
            EXPECT_EQ(ReadLocal(path), "old") << path;
            EXPECT_LT(ServedBytes(UrlOf(path)), Compress(files_[path].content).size()) << path;
        }
        EXPECT_THAT(Leftovers(), IsEmpty());
        // What stays of large copies are the interrupted transfers, kept to be
        // resumed: the first entry's at least, each short of its copy and
        // with its validator. Small copies are never continued.
        const std::vector<std::string> partials = Partials();
        if (size < kResumableSize) {
            EXPECT_THAT(partials, IsEmpty());
            continue;
        }
        EXPECT_GE(partials.size(), 2u);
        for (const auto& p : partials) {
            if (p.size() > 4 && p.compare(p.size() - 4, 4, ".tag") == 0) continue;
            EXPECT_TRUE(fs::exists(p + ".tag")) << p;
            EXPECT_LT(fs::file_size(p), size) << p;
            fs::remove(p + ".tag");
            fs::remove(p);
        }
    }
}

// The byte budget bounds the work ahead, except for the next entry in
// order: with none, nothing past the entry the run waits for is requested;
// a copy done ahead and never taken is removed when the loop ends.
TEST_F(AheadRun, BudgetBoundsTheWorkAheadAndUntakenCopiesAreRemoved) {
    PublishEntries(4, 2000);
    fs::current_path(installDir_);
    const std::string dir = os::GetCurrentDir() + "\\";
    TTempNames temps;
    for (const auto& path : order_) temps.Claim(path);
    temps.Seal();
    const TListTrust trust{std::string()};
    TRunControl control;
    TInstallAhead::TOptions options;
    options.installDir = dir;
    options.agent = "Corvel - Updater";
    options.budget = 0;
    options.temps = &temps;
    options.trust = &trust;
    options.control = &control;
    TServers servers({baseUrl_});
    options.servers = &servers;
    const auto waitDone = [](TInstallAhead& ahead, std::size_t i) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (ahead.Wait(i, std::chrono::milliseconds(20)).stage != TInstallAhead::TStage::Done)
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    };
    {
        TInstallAhead ahead(options, order_.size(), [&](std::size_t i) {
            std::optional<TAheadJob> job(TAheadJob{});
            job->path = order_[i];
            job->digest = Md5Hex(files_[order_[i]].content);
            job->size = static_cast<std::int64_t>(files_[order_[i]].content.size());
            job->copyLimit = job->size + 4096;
            return job;
        });
        waitDone(ahead, 0);
        ASSERT_EQ(Requests().size(), 1u);
        std::string part;
        TFailure failure;
        ASSERT_EQ(ahead.Take(0, part, failure), TInstallAhead::TOutcome::Ready);
        ASSERT_EQ(part.rfind(dir + order_[0], 0), 0u) << part;
        EXPECT_EQ(ReadLocal(part.substr(dir.size())), files_[order_[0]].content);
        os::DeleteFile(part);
        waitDone(ahead, 1);
        EXPECT_EQ(Requests().size(), 2u);
        EXPECT_EQ(Leftovers().size(), 1u);  // entry 1's decoded copy, not taken
    }
    fs::current_path(savedCwd_);
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_EQ(ReadLocal(order_[1]), "old");
}
