// An install that can't fit on the install's volume fails before any
// request, and leaves every file as it was.
#include "tests/e2e/engine_fixture.h"

#include "engine/fetch/CopyStreams.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>

using ::testing::IsEmpty;

namespace {

bool Requested(const std::vector<std::string>& requests, const std::string& name) {
    return std::any_of(requests.begin(), requests.end(),
                       [&name](const std::string& line) { return line.find(name) != std::string::npos; });
}

}  // namespace

TEST_F(EngineRun, InstallLargerThanTheDiskFailsAtOnceWithWhatIsMissing) {
    // 2^62 bytes: more than any volume holds, so no file system has to be
    // filled for the test.
    constexpr std::uint64_t kHuge = std::uint64_t{1} << 62;
    const std::string small = "small file", old = "old content";
    PutServerFile("small.txt.bz2", Compress(small));
    PutServerFile("huge.bin.bz2", Compress("not the listed file"));
    PublishList("[settings]\r\nRev|1\r\n[/settings]\r\n[files_critical]\r\n" + EntryLine("small.txt", small) +
                "\r\nhuge.bin|" + Md5Hex("x") + "|" + std::to_string(kHuge) + "\r\n[/files_critical]\r\n");
    WriteLocal("small.txt", old);
    const std::size_t before = Requests().size();

    EXPECT_FALSE(Run());

    EXPECT_EQ(view_.runFailure.fault, TFault::DiskFull);
    // Short by what the files and the largest copy need less what is free
    // (read again here: other programs may write meanwhile, so roughly).
    const std::uint64_t needed =
        kHuge + small.size() + static_cast<std::uint64_t>(CompressedSizeBound(static_cast<std::int64_t>(kHuge)));
    const std::uint64_t free = fs::space(installDir_).available;
    const std::uint64_t tolerance = std::uint64_t{1} << 30;
    EXPECT_LE(view_.runFailure.bytesShort, needed - free + tolerance);
    EXPECT_GE(view_.runFailure.bytesShort + tolerance, needed - free);
    EXPECT_THAT(view_.entries, IsEmpty()) << "no entry was tried";
    std::vector<std::string> requests = Requests();
    requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_FALSE(Requested(requests, "small.txt.bz2"));
    EXPECT_FALSE(Requested(requests, "huge.bin.bz2"));
    EXPECT_EQ(ReadLocal("small.txt"), old);
    EXPECT_EQ(ReadLocal("huge.bin"), "<missing>");
    EXPECT_THAT(Leftovers(), IsEmpty());
    // The view still leaves its update view after the notice.
    ASSERT_GE(view_.log.size(), 3u);
    EXPECT_EQ(view_.log.back(), "End");
    EXPECT_TRUE(view_.Contains("Finished failed"));
    EXPECT_TRUE(view_.Contains("Status|" + kFailed + "|"));
}
