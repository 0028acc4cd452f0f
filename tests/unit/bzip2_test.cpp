#include "formats/BZip2.h"

#include "platform/bz2.h"
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using os::SeekOrigin;

std::string Compress(const std::string& data, int blockSize100k = 9) {
    auto size = static_cast<unsigned int>(data.size() + data.size() / 100 + 600);
    std::string out(size, '\0');
    const int status = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                                static_cast<unsigned int>(data.size()), blockSize100k, 0, 0);
    if (status != BZ_OK) throw std::runtime_error("compression failed");
    out.resize(size);
    return out;
}

// Text that compresses well, or bytes that don't compress at all.
std::string Content(std::size_t size, bool random) {
    std::string s(size, '\0');
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = random ? static_cast<char>(x >> 24) : "corvel updater data \n"[(x >> 16) % 21];
    }
    return s;
}

TMemoryStream Source(const std::string& bytes) { return TMemoryStream({bytes.begin(), bytes.end()}); }

// Reads until 0 in pieces of `chunk`, appending to out, as the engine does.
void DecodeInto(TBZDecompressionStream& z, std::string& out, std::size_t chunk = 65536) {
    std::string buf(chunk, '\0');
    while (std::size_t n = z.Read(buf.data(), chunk)) out.append(buf, 0, n);
}

std::string Decode(TStream& source, std::size_t chunk = 65536) {
    TBZDecompressionStream z(source);
    std::string out;
    DecodeInto(z, out, chunk);
    EXPECT_TRUE(z.Finished());
    return out;
}

// The message of the EBZDecompressionError that f raises.
std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EBZDecompressionError& e) {
        return e.what();
    }
    return "no error";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), {}};
}

// Hands the source out at most `piece` bytes per read.
class ChunkedSource : public TMemoryStream {
public:
    ChunkedSource(const std::string& bytes, std::size_t piece)
        : TMemoryStream({bytes.begin(), bytes.end()}), piece_(piece) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        return TMemoryStream::Read(buffer, std::min(count, piece_));
    }

private:
    std::size_t piece_;
};

TEST(BZDecompression, SampleFilesDecodeToTheirReferences) {
    const std::string dir = CORVEL_TEST_BZIP2_DIR;
    for (const char* name : {"sample1", "sample2", "sample3"}) {
        const std::string ref = ReadFile(dir + "/" + name + ".ref");
        TFileStream file(dir + "/" + name + ".bz2", TFileStream::Mode::OpenRead, os::Share::Read);
        EXPECT_EQ(Decode(file), ref) << name;
    }
    // Odd input and output sizes take the same path to the same bytes.
    ChunkedSource trickle(ReadFile(dir + "/sample3.bz2"), 7);
    EXPECT_EQ(Decode(trickle, 1000), ReadFile(dir + "/sample3.ref"));
}

TEST(BZDecompression, EmptyInputsDecodeToNothing) {
    TMemoryStream empty;
    TBZDecompressionStream z(empty);
    char c;
    EXPECT_EQ(z.Read(&c, 1), 0u);
    EXPECT_EQ(z.Read(&c, 1), 0u);
    EXPECT_FALSE(z.Finished());

    TMemoryStream emptyStream = Source(Compress(""));
    EXPECT_EQ(Decode(emptyStream), "");
}

TEST(BZDecompression, ExactMultipleOf64KiBEndsWithAZeroRead) {
    const std::string content = Content(3 * 65536, false);
    TMemoryStream source = Source(Compress(content));
    TBZDecompressionStream z(source);
    std::string buf(65536, '\0');
    for (int i = 0; i < 3; ++i) ASSERT_EQ(z.Read(buf.data(), buf.size()), 65536u);
    EXPECT_EQ(z.Read(buf.data(), buf.size()), 0u);
    EXPECT_TRUE(z.Finished());
}

TEST(BZDecompression, SourceCutShortIsAnError) {
    const std::string content = Content(350000, false);
    const std::string packed = Compress(content, 1);  // several blocks
    for (std::size_t cut : {std::size_t{1}, std::size_t{4}, std::size_t{20}, packed.size() / 2, packed.size() - 1}) {
        TMemoryStream source = Source(packed.substr(0, cut));
        TBZDecompressionStream z(source);
        std::string out;
        EXPECT_EQ(ErrorOf([&] { DecodeInto(z, out); }), "error -7") << cut;
        EXPECT_EQ(content.compare(0, out.size(), out), 0) << "output before the error is the content's start";
        EXPECT_FALSE(z.Finished());
    }
}

TEST(BZDecompression, AnythingAfterTheStreamIsAnError) {
    const std::string first = Content(1000, false);
    const std::string packed = Compress(first);
    const std::vector<std::string> tails = {Compress("second stream"), std::string(1, '\0'), "garbage"};
    for (const std::string& tail : tails) {
        TMemoryStream source = Source(packed + tail);
        EXPECT_EQ(ErrorOf([&] { Decode(source); }), "error -1");
        // Trailing bytes that come in a later refill.
        ChunkedSource split(packed + tail, packed.size());
        EXPECT_EQ(ErrorOf([&] { Decode(split); }), "error -1");
    }
    // A read that ends where the content does completes; the next one fails.
    TMemoryStream source = Source(packed + packed);
    TBZDecompressionStream z(source);
    std::string out(first.size(), '\0');
    ASSERT_EQ(z.Read(out.data(), out.size()), first.size());
    EXPECT_EQ(out, first);
    EXPECT_EQ(ErrorOf([&] { z.Read(out.data(), 1); }), "error -1");
}

TEST(BZDecompression, DamagedDataIsAnError) {
    TMemoryStream html = Source("<html><body>404 Not Found</body></html>");
    EXPECT_EQ(ErrorOf([&] { Decode(html); }), "error -5");

    const std::string packed = Compress(Content(200000, false));
    std::string badCrc = packed;
    badCrc[12] ^= 0x01;  // the first block's stored CRC follows "BZh9" and the block magic
    std::string badData = packed;
    badData[packed.size() / 2] ^= 0x10;
    for (const std::string& damaged : {badCrc, badData}) {
        TMemoryStream source = Source(damaged);
        EXPECT_EQ(ErrorOf([&] { Decode(source); }), "error -4");
    }
}

TEST(BZDecompression, ProgressFollowsEachRefillOfTheInput) {
    const std::string packed = Compress(Content(200000, true));
    ASSERT_GT(packed.size(), 3u * 65536);
    TMemoryStream source = Source(packed);
    TBZDecompressionStream z(source);
    std::vector<std::int64_t> positions;
    z.OnProgress = [&](void* sender) {
        EXPECT_EQ(sender, &z);
        positions.push_back(source.Position());
    };
    std::string out;
    DecodeInto(z, out);
    ASSERT_FALSE(positions.empty());
    EXPECT_GE(positions.size(), 4u + out.size() / 65536);
    std::vector<std::int64_t> distinct;
    for (std::int64_t p : positions)
        if (distinct.empty() || distinct.back() != p) distinct.push_back(p);
    const std::vector<std::int64_t> refills = {65536, 131072, 196608, static_cast<std::int64_t>(packed.size())};
    EXPECT_EQ(distinct, refills);

    // A small file reaches its full size with the first event.
    const std::string small = Compress("tiny");
    TMemoryStream smallSource = Source(small);
    TBZDecompressionStream zs(smallSource);
    std::int64_t first = -1;
    zs.OnProgress = [&](void*) {
        if (first < 0) first = smallSource.Position();
    };
    DecodeInto(zs, out);
    EXPECT_EQ(first, static_cast<std::int64_t>(small.size()));
}

TEST(BZDecompression, SeekSkipsForwardOrRewindsOnly) {
    const std::string content = Content(10000, false);
    TMemoryStream source = Source(Compress(content));
    TBZDecompressionStream z(source);
    char buf[10];
    EXPECT_EQ(z.Position(), 0);
    z.ReadBuffer(buf, 10);
    EXPECT_EQ(z.Seek(9000, SeekOrigin::Current), 9010);  // two 4096-byte pieces and the rest
    z.ReadBuffer(buf, 10);
    EXPECT_EQ(std::string(buf, 10), content.substr(9010, 10));
    EXPECT_EQ(z.Seek(9500, SeekOrigin::Begin), 9500);
    z.ReadBuffer(buf, 10);
    EXPECT_EQ(std::string(buf, 10), content.substr(9500, 10));

    const std::pair<std::int64_t, SeekOrigin> refused[] = {
        {9510, SeekOrigin::Begin}, {100, SeekOrigin::Begin}, {-1, SeekOrigin::Current}, {0, SeekOrigin::End}};
    for (auto [offset, origin] : refused)
        EXPECT_EQ(ErrorOf([&] { z.Seek(offset, origin); }), "Invalid stream operation");
    EXPECT_EQ(ErrorOf([&] { z.Size(); }), "Invalid stream operation");
    EXPECT_EQ(ErrorOf([&] { z.Write(buf, 1); }), "Invalid stream operation");

    EXPECT_EQ(z.Seek(0, SeekOrigin::Begin), 0);
    std::string again;
    DecodeInto(z, again, 333);
    EXPECT_EQ(again, content);
    z.SetPosition(0);
    EXPECT_THROW(z.Seek(10001, SeekOrigin::Begin), EReadError);
}

TEST(BZDecompression, ReadsContinueWhereTheSourceWasLeft) {
    const std::string content = Content(300000, true);
    const std::string packed = Compress(content);
    TMemoryStream source = Source(packed);
    TBZDecompressionStream z(source);
    std::string out(1000, '\0');
    z.ReadBuffer(out.data(), out.size());
    source.SetPosition(0);  // someone else moved it
    DecodeInto(z, out);
    EXPECT_EQ(out, content);

    // A rewind goes to the source's first byte, not to where it stood at
    // creation.
    TMemoryStream prefixed = Source("JNK" + packed);
    prefixed.SetPosition(3);
    TBZDecompressionStream zp(prefixed);
    std::string whole;
    DecodeInto(zp, whole);
    EXPECT_EQ(whole, content);
    zp.SetPosition(0);
    EXPECT_EQ(ErrorOf([&] { DecodeInto(zp, whole); }), "error -5");
}

}  // namespace
