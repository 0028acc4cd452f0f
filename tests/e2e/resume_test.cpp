// Transfers that broke are continued by the next run with only the missing
// bytes, whatever the server makes of the range, and a partial copy never
// leads to a wrong file installed or a write outside the install directory.
#include "tests/e2e/engine_fixture.h"

#include "platform/os.h"

#include "platform/bz2.h"
#include <gmock/gmock.h>

#include <cstdio>
#include <fstream>
#include <iterator>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

// Another copy of the same content: bzip2 with small blocks makes other bytes.
std::string CompressSmallBlocks(const std::string& data) {
    std::string out(data.size() + data.size() / 50 + 4096, '\0');
    unsigned int size = static_cast<unsigned int>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                       static_cast<unsigned int>(data.size()), 1, 0, 0),
              BZ_OK);
    out.resize(size);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first position the file bar took after its maximum was set for a
// download of max bytes; -1 when there was none.
long FirstFilePosition(const std::vector<std::string>& log, std::size_t max) {
    bool armed = false;
    for (const auto& line : log) {
        if (line == "Max 0 " + std::to_string(max)) armed = true;
        if (armed && line.rfind("File ", 0) == 0) return std::stol(line.substr(5));
    }
    return -1;
}

constexpr std::size_t kCut = 100000;

}  // namespace

class ResumeRun : public EngineRun {
protected:
    // Publishes big.dat, then runs once with its copy cut after kCut bytes:
    // the old file stays and what arrived is kept as a partial copy.
    void CutFirstRun() {
        content_ = Noise(400000, 11);
        WriteLocal("big.dat", "old big");
        Publish({{"big.dat", {content_, true}}});
        copy_ = Compress(content_);
        ASSERT_GT(copy_.size(), kCut * 2);
        SetFault("big.dat.bz2", "cut " + std::to_string(kCut));
        EXPECT_FALSE(Run());
        EXPECT_EQ(ReadLocal("big.dat"), "old big");
        EXPECT_THAT(Leftovers(), IsEmpty());
        const auto partials = Partials();
        ASSERT_THAT(partials, SizeIs(2));  // the copy and its validator
        partial_ = partials[0];
        EXPECT_EQ(partials[1], partial_ + ".tag");
        EXPECT_EQ(fs::file_size(partial_), kCut);
        // The name says whose partial copy it is: the entry, its digest, its size.
        EXPECT_NE(partial_.find("big.dat.~corvel-resume-" + Md5Hex(content_) + "-400000"), std::string::npos)
            << partial_;
        fs::remove(serverDir_ / "big.dat.bz2.fault");
    }

    void ExpectInstalledAndClean() {
        EXPECT_EQ(ReadLocal("big.dat"), content_);
        EXPECT_THAT(Partials(), IsEmpty());
        EXPECT_THAT(Leftovers(), IsEmpty());
    }

    std::string content_, copy_, partial_;
};

// The server honours the range: only the missing bytes come, appended, and
// the bar starts where the copy stood.
TEST_F(ResumeRun, CutCopyIsContinuedWithTheMissingBytesOnly) {
    CutFirstRun();
    ASSERT_TRUE(Run()) << ::testing::PrintToString(view_.log);
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 206));
    EXPECT_EQ(ServedBytes("big.dat.bz2"), copy_.size());  // no byte twice
    EXPECT_EQ(FirstFilePosition(view_.log, content_.size()), static_cast<long>(kCut));
}

// A server that ignores Range answers 200 with the whole copy: it is taken
// from zero, never appended.
TEST_F(ResumeRun, ServerIgnoringTheRangeStartsFromZero) {
    CutFirstRun();
    SetFault("big.dat.bz2", "ignore-range");
    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 200));
    EXPECT_EQ(ServedBytes("big.dat.bz2"), kCut + copy_.size());
}

// The copy changed on the server between the runs (same entry, other
// bytes): If-Range fails and the server sends the new copy whole.
TEST_F(ResumeRun, ChangedCopyFailsIfRangeAndIsFetchedWhole) {
    CutFirstRun();
    const std::string other = CompressSmallBlocks(content_);
    ASSERT_NE(other, copy_);
    PutServerFile("big.dat.bz2", other);
    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 200));
    EXPECT_EQ(ServedBytes("big.dat.bz2"), kCut + other.size());
}

// A 416 (or any answer that doesn't fit) is left unread and the copy is
// asked for again without a range.
TEST_F(ResumeRun, RangeNotSatisfiableStartsFromZero) {
    CutFirstRun();
    SetFault("big.dat.bz2", "range-416");
    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 416, 200));
    EXPECT_EQ(ServedBytes("big.dat.bz2"), kCut + copy_.size());
}

// A copy cut twice is continued twice, each time from where it stood.
TEST_F(ResumeRun, CopyCutAgainWhileResumingGoesOnFromTheNewEnd) {
    CutFirstRun();
    // The server doesn't cut a 206 itself; a stop (the window closed) after
    // the first resumed block does.
    TDirectSynchronizer sync;
    // Stop as soon as the resumed transfer has brought a few blocks.
    struct StopView final : TQuietView {
        GFilesThread* run = nullptr;
        std::size_t limit = 0;
        void SyncFileProgress(std::int32_t value) override {
            if (value > 0 && static_cast<std::size_t>(value) > limit) run->RequestStop();
        }
    } stopper;
    GFilesThread stopped(stopper, sync);
    stopper.run = &stopped;
    stopper.limit = kCut + 4096;
    stopped.SetProgressInterval(std::chrono::steady_clock::duration::zero());
    // The resumed transfer trickles, so the fetcher is still inside it when
    // the view shows the position that stops the run.
    SetFault("big.dat.bz2", "trickle 4096 20");
    stopped.SelfMode = TSelfMode::OrdinaryFile;
    EXPECT_FALSE(RunIn(stopped));
    EXPECT_EQ(ReadLocal("big.dat"), "old big");
    ASSERT_THAT(Partials(), SizeIs(2));
    const std::uint64_t second = fs::file_size(partial_);
    EXPECT_GT(second, kCut);
    EXPECT_LT(second, copy_.size());

    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 206, 206));
    // Only bytes the stop discarded unwritten may come twice: at most what
    // the server had sent into the socket beyond the partial copy.
    EXPECT_GE(ServedBytes("big.dat.bz2"), copy_.size());
    EXPECT_EQ(FirstFilePosition(view_.log, content_.size()), static_cast<long>(second));
}

// A forged partial copy (same names, other bytes) is appended to, fails
// verification, and the entry is fetched once more, whole, in the same run.
TEST_F(ResumeRun, ForgedPartialCopyIsNeverInstalled) {
    CutFirstRun();
    {
        std::ofstream forge(partial_, std::ios::binary | std::ios::trunc);
        forge << std::string(kCut, 'X');
    }
    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 206, 200));
}

// A forged validator that would add headers to our request is never sent:
// the partial copy is dropped and the copy fetched whole.
TEST_F(ResumeRun, ValidatorThatWouldAddHeadersIsNotSent) {
    CutFirstRun();
    {
        std::ofstream forge(partial_ + ".tag", std::ios::binary | std::ios::trunc);
        forge << "\"x\"\r\nX-Evil: 1";
    }
    ASSERT_TRUE(Run());
    ExpectInstalledAndClean();
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 200));
}

// Links planted at the partial copy's names (to a file outside the install
// directory) are never appended to nor read: the run starts from zero,
// installs the right file, and the outside file keeps every byte.
TEST_F(ResumeRun, LinksPlantedAtPartialNamesAreNeverFollowed) {
    CutFirstRun();
    const fs::path victim = sandbox_ / "victim.txt";
    const std::string precious(kCut, 'p');
    std::ofstream(victim, std::ios::binary) << precious;
    const std::string tag = partial_ + ".tag";
    const std::string tagText = ReadFile(tag);
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        fs::remove(partial_);
        fs::remove(tag);
        std::error_code error;
        if (kind == 0) {
            fs::create_symlink(victim, partial_, error);  // the copy is a link
            std::ofstream(tag, std::ios::binary) << tagText;
        } else if (kind == 1) {
            fs::create_hard_link(victim, partial_, error);
            std::ofstream(tag, std::ios::binary) << tagText;
        } else {
            std::ofstream(partial_, std::ios::binary) << std::string(kCut, 'q');
            fs::create_symlink(victim, tag, error);  // the validator is a link
        }
        if (error) {
            std::printf("note: that link can't be made here (%s); not tried\n", error.message().c_str());
            continue;
        }
        WriteLocal("big.dat", "old big");
        ASSERT_TRUE(Run());
        EXPECT_EQ(ReadLocal("big.dat"), content_);
        EXPECT_THAT(Partials(), IsEmpty());
        EXPECT_EQ(ReadFile(victim.string()), precious);
        EXPECT_EQ(fs::hard_link_count(victim), 1u);
        // Never a range request made from the planted names.
        EXPECT_EQ(ServedStatuses("big.dat.bz2").back(), 200);
        std::vector<std::string> outside;
        for (const auto& e : fs::directory_iterator(sandbox_)) outside.push_back(e.path().filename().string());
        EXPECT_THAT(outside, ::testing::UnorderedElementsAre("install", "victim.txt"));
    }
}

// Partial copies of entries gone from the list, or whose digest changed,
// go at the start of the next run; a listed entry's copy stays.
TEST_F(ResumeRun, PartialCopiesOfChangedOrDroppedEntriesAreSwept) {
    const std::string a = Noise(300000, 1), b = Noise(300000, 2), c = Noise(300000, 3);
    Publish({{"data\\a.dat", {a, true}}, {"data\\b.dat", {b, true}}, {"data\\c.dat", {c, true}}});
    for (const char* name : {"data/a.dat.bz2", "data/b.dat.bz2", "data/c.dat.bz2"}) SetFault(name, "cut 50000");
    EXPECT_FALSE(Run());
    ASSERT_THAT(Partials(), SizeIs(6));
    std::vector<std::string> before = Partials();

    // a changes, b is dropped, c stays; the server drops the connection
    // without an answer, so c's copy can't be had this run.
    const std::string a2 = Noise(300000, 4);
    Publish({{"data\\a.dat", {a2, true}}, {"data\\c.dat", {c, true}}});
    SetFault("data/a.dat.bz2", "reset");
    SetFault("data/c.dat.bz2", "reset");
    EXPECT_FALSE(Run());
    std::vector<std::string> kept;
    for (const auto& p : before) {
        if (p.find("c.dat.~corvel-resume-") != std::string::npos) kept.push_back(p);
    }
    EXPECT_EQ(Partials(), kept) << ::testing::PrintToString(Requests()) << ::testing::PrintToString(view_.log);
    EXPECT_THAT(Leftovers(), IsEmpty());
}

// An entry of the install directory's root left the list, and no listed
// entry lives there any more: its partial copy and validator still go.
TEST_F(ResumeRun, PartialCopyInTheRootGoesWhenNoEntryIsLeftThere) {
    CutFirstRun();
    Publish({{"data\\small.txt", {"small", true}}});
    ASSERT_TRUE(Run()) << ::testing::PrintToString(view_.log);
    EXPECT_EQ(ReadLocal("data\\small.txt"), "small");
    EXPECT_THAT(Partials(), IsEmpty());
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_EQ(ReadLocal("big.dat"), "old big");  // no longer listed, the player's now
}
