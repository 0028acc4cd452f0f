#include "engine/CopyStreams.h"

#include "engine/ListTrust.h"
#include "engine/RunControl.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"
#include "formats/md5.h"
#include "platform/errors.h"

#include <vector>

namespace {

// The body in 64 KiB blocks handed to write, within limit bytes in all.
void ReceiveBlocks(os::HttpResponse& response, const std::function<void(const char*, std::size_t)>& write,
                   std::uint64_t offset, std::optional<std::uint64_t> limit,
                   const std::function<void(std::uint64_t received)>& received, const std::function<bool()>& stopped,
                   bool& broken) {
    // A continued transfer starts at the bytes already there.
    if (offset > 0) received(offset);
    std::uint64_t total = offset;
    std::vector<char> buffer(kCopyBlock);
    std::size_t n = 0;
    do {
        try {
            n = response.Read(buffer.data(), buffer.size());
        } catch (...) {
            broken = true;
            throw;
        }
        total += n;
        if (limit && total > *limit) throw Exception("The download is larger than its entry allows");
        if (n > 0) write(buffer.data(), n);
        if (stopped()) {
            broken = true;
            throw ERunStopped();
        }
        received(total);
    } while (n != 0);
}

}  // namespace

void ReceiveCopy(os::HttpResponse& response, os::File& file, std::uint64_t offset, std::optional<std::uint64_t> limit,
                 const std::function<void(std::uint64_t received)>& received, const std::function<bool()>& stopped,
                 bool& broken) {
    const auto write = [&file](const char* bytes, std::size_t n) {
        if (file.Write(bytes, n) != n) throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
    };
    ReceiveBlocks(response, write, offset, limit, received, stopped, broken);
}

void ReceiveCopy(os::HttpResponse& response, std::vector<std::uint8_t>& copy, std::uint64_t limit,
                 const std::function<void(std::uint64_t received)>& received, const std::function<bool()>& stopped,
                 bool& broken) {
    const auto write = [&copy](const char* bytes, std::size_t n) { copy.insert(copy.end(), bytes, bytes + n); };
    ReceiveBlocks(response, write, 0, limit, received, stopped, broken);
}

void DecodeCopy(TBZDecompressionStream& decoder, TStream& target, std::optional<std::int64_t> limit,
                TCopyHasher* hasher, const std::function<void()>& afterBlock, TMD5Context* md5) {
    std::vector<std::uint8_t> buffer(kCopyBlock);
    std::int64_t total = 0;
    while (const std::size_t n = decoder.Read(buffer.data(), buffer.size())) {
        total += static_cast<std::int64_t>(n);
        if (limit && total > *limit) throw Exception("The decoded data is larger than its entry says");
        target.WriteBuffer(buffer.data(), n);
        if (hasher) hasher->Update({buffer.data(), n});
        if (md5) MD5Update(*md5, buffer.data(), n);
        afterBlock();
    }
}

namespace {

void CheckDecoded(const TMD5Digest& actual, std::string_view digest, TCopyHasher* hasher, const TListTrust& trust,
                  std::string_view sha256) {
    if (DigestToHex(actual) != digest) throw Exception("The decoded file does not match its digest");
    if (hasher) trust.CheckCopy(hasher->Final(), std::string(sha256));
}

}  // namespace

void VerifyDecoded(const std::string& path, std::string_view digest, TCopyHasher* hasher, const TListTrust& trust,
                   std::string_view sha256) {
    TMD5Digest actual{};
    FileDigest(path, actual);
    CheckDecoded(actual, digest, hasher, trust, sha256);
}

void VerifyDecoded(TMD5Context& md5, std::string_view digest, TCopyHasher* hasher, const TListTrust& trust,
                   std::string_view sha256) {
    TMD5Digest actual{};
    MD5Final(md5, actual);
    CheckDecoded(actual, digest, hasher, trust, sha256);
}
