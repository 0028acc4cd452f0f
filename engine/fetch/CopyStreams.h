// The two streams of every transfer of a run: a response's body into a sink
// (the list, its signature, an entry's copy on disk or in memory), and a
// copy decoded into its file, then verified against its entry. Limits,
// progress and the stop check live here, once, for every caller.
// Threat: a server (or whoever answers for it) sending more than the entry
// allows, or a small copy that decodes into a huge file: both are stopped
// at their bound, before the bytes reach the disk.
#pragma once

#include "formats/md5.h"
#include "platform/os.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TBZDecompressionStream;
class TCopyHasher;
class TListTrust;
class TPace;
class TStream;

inline constexpr std::size_t kCopyBlock = 65536;

// The most a bzip2 copy of size bytes may take: bzip2 promises at most 1%
// more than its input plus 600 bytes; we allow 1/32 (3%) plus 4 KiB, so a
// copy larger than this was never made from that size. Saturates rather
// than overflow for a size near the 64-bit limit.
std::int64_t CompressedSizeBound(std::int64_t size);

// Where a body goes, a block at a time.
class TDownloadSink {
public:
    virtual ~TDownloadSink() = default;
    virtual void Add(const char* bytes, std::size_t count) = 0;
};

// Into a file (after what it already holds); a short write is a full disk.
class TFileSink final : public TDownloadSink {
public:
    explicit TFileSink(os::File& file) : file_(file) {}
    void Add(const char* bytes, std::size_t count) override;

private:
    os::File& file_;
};

// Into memory: a small copy that never touches the disk.
class TMemorySink final : public TDownloadSink {
public:
    explicit TMemorySink(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    void Add(const char* bytes, std::size_t count) override { bytes_.insert(bytes_.end(), bytes, bytes + count); }

private:
    std::vector<std::uint8_t>& bytes_;
};

// How a body is received: after offset bytes already there, no more than
// limit bytes in all (every body has one: left at 0, any byte fails);
// received(total) runs after each block (and first with offset, when
// continuing) and stopped() is asked after each block. With a pace, each
// read waits for the run's limit and pause (see engine/fetch/Pace).
struct TReceive {
    std::uint64_t offset = 0;
    std::uint64_t limit = 0;
    std::function<void(std::uint64_t received)> received;
    std::function<bool()> stopped;
    TPace* pace = nullptr;
};

// Writes response's body into sink in 64 KiB blocks. A status of 400 or more
// is remembered for the reason of a failure that follows (the body is still
// stored: an error page is a copy that fails to decode). broken tells
// whether a failure was the transfer's own (cut, stalled, stopped, closed
// by a long pause: ETransferPaused) rather than the copy's or the disk's.
// Returns the response's status.
int ReceiveBody(os::HttpResponse& response, TDownloadSink& sink, const TReceive& how, bool& broken);

// What a decoded copy must be: no more than size bytes and, when a digest
// is given, that MD5 and (with a key) its entry's SHA-256.
class TCopyCheck {
public:
    // Only a bound (the list, which nothing lists a digest for).
    explicit TCopyCheck(std::int64_t size);
    TCopyCheck(std::int64_t size, std::string digest, std::string sha256, const TListTrust& trust);
    ~TCopyCheck();
    TCopyCheck(const TCopyCheck&) = delete;
    TCopyCheck& operator=(const TCopyCheck&) = delete;

    // Sees every decoded byte; raises once more than size came.
    void Add(const std::uint8_t* bytes, std::size_t count);
    // Raises unless what was added is the entry's file.
    void Verify();

private:
    std::int64_t size_;
    std::int64_t total_ = 0;
    std::optional<std::string> digest_;
    std::string sha256_;
    const TListTrust* trust_ = nullptr;
    TMD5Context md5_{};
    std::unique_ptr<TCopyHasher> hasher_;
};

// Decodes decoder's bytes into target in 64 KiB blocks through check, then
// verifies; afterBlock runs after each block (the stop check). A server's
// error status (see ReceiveBody) names a copy that does not decode.
void DecodeCopy(TBZDecompressionStream& decoder, TStream& target, TCopyCheck& check,
                const std::function<void()>& afterBlock, int serverStatus = 0);
