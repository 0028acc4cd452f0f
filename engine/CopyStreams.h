// The two streams of an entry's copy, shared by the run's thread and the
// workers that install ahead of it: the body from the server into the copy,
// and the copy decoded into the entry's file, then verified.
// Threat: a server (or whoever answers for it) sending more than the entry
// allows, or a small copy that decodes into a huge file: both are stopped
// at their bound, before the bytes reach the disk.
#pragma once

#include "platform/os.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TBZDecompressionStream;
class TCopyHasher;
class TListTrust;
class TStream;
struct TMD5Context;

inline constexpr std::size_t kCopyBlock = 65536;

// Writes response's body into file after offset bytes already there, in
// 64 KiB blocks, raising once more than limit bytes in all have come;
// received(total) runs after each block (and first with offset, when
// continuing), stopped() is asked after each block. broken tells whether a
// failure was the transfer's own (cut, stalled, stopped) rather than the
// copy's or the disk's.
void ReceiveCopy(os::HttpResponse& response, os::File& file, std::uint64_t offset, std::optional<std::uint64_t> limit,
                 const std::function<void(std::uint64_t received)>& received, const std::function<bool()>& stopped,
                 bool& broken);
// The same into memory: a small copy that never touches the disk.
void ReceiveCopy(os::HttpResponse& response, std::vector<std::uint8_t>& copy, std::uint64_t limit,
                 const std::function<void(std::uint64_t received)>& received, const std::function<bool()>& stopped,
                 bool& broken);

// Decodes decoder's bytes into target in 64 KiB blocks, raising once more
// than limit bytes came out; hasher (with a key) and md5 (when given) see
// every decoded byte; afterBlock runs after each block (the stop check).
void DecodeCopy(TBZDecompressionStream& decoder, TStream& target, std::optional<std::int64_t> limit,
                TCopyHasher* hasher, const std::function<void()>& afterBlock, TMD5Context* md5 = nullptr);

// Raises unless the decoded file's MD5 is digest and, with a hasher, the
// copy's SHA-256 the entry's sha256. The file stays either way.
void VerifyDecoded(const std::string& path, std::string_view digest, TCopyHasher* hasher, const TListTrust& trust,
                   std::string_view sha256);
// The same for a file hashed as it was written (DecodeCopy's md5): no
// second read of it.
void VerifyDecoded(TMD5Context& md5, std::string_view digest, TCopyHasher* hasher, const TListTrust& trust,
                   std::string_view sha256);
