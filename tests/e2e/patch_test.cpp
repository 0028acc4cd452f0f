// Pending entries rebuilt from patches: one patch, a chain, and each way a
// patch can fail, which must end with the right file from the whole copy in
// the same run; a stop while patching leaves the old file and nothing else,
// and the next run converges.
#include "tests/e2e/engine_fixture.h"

#include "formats/PatchIndex.h"
#include "formats/Signature.h"
#include "tests/patch_maker.h"

#include <gmock/gmock.h>

#include <fstream>
#include <functional>

using ::testing::IsEmpty;

namespace {

std::string Sha256Hex(const std::string& bytes) {
    return sig::ToHex(sig::Sha256({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
}

// v1 with records rewritten and bytes inserted at its front: a patch of a
// few KiB against a copy the size of the file.
std::string Edited(const std::string& v1, unsigned seed) {
    std::string v2 = Noise(2048, seed) + v1;
    for (std::size_t at = 20000; at + 256 < v2.size(); at += 90000) v2.replace(at, 256, Noise(256, seed + 7));
    return v2;
}

// One link as the test publishes it: the patch's bytes on the server and
// what the index says of them (tests change either to break it).
struct TServedLink {
    std::string from, to;  // contents
    std::string bytes;     // the patch file on the server; empty: none there
    std::optional<std::uint64_t> indexedBytes;
    std::optional<std::string> indexedSha;
    std::optional<std::uint64_t> indexedCopy;
};

}  // namespace

class PatchRun : public EngineRun {
protected:
    const std::string v1_ = Noise(400000, 21);
    const std::string v2_ = Edited(v1_, 22);
    const std::string v3_ = Edited(v2_, 23);

    // big.dat at `wanted` on the server, with its copy and these links; the
    // install holds v1.
    void PublishWithLinks(const std::string& wanted, const std::vector<TServedLink>& links) {
        WriteLocal("big.dat", v1_);
        PutServerFile("big.dat.bz2", Compress(wanted));
        std::string index;
        for (const TServedLink& link : links) {
            const TPatchLink indexed{Md5Hex(link.from), Md5Hex(link.to),
                                     link.indexedBytes.value_or(link.bytes.size()),
                                     link.indexedCopy.value_or(Compress(link.to).size()),
                                     link.indexedSha.value_or(Sha256Hex(link.bytes))};
            index += FormatPatchLine(indexed) + "\r\n";
            if (!link.bytes.empty()) PutServerFile(PatchName(indexed.from, indexed.to), link.bytes);
        }
        PublishList("[settings]\r\nRev|1\r\n[/settings]\r\n[files_critical]\r\n" + EntryLine("big.dat", wanted) +
                    "\r\n[/files_critical]\r\n[files_normal]\r\n[/files_normal]\r\n[patches]\r\nnot|a|link\r\n" +
                    index + "[/patches]\r\n");
    }

    std::string PatchUrl(const std::string& from, const std::string& to) const {
        return PatchName(Md5Hex(from), Md5Hex(to));
    }

    // Runs with the log on; its lines about big.dat.
    bool RunLogged(GFilesThread* own = nullptr) {
        fs::remove(installDir_ / "CorvelUpdater.log");
        view_.log.clear();
        TDirectSynchronizer sync;
        GFilesThread run(view_, sync);
        GFilesThread& used = own ? *own : run;
        used.SetProgressInterval(std::chrono::steady_clock::duration::zero());
        used.SelfMode = TSelfMode::OrdinaryFile;
        used.LogFile = "CorvelUpdater.log";
        const bool ok = RunIn(used);
        notes_ = LogLinesFrom("note       big.dat: ");
        return ok;
    }

    std::vector<std::string> notes_;
};

// One patch, and a chain of two: only the patches are requested, the file
// is the entry's, the log says it was patched, and the decode bar runs over
// the patch's bytes.
TEST_F(PatchRun, PatchesReplaceTheCopy) {
    const std::string p12 = patchmaker::MakePatch(v1_, v2_, true, 19);
    const std::string p23 = patchmaker::MakePatch(v2_, v3_, true, 19);
    ASSERT_LT(p12.size() * 10, Compress(v2_).size());

    PublishWithLinks(v2_, {{v1_, v2_, p12}, {v1_, v3_, "never asked for"}});
    EXPECT_TRUE(RunLogged());
    EXPECT_EQ(ReadLocal("big.dat"), v2_);
    EXPECT_EQ(ServedBytes(PatchUrl(v1_, v2_)), p12.size());
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), IsEmpty());
    EXPECT_THAT(notes_, ::testing::ElementsAre("note       big.dat: patched (1 patch, " + std::to_string(p12.size()) +
                                               " bytes)"));
    EXPECT_TRUE(view_.Contains("Status|Extrayendo...|big.dat"));
    EXPECT_TRUE(view_.Contains("Max 0 " + std::to_string(p12.size())));
    EXPECT_THAT(Leftovers(), IsEmpty());

    PublishWithLinks(v3_, {{v1_, v2_, p12}, {v2_, v3_, p23}});
    EXPECT_TRUE(RunLogged());
    EXPECT_EQ(ReadLocal("big.dat"), v3_);
    EXPECT_EQ(ServedBytes(PatchUrl(v1_, v2_)), 2 * p12.size());
    EXPECT_EQ(ServedBytes(PatchUrl(v2_, v3_)), p23.size());
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), IsEmpty());
    EXPECT_THAT(notes_, ::testing::ElementsAre("note       big.dat: patched (2 patches, " +
                                               std::to_string(p12.size() + p23.size()) + " bytes)"));
    EXPECT_THAT(Leftovers(), IsEmpty());

    // An index claiming a patch larger than any copy of the entry could be
    // is not followed: only the copy is asked for.
    fs::remove(serverDir_.parent_path() / "requests.log");
    PublishWithLinks(v2_, {{v1_, v2_, p12, std::uint64_t{1} << 40, std::nullopt, std::uint64_t{1} << 41}});
    EXPECT_TRUE(RunLogged());
    EXPECT_EQ(ReadLocal("big.dat"), v2_);
    EXPECT_FALSE(Asked(PatchUrl(v1_, v2_)));
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ::testing::ElementsAre(200));
    EXPECT_THAT(notes_, IsEmpty());
}

// Each way a patch can fail ends with the entry's file from its copy, in
// the same run, and the log saying why.
TEST_F(PatchRun, AnyPatchFailureFallsBackToTheCopy) {
    const std::string p12 = patchmaker::MakePatch(v1_, v2_);
    std::string corrupt = p12;
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5A);
    struct Case {
        const char* what;
        TServedLink link;
        std::string fault;   // on the patch's URL
        std::string reason;  // in the log's note
    };
    // The same bytes in another order: a patch from it is small, and wrong.
    const std::string other = v1_.substr(v1_.size() / 2) + v1_.substr(0, v1_.size() / 2);
    const std::vector<Case> cases = {
        {"missing (404)", {v1_, v2_, "", p12.size()}, "", "server error 404"},
        {"cut", {v1_, v2_, p12}, "cut 1000", "transfer cut"},
        {"shorter than indexed", {v1_, v2_, p12, p12.size() + 10}, "", "transfer cut"},
        {"longer than indexed", {v1_, v2_, p12, p12.size() - 10}, "", "larger than its entry allows"},
        {"SHA-256 mismatch", {v1_, v2_, p12, std::nullopt, Sha256Hex("other")}, "", "not trusted: "},
        {"corrupt frame", {v1_, v2_, corrupt}, "", "corrupt"},
        {"more output than the entry", {v1_, v2_, patchmaker::MakePatch(v1_, v2_ + "more", false)}, "",
         "larger than its entry allows"},
        {"a size that isn't the entry's", {v1_, v2_, patchmaker::MakePatch(v1_, v2_ + "more")}, "",
         "larger than its entry allows"},
        {"result digest mismatch", {v1_, v2_, patchmaker::MakePatch(v1_, Edited(v1_, 99))}, "", "digest mismatch"},
        {"made from another file", {v1_, v2_, patchmaker::MakePatch(other, v2_)}, "", "corrupt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(serverDir_)) fs::remove_all(e.path());
        PublishWithLinks(v2_, {c.link});
        const std::string url = PatchUrl(v1_, v2_);
        if (!c.fault.empty()) SetFault(url, c.fault);
        EXPECT_TRUE(RunLogged());
        EXPECT_EQ(ReadLocal("big.dat"), v2_);
        EXPECT_TRUE(Asked(url)) << "the patch was asked for";
        EXPECT_THAT(ServedStatuses("big.dat.bz2"), ::testing::Contains(200)) << "the copy was asked for";
        ASSERT_EQ(notes_.size(), 1u);
        EXPECT_EQ(notes_[0].rfind("note       big.dat: patch failed (", 0), 0u) << notes_[0];
        EXPECT_NE(notes_[0].find(c.reason), std::string::npos) << notes_[0];
        EXPECT_THAT(Leftovers(), IsEmpty());
        fs::remove(serverDir_.parent_path() / "bytes.log");
        fs::remove(serverDir_.parent_path() / "requests.log");
    }
}

// A stop once the patch is being applied leaves the old file, or the new one
// when the apply had already ended (under Wine it often has: the stop is
// seen between entries), never anything else, and no temporary; what a
// killed run leaves (the patch, an intermediate, the part) goes with the
// next run's sweep, and that run converges. A stop between two blocks of an
// apply is tested on the chain itself (tests/unit/patch_test.cpp).
TEST_F(PatchRun, StopWhilePatchingThenTheNextRunConverges) {
    // New data past two read blocks of the patch, so a stop lands inside.
    std::string v2 = v2_;
    v2.insert(100000, Noise(600000, 31));
    const std::string p12 = patchmaker::MakePatch(v1_, v2);
    ASSERT_GT(p12.size(), std::size_t{300000});
    PublishWithLinks(v2, {{v1_, v2, p12}});

    struct StopView final : TQuietView {
        GFilesThread* run = nullptr;
        bool stopped = false;
        void SyncStatus(TRunPhase phase, const std::string&, const std::string& detail) override {
            if (phase == TRunPhase::Extracting && detail == "big.dat") {
                stopped = true;
                run->RequestStop();
            }
        }
    } stopper;
    TDirectSynchronizer sync;
    GFilesThread run(stopper, sync);
    stopper.run = &run;
    run.SetProgressInterval(std::chrono::steady_clock::duration::zero());
    run.SetFetchConnections(1);
    run.SelfMode = TSelfMode::OrdinaryFile;
    EXPECT_FALSE(RunIn(run));
    EXPECT_TRUE(stopper.stopped);
    EXPECT_EQ(run.Failure().fault, TFault::Stopped);
    const bool applied = ReadLocal("big.dat") == v2;
    EXPECT_TRUE(applied || ReadLocal("big.dat") == v1_);
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), IsEmpty());

    // A killed run's leftovers, under the names this run would have used.
    WriteLocal("big.dat.~corvel-patch", p12);
    WriteLocal("big.dat.~corvel-step", "half an intermediate");
    WriteLocal("big.dat.part", "half a result");
    EXPECT_TRUE(RunLogged());
    EXPECT_EQ(ReadLocal("big.dat"), v2);
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), IsEmpty());
    EXPECT_EQ(notes_.size(), applied ? 0u : 1u);
    EXPECT_THAT(Leftovers(), IsEmpty());
}
