// An entry past 2^31 and 2^32 bytes installs: its size is read as 64 bits,
// the decoded-size and download caps are computed in 64 bits, and the file
// bar shows it in KiB. The content is zeros, so the copy is a few KiB and
// decodes fast; it is made by streaming, never held whole in memory.
#include "tests/e2e/engine_fixture.h"

#include "platform/bz2.h"
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

using ::testing::IsEmpty;

constexpr std::int64_t kSize = std::int64_t{3} << 30;  // 3 GiB

// The MD5 of kSize zero bytes (Python's hashlib gives the same), known
// rather than computed here: hashing 3 GiB once more would double the
// test's time.
constexpr const char* kZerosMd5 = "c698c87fb53058d493492b61f4c74189";

// The bzip2 copy of size zero bytes, fed in 1 MiB blocks.
std::string CompressZeros(std::int64_t size) {
    static const std::array<char, 1 << 20> zeros{};
    std::string bz2;
    bz_stream bz{};
    EXPECT_EQ(BZ2_bzCompressInit(&bz, 9, 0, 0), BZ_OK);
    std::array<char, 1 << 16> out;
    std::int64_t left = size;
    for (int rc = BZ_RUN_OK; rc != BZ_STREAM_END;) {
        if (bz.avail_in == 0 && left > 0) {
            const auto n = static_cast<unsigned>(std::min<std::int64_t>(left, zeros.size()));
            bz.next_in = const_cast<char*>(zeros.data());
            bz.avail_in = n;
            left -= n;
        }
        bz.next_out = out.data();
        bz.avail_out = out.size();
        rc = BZ2_bzCompress(&bz, left > 0 || bz.avail_in > 0 ? BZ_RUN : BZ_FINISH);
        EXPECT_TRUE(rc == BZ_RUN_OK || rc == BZ_FINISH_OK || rc == BZ_STREAM_END) << rc;
        if (rc < 0) break;
        bz2.append(out.data(), out.size() - bz.avail_out);
    }
    BZ2_bzCompressEnd(&bz);
    return bz2;
}

// bzip2 (block size 9) puts runs of 255 zeros into a block as 5 symbols
// and closes the block once it holds 899,981 symbols or more: every full
// block of zeros holds 179,997 runs and is the same bits with the same CRC.
constexpr std::int64_t kBlockZeros = std::int64_t{179997} * 255;

// A bzip2 stream as bits, most significant first, as bzip2 writes them.
struct Bits {
    std::vector<bool> bits;
    static Bits Of(const std::string& bytes) {
        Bits b;
        for (unsigned char c : bytes)
            for (int i = 7; i >= 0; --i) b.bits.push_back(((c >> i) & 1) != 0);
        return b;
    }
    std::uint64_t Read(std::size_t at, int count) const {
        std::uint64_t v = 0;
        for (int i = 0; i < count; ++i) v = v << 1 | (bits[at + i] ? 1 : 0);
        return v;
    }
    void Write(std::uint64_t v, int count) {
        for (int i = count - 1; i >= 0; --i) bits.push_back(((v >> i) & 1) != 0);
    }
    void Append(const Bits& from, std::size_t begin, std::size_t end) {
        bits.insert(bits.end(), from.bits.begin() + static_cast<std::ptrdiff_t>(begin),
                    from.bits.begin() + static_cast<std::ptrdiff_t>(end));
    }
    std::string Bytes() const {
        std::string out((bits.size() + 7) / 8, '\0');
        for (std::size_t i = 0; i < bits.size(); ++i)
            if (bits[i]) out[i / 8] = static_cast<char>(out[i / 8] | (0x80 >> (i % 8)));
        return out;
    }
};

std::uint32_t Rotl1(std::uint32_t v) { return v << 1 | v >> 31; }

// The bzip2 copy of size zero bytes. Compressing GiB of zeros costs about a
// minute, so libbz2 compresses two full blocks and the tail only, and the
// full block is repeated: the stream is its header, the blocks, the end
// marker and the CRC combined over the blocks.
std::string CompressZerosFast(std::int64_t size) {
    const std::int64_t full = size / kBlockZeros;
    const std::int64_t tail = size % kBlockZeros;
    if (full < 2 || tail == 0) return CompressZeros(size);
    const Bits sample = Bits::Of(CompressZeros(2 * kBlockZeros + tail));
    constexpr std::uint64_t kBlockMagic = 0x314159265359, kEndMagic = 0x177245385090;
    std::vector<std::size_t> blocks;
    std::size_t end = 0;
    for (std::size_t at = 32; at + 48 <= sample.bits.size(); ++at) {
        const std::uint64_t word = sample.Read(at, 48);
        if (word == kBlockMagic) blocks.push_back(at);
        if (word == kEndMagic) end = at;
    }
    EXPECT_EQ(blocks.size(), 3u);
    if (blocks.size() != 3 || end < blocks[2]) return {};
    const std::size_t blockBits = blocks[1] - blocks[0];
    EXPECT_EQ(blocks[2] - blocks[1], blockBits);
    const auto fullCrc = static_cast<std::uint32_t>(sample.Read(blocks[0] + 48, 32));
    const auto tailCrc = static_cast<std::uint32_t>(sample.Read(blocks[2] + 48, 32));
    EXPECT_EQ(sample.Read(blocks[1] + 48, 32), fullCrc);
    // The sample's own combined CRC checks the rule used for the copy.
    EXPECT_EQ(sample.Read(end + 48, 32), Rotl1(Rotl1(fullCrc) ^ fullCrc) ^ tailCrc);

    Bits copy;
    copy.Append(sample, 0, 32);  // "BZh9"
    std::uint32_t combined = 0;
    for (std::int64_t i = 0; i < full; ++i) {
        copy.Append(sample, blocks[0], blocks[1]);
        combined = Rotl1(combined) ^ fullCrc;
    }
    copy.Append(sample, blocks[2], end);
    combined = Rotl1(combined) ^ tailCrc;
    copy.Write(kEndMagic, 48);
    copy.Write(combined, 32);
    return copy.Bytes();
}

// The process's peak resident memory in MiB; -1 where not measured.
long PeakMiB() {
#ifndef _WIN32
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
#else
    return -1;
#endif
}

}  // namespace

TEST_F(EngineRun, EntryOfThreeGiBInstallsWithAScaledBar) {
    const std::string bz2 = CompressZerosFast(kSize);
    ASSERT_LT(bz2.size(), 64u << 10);
    PutServerFile("packs/big.pak.bz2", bz2);
    PublishList(
        "[settings]\r\nRev|1\r\n[/settings]\r\n[files_critical]\r\n[/files_critical]\r\n"
        "[files_normal]\r\npacks\\big.pak|" +
        std::string(kZerosMd5) + "|" + std::to_string(kSize) + "\r\n[/files_normal]\r\n");
    WriteLocal("packs\\big.pak", "old");
    const long peakBefore = PeakMiB();

    EXPECT_TRUE(Run());
    EXPECT_EQ(fs::file_size(Local("packs\\big.pak")), static_cast<std::uintmax_t>(kSize));
    {
        // The far end holds what the copy decoded to; the digest, checked by
        // the run, covers the rest.
        std::ifstream in(Local("packs\\big.pak"), std::ios::binary);
        in.seekg(kSize - 4096);
        std::string tail(4096, 'x');
        in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
        EXPECT_EQ(tail, std::string(4096, '\0'));
    }
    EXPECT_THAT(Leftovers(), IsEmpty());

    // Download: the bar's maximum is the entry's size in KiB and the
    // positions are in KiB too; decoding: the copy's size, in bytes.
    const std::string kib = std::to_string(kSize >> 10);
    const std::string bytes = std::to_string(bz2.size());
    auto at = std::find(view_.log.begin(), view_.log.end(), "Status|Descargando...|packs\\big.pak");
    ASSERT_GE(std::distance(at, view_.log.end()), 2);
    ASSERT_EQ(*++at, "Max 0 " + kib);
    std::string lastFile;
    for (++at; at != view_.log.end() && at->rfind("File ", 0) == 0; ++at)
        if (*at != "File 0") lastFile = *at;
    EXPECT_EQ(lastFile, "File " + std::to_string(bz2.size() >> 10)) << bytes;
    at = std::find(at, view_.log.end(), "Status|Extrayendo...|packs\\big.pak");
    ASSERT_GE(std::distance(at, view_.log.end()), 2);
    ASSERT_EQ(*++at, "Max 0 " + bytes);
    EXPECT_TRUE(view_.Contains("Extract " + bytes));
    EXPECT_TRUE(view_.Contains("Finished ok"));

    // Nothing on the way holds the file in memory.
    if (peakBefore >= 0) {
        EXPECT_LT(PeakMiB() - peakBefore, 256) << "MiB more at the peak";
    }
}
