// MD5 against RFC 1321's own suite, and the file digest built on it.
#include "formats/md5.h"

#include "platform/os.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

namespace {

std::string HexOf(const void* data, std::size_t length) {
    TMD5Context context;
    MD5Init(context);
    MD5Update(context, data, length);
    TMD5Digest digest;
    MD5Final(context, digest);
    return DigestToHex(digest);
}

std::string HexOf(const std::string& text) { return HexOf(text.data(), text.size()); }

std::string FileHex(const std::string& path) {
    TMD5Digest digest;
    FileDigest(path, digest);
    return DigestToHex(digest);
}

const std::string kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kAbcDigest = "900150983cd24fb0d6963f7d28e17f72";

}  // namespace

TEST(MD5, Rfc1321TestSuite) {
    EXPECT_EQ(HexOf(""), kEmptyDigest);
    EXPECT_EQ(HexOf("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(HexOf("abc"), kAbcDigest);
    EXPECT_EQ(HexOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(HexOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(HexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(HexOf("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Block boundaries: lengths around 56 and 64 change the padding, and pieces
// of every size must give what one call gives.
TEST(MD5, PiecesGiveTheSameDigestAsOneCall) {
    std::mt19937 random(1321);
    std::vector<std::uint8_t> data(1000);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());

    EXPECT_EQ(HexOf(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(HexOf(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(HexOf(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");

    const std::string whole = HexOf(data.data(), data.size());
    for (std::size_t piece : {1u, 3u, 55u, 63u, 64u, 65u, 127u, 999u}) {
        TMD5Context context;
        MD5Init(context);
        for (std::size_t at = 0; at < data.size(); at += piece) {
            MD5Update(context, data.data() + at, std::min(piece, data.size() - at));
        }
        TMD5Digest digest;
        MD5Final(context, digest);
        EXPECT_EQ(DigestToHex(digest), whole) << "pieces of " << piece;
    }

    TMD5Context context;
    MD5Init(context);
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) MD5Update(context, thousand.data(), thousand.size());
    TMD5Digest digest;
    MD5Final(context, digest);
    EXPECT_EQ(DigestToHex(digest), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(MD5, DigestToHexPrintsEveryByteAsTwoLowercaseDigits) {
    TMD5Digest digest{};
    digest[0] = 0x0F;
    digest[1] = 0xA0;
    digest[15] = 0x09;
    EXPECT_EQ(DigestToHex(digest), "0fa00000000000000000000000000009");
}

TEST(FileDigest, MissingAndEmptyFilesGiveTheEmptyDigest) {
    scratch::Dir dir;
    EXPECT_EQ(FileHex(dir / "missing.bin"), kEmptyDigest);
    scratch::WriteAll(dir.Native() / "empty.bin", "");
    EXPECT_EQ(FileHex(dir / "empty.bin"), kEmptyDigest);
    EXPECT_EQ(FileHex(dir.Native().string()), kEmptyDigest);
}

TEST(FileDigest, DigestsTheWholeContent) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "abc.txt", "abc");
    EXPECT_EQ(FileHex(dir / "abc.txt"), kAbcDigest);

    // Several of the slices a large file is hashed in, not a whole number
    // of pages or blocks.
    std::string big((20 << 20) + 4093, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    big += "tail";
    scratch::WriteAll(dir.Native() / "big.bin", big);
    EXPECT_EQ(FileHex(dir / "big.bin"), HexOf(big));
}

TEST(FileDigest, FileHeldOpenForWritingIsStillDigested) {
    scratch::Dir dir;
    os::File writer = os::File::Create(dir / "busy.bin", os::Share::ReadWrite);
    ASSERT_EQ(writer.Write("abc", 3), 3u);
    EXPECT_EQ(FileHex(dir / "busy.bin"), kAbcDigest);
}

#ifdef _WIN32
TEST(FileDigest, FileHeldWithoutSharingGivesTheEmptyDigest) {
    scratch::Dir dir;
    os::File holder = os::File::Create(dir / "locked.bin", os::Share::None);
    ASSERT_EQ(holder.Write("abc", 3), 3u);
    EXPECT_EQ(FileHex(dir / "locked.bin"), kEmptyDigest);
}
#else
TEST(FileDigest, ReadFaultInsideTheViewRaisesInOutError) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "vanishing.bin", std::string(2 << 20, 'v'));  // mapped, not read
    auto mapping = os::MapFileReadOnly(dir / "vanishing.bin");
    ASSERT_NE(mapping, nullptr);
    os::File::Create(dir / "vanishing.bin", os::Share::ReadWrite).Close();

    TMD5Context context;
    MD5Init(context);
    try {
        MD5UpdateMapped(context, *mapping, "vanishing.bin");
        FAIL() << "read past the end of a truncated file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, EIO);
        EXPECT_NE(std::string(e.what()).find("vanishing.bin"), std::string::npos);
    }
    mapping.reset();
    EXPECT_EQ(FileHex(dir / "vanishing.bin"), kEmptyDigest);
}
#endif
