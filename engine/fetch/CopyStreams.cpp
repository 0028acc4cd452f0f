#include "engine/fetch/CopyStreams.h"

#include "engine/state/ListTrust.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/RunControl.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"
#include "platform/errors.h"

#include <limits>
#include <vector>

std::int64_t CompressedSizeBound(std::int64_t size) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (size > (kMax - 4096) / 33 * 32) return kMax;
    return size + size / 32 + 4096;
}

void TFileSink::Add(const char* bytes, std::size_t count) {
    if (file_.Write(bytes, count) != count) throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
}

int ReceiveBody(os::HttpResponse& response, TDownloadSink& sink, const TReceive& how, bool& broken) {
    // A continued transfer starts at the bytes already there.
    if (how.offset > 0 && how.received) how.received(how.offset);
    std::uint64_t total = how.offset;
    std::vector<char> buffer(kCopyBlock);
    std::size_t n = 0;
    do {
        try {
            // Under a limit a read takes no more than the limit allows now.
            const std::size_t want = how.pace ? how.pace->Take(buffer.size(), how.stopped) : buffer.size();
            n = response.Read(buffer.data(), want);
            if (how.pace) how.pace->GiveBack(want - n);
        } catch (...) {
            broken = true;
            throw;
        }
        total += n;
        if (total > how.limit) {
            throw Exception("The download is larger than its entry allows", TFault::TooLarge);
        }
        if (n > 0) sink.Add(buffer.data(), n);
        if (how.stopped && how.stopped()) {
            broken = true;
            throw ERunStopped();
        }
        if (how.received) how.received(total);
    } while (n != 0);
    return response.Status();
}

TCopyCheck::TCopyCheck(std::int64_t size) : size_(size) {}

TCopyCheck::TCopyCheck(std::int64_t size, std::string digest, std::string sha256, const TListTrust& trust)
    : size_(size), digest_(std::move(digest)), sha256_(std::move(sha256)), trust_(&trust) {
    MD5Init(md5_);
    if (trust.Enabled()) hasher_ = std::make_unique<TCopyHasher>();
}

TCopyCheck::~TCopyCheck() = default;

void TCopyCheck::Add(const std::uint8_t* bytes, std::size_t count) {
    total_ += static_cast<std::int64_t>(count);
    if (total_ > size_) throw Exception("The decoded data is larger than its entry says", TFault::TooLarge);
    if (!digest_) return;
    MD5Update(md5_, bytes, count);
    if (hasher_) hasher_->Update({bytes, count});
}

void TCopyCheck::Verify() {
    if (!digest_) return;
    TMD5Digest actual{};
    MD5Final(md5_, actual);
    if (DigestToHex(actual) != *digest_) {
        throw Exception("The decoded file does not match its digest", TFault::DigestMismatch);
    }
    if (hasher_) trust_->CheckCopy(hasher_->Final(), sha256_);
}

void DecodeCopy(TBZDecompressionStream& decoder, TStream& target, TCopyCheck& check,
                const std::function<void()>& afterBlock, int serverStatus) {
    std::vector<std::uint8_t> buffer(kCopyBlock);
    try {
        while (const std::size_t n = decoder.Read(buffer.data(), buffer.size())) {
            check.Add(buffer.data(), n);
            target.WriteBuffer(buffer.data(), n);
            afterBlock();
        }
    } catch (const EBZip2Error& e) {
        // What the server sent with an error status was its error page.
        if (serverStatus >= 400) throw Exception(e.what(), TFault::ServerError, serverStatus);
        throw;
    }
    check.Verify();
}
