// The space an install needs before it starts, and the free space the
// platform reads.
#include "engine/fetch/CopyStreams.h"
#include "engine/steps/InstallStep.h"
#include "platform/os.h"
#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <vector>

namespace {

constexpr std::int64_t kMaxSize = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();

std::uint64_t Bound(std::int64_t size) { return static_cast<std::uint64_t>(CompressedSizeBound(size)); }

}  // namespace

TEST(SpaceNeeded, EveryFilePlusTheLargestCopy) {
    struct Case {
        std::vector<std::int64_t> sizes;
        std::uint64_t needed;
    };
    const std::vector<Case> cases = {
        {{}, 0},
        {{0}, 0},
        {{0, 0, 0}, 0},
        {{1}, 1 + Bound(1)},
        {{100, 5000, 20}, 5120 + Bound(5000)},
        // The largest copy counts once, not one per file of that size.
        {{1 << 20, 1 << 20}, (2 << 20) + Bound(1 << 20)},
        // A size no valid list has is no space at all.
        {{-5, 10}, 10 + Bound(10)},
        {{std::int64_t{1} << 62}, (std::uint64_t{1} << 62) + Bound(std::int64_t{1} << 62)},
        // Past 2^64 it stays at the most, never wraps to a small number.
        {{kMaxSize, kMaxSize, kMaxSize}, kMost},
        {{kMaxSize, kMaxSize}, kMost},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::int64_t size : c.sizes) shown += std::to_string(size) + " ";
        EXPECT_EQ(SpaceNeeded(c.sizes), c.needed) << "sizes: " << shown;
    }
}

TEST(FreeSpace, ReadsTheVolumeOfAnInstallDirectory) {
    const scratch::Dir scratch;
    const std::optional<std::uint64_t> free = os::FreeSpace(scratch / "");
    ASSERT_TRUE(free.has_value());
    // The standard library's own reading of the same volume, taken just
    // after: other programs may write meanwhile, so only roughly equal.
    const std::uint64_t available = std::filesystem::space(scratch.Native()).available;
    const std::uint64_t tolerance = std::uint64_t{1} << 30;
    EXPECT_LE(*free, available + tolerance);
    EXPECT_GE(*free + tolerance, available);

    EXPECT_FALSE(os::FreeSpace(scratch / "no such directory\\").has_value());
}
