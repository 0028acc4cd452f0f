// The engine's pure pieces: how progress hand-offs are thinned out without
// reordering what the window sees.
#include "engine/Progress.h"
#include "engine/TempNames.h"
#include "tests/unit/scratch_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;

// A temporary never takes a name the list manages (in any case, as Windows
// compares names) or one that something already holds.
TEST(TempNames, PickAvoidsClaimedAndTakenNames) {
    scratch::Dir dir;
    const std::string install = dir.Native().string() + "\\";
    TTempNames names;
    for (const char* entry : {"PACK.PAK.BZ2", "data\\Caf\xC9.dat.part", "pack.pak"}) names.Claim(entry);
    names.Seal();
    EXPECT_TRUE(names.Claimed("pack.pak.bz2"));
    EXPECT_TRUE(names.Claimed("DATA/caf\xE9.DAT.PART"));
    EXPECT_FALSE(names.Claimed("pack.pak.part"));

    EXPECT_EQ(names.Pick(install, "pack.pak", ".part"), install + "pack.pak.part");
    const std::string bz2 = names.Pick(install, "pack.pak", ".bz2");
    EXPECT_EQ(bz2.rfind(install + "pack.pak.bz2" + std::string(TTempNames::kMarker), 0), 0u) << bz2;
    EXPECT_EQ(bz2.size(), install.size() + 12 + TTempNames::kMarker.size() + 16);
    EXPECT_NE(names.Pick(install, "data\\caf\xE9.dat", ".part"), install + "data\\caf\xE9.dat.part");

    scratch::WriteAll(dir.Native() / "free.txt.bz2", "someone else's");
    const std::string taken = names.Pick(install, "free.txt", ".bz2");
    EXPECT_NE(taken, install + "free.txt.bz2");
    EXPECT_NE(taken.find(std::string(TTempNames::kMarker)), std::string::npos);
}

namespace {

struct Recorder {
    std::vector<std::string> log;
    TProgressThrottle::Deliver deliver() {
        return [this](TProgressKind kind, std::int32_t value) {
            const char* name = kind == TProgressKind::File      ? "File"
                               : kind == TProgressKind::Extract ? "Extract"
                                                                : "Total";
            log.push_back(std::string(name) + " " + std::to_string(value));
        };
    }
};

}  // namespace

TEST(ProgressThrottle, WithoutIntervalEveryValuePasses) {
    Recorder r;
    TProgressThrottle t(TProgressThrottle::Clock::duration::zero(), r.deliver());
    t.Report(TProgressKind::File, 1);
    t.Report(TProgressKind::File, 2);
    t.ReportNow(TProgressKind::File, 0);
    EXPECT_THAT(r.log, ElementsAre("File 1", "File 2", "File 0"));
}

TEST(ProgressThrottle, HeldValueArrivesBeforeTheResetAndBeforeOtherOperations) {
    Recorder r;
    TProgressThrottle t(std::chrono::hours(1), r.deliver());
    t.Report(TProgressKind::File, 1024);  // first of a sequence: at once
    t.Report(TProgressKind::File, 2048);  // held
    t.Report(TProgressKind::File, 3072);  // replaces the held one
    EXPECT_THAT(r.log, ElementsAre("File 1024"));
    t.ReportNow(TProgressKind::File, 0);  // the last value goes first
    EXPECT_THAT(r.log, ElementsAre("File 1024", "File 3072", "File 0"));

    t.Report(TProgressKind::Total, 0);  // new sequence after the reset: at once
    t.Report(TProgressKind::Total, 1);
    t.BeforeOtherOperation();
    t.Report(TProgressKind::Total, 2);  // first after another operation: at once
    EXPECT_THAT(r.log, ElementsAre("File 1024", "File 3072", "File 0", "Total 0", "Total 1", "Total 2"));
}

TEST(ProgressThrottle, AnotherBarFlushesTheHeldValueFirst) {
    Recorder r;
    TProgressThrottle t(std::chrono::hours(1), r.deliver());
    t.Report(TProgressKind::Extract, 10);
    t.Report(TProgressKind::Extract, 20);
    t.Report(TProgressKind::Total, 1);
    EXPECT_THAT(r.log, ElementsAre("Extract 10", "Extract 20", "Total 1"));
}

TEST(ProgressThrottle, ValuesPassAgainOnceTheIntervalHasGone) {
    Recorder r;
    TProgressThrottle t(std::chrono::milliseconds(5), r.deliver());
    t.Report(TProgressKind::File, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t.Report(TProgressKind::File, 2);
    EXPECT_THAT(r.log, ElementsAre("File 1", "File 2"));
}

// Sizes up to 2^31 - 1 are shown in bytes, exactly as given; larger ones in
// the smallest unit of 1024^n that fits, and the bar still moves every unit.
TEST(BarScale, BytesWhileTheyFitThenKiBAndAbove) {
    const TBarScale small(1000);
    EXPECT_EQ(small.Shift(), 0);
    EXPECT_EQ(small.Max(), 1000);
    EXPECT_EQ(small.Position(999), 999);
    EXPECT_EQ(TBarScale(INT32_MAX).Max(), INT32_MAX);
    EXPECT_EQ(TBarScale(0).Max(), 0);

    for (const std::int64_t size : {std::int64_t{1} << 31, std::int64_t{1} << 32, std::int64_t{6} << 30}) {
        const TBarScale scale(size);
        EXPECT_EQ(scale.Shift(), 10) << size;
        EXPECT_EQ(scale.Max(), size >> 10) << size;
        EXPECT_EQ(scale.Position(size), scale.Max()) << size;
        // Smooth: each MiB moves the bar.
        for (std::int64_t at = 0; at + (1 << 20) <= size; at += size / 97)
            EXPECT_LT(scale.Position(at), scale.Position(at + (1 << 20))) << at;
    }
    const TBarScale huge(INT64_MAX);
    EXPECT_GT(huge.Max(), 0);
    EXPECT_LE(huge.Max(), INT32_MAX);
    EXPECT_EQ(huge.Position(INT64_MAX), huge.Max());
    // Out-of-range positions stay on the bar.
    EXPECT_EQ(small.Position(-5), 0);
    EXPECT_EQ(small.Position(std::int64_t{1} << 40), INT32_MAX);
}
