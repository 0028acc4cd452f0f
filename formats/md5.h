// MD5 (RFC 1321) and the file digest that decides whether an installed file
// is current.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace os {
class Mapping;
}

// The 16 digest bytes in RFC 1321 output order.
using TMD5Digest = std::array<std::uint8_t, 16>;

// The RFC 1321 context: chaining words, the message length in bits (low
// half first) and the pending partial block.
struct TMD5Context {
    std::uint32_t State[4];
    std::uint32_t Count[2];
    std::uint8_t Buffer[64];
};

void MD5Init(TMD5Context& context);
// Adds length bytes; any length, in any number of calls.
void MD5Update(TMD5Context& context, const void* data, std::size_t length);
// Pads, appends the length and delivers the digest; the context is spent.
void MD5Final(TMD5Context& context, TMD5Digest& digest);

// Adds a whole mapped file. Raises EInOutError (naming path) when a page of
// the view can't be read; the caller still owns and releases the mapping.
void MD5UpdateMapped(TMD5Context& context, os::Mapping& mapping, const std::string& path);

// Digest of a file's whole content. A missing, unreadable or empty file
// gives the digest of empty input; a read failure inside the file raises
// EInOutError after every handle has been released.
void FileDigest(const std::string& path, TMD5Digest& digest);

// 32 lowercase hexadecimal digits.
std::string DigestToHex(const TMD5Digest& digest);
