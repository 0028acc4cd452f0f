#include "formats/BZip2.h"
#include "platform/bz2.h"

#include <algorithm>
#include <climits>
#include <new>
#include <string>

namespace {

bz_stream& Rec(unsigned char* storage) { return *std::launder(reinterpret_cast<bz_stream*>(storage)); }

[[noreturn]] void RaiseStatus(int status) { throw EBZDecompressionError("error " + std::to_string(status)); }

[[noreturn]] void RaiseInvalidOperation() { throw EBZDecompressionError("Invalid stream operation"); }

}  // namespace

// ---- TCustomBZip2Stream -----------------------------------------------------

TCustomBZip2Stream::TCustomBZip2Stream(TStream& source) : SourceStream(&source), SourcePos(source.Position()) {
    static_assert(sizeof(bz_stream) <= kBzRecSize && alignof(bz_stream) <= alignof(std::max_align_t));
    // Null allocation callbacks leave libbz2 on its default allocator, the C
    // heap. A callback can't raise through libbz2's C frames, so exhausted
    // memory comes back as BZ_MEM_ERROR and is raised as "error -3".
    new (BzRec) bz_stream{};
}

void TCustomBZip2Stream::Progress(void* sender) {
    if (OnProgress) OnProgress(sender);
}

// ---- TBZDecompressionStream -------------------------------------------------

TBZDecompressionStream::TBZDecompressionStream(TStream& source) : TCustomBZip2Stream(source) { StartDecoder(); }

TBZDecompressionStream::~TBZDecompressionStream() {
    // Safe after a failed start too: libbz2 ignores a record without state.
    BZ2_bzDecompressEnd(&Rec(BzRec));
}

void TBZDecompressionStream::StartDecoder() {
    bz_stream& rec = Rec(BzRec);
    rec.next_in = reinterpret_cast<char*>(InputBuffer);
    rec.avail_in = 0;
    finished_ = false;
    // Verbosity 0, and the fast decoder (small 0).
    const int status = BZ2_bzDecompressInit(&rec, 0, 0);
    if (status < 0) RaiseStatus(status);
}

std::size_t TBZDecompressionStream::Read(void* buffer, std::size_t count) {
    // libbz2 counts output in 32 bits; larger requests go in pieces.
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const auto piece = static_cast<unsigned int>(std::min<std::size_t>(count - done, UINT_MAX));
        const std::size_t n = Decode(out + done, piece);
        done += n;
        if (n < piece) break;
    }
    return done;
}

std::size_t TBZDecompressionStream::Decode(unsigned char* out, unsigned int count) {
    bz_stream& rec = Rec(BzRec);
    rec.next_out = reinterpret_cast<char*>(out);
    rec.avail_out = count;

    // Go on where decoding left off even when someone moved the source.
    if (SourceStream->Position() != SourcePos) SourceStream->SetPosition(SourcePos);

    while (rec.avail_out > 0) {
        if (rec.avail_in == 0) {
            const std::size_t n = SourceStream->Read(InputBuffer, kInputBufferSize);
            if (n == 0) {
                // A source that ends inside its bzip2 stream is a damaged
                // file, not a short one. An empty source is an empty file.
                const bool nothingRead = rec.total_in_lo32 == 0 && rec.total_in_hi32 == 0;
                if (!finished_ && !nothingRead) RaiseStatus(BZ_UNEXPECTED_EOF);
                return count - rec.avail_out;
            }
            rec.avail_in = static_cast<unsigned int>(n);
            rec.next_in = reinterpret_cast<char*>(InputBuffer);
            SourcePos = SourceStream->Position();
        }
        // After the end of the stream libbz2 answers BZ_SEQUENCE_ERROR, so
        // any byte after it (a second stream too) is raised as "error -1".
        const int status = BZ2_bzDecompress(&rec);
        if (status < 0) RaiseStatus(status);
        if (status == BZ_STREAM_END) finished_ = true;
        Progress(this);
    }
    return count;
}

std::size_t TBZDecompressionStream::Write(const void*, std::size_t) { RaiseInvalidOperation(); }

std::int64_t TBZDecompressionStream::Seek(std::int64_t offset, os::SeekOrigin origin) {
    bz_stream& rec = Rec(BzRec);
    const auto decoded = [&rec] {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(rec.total_out_hi32) << 32) | rec.total_out_lo32);
    };
    const std::int64_t position = decoded();

    if (offset == 0 && origin == os::SeekOrigin::Begin) {
        // Rewind: a new decoder over the source from its first byte (not
        // from where the source stood when this stream was created).
        const int status = BZ2_bzDecompressEnd(&rec);
        if (status < 0) RaiseStatus(status);
        StartDecoder();
        SourceStream->SetPosition(0);
        SourcePos = 0;
        return decoded();
    }

    std::int64_t distance = 0;
    if (origin == os::SeekOrigin::Current && offset >= 0)
        distance = offset;
    else if (origin == os::SeekOrigin::Begin && offset > position)
        distance = offset - position;
    else
        RaiseInvalidOperation();

    // Forward moves decode and drop; running past the end is a read error.
    unsigned char scrap[4096];
    for (; distance >= static_cast<std::int64_t>(sizeof scrap); distance -= sizeof scrap)
        ReadBuffer(scrap, sizeof scrap);
    ReadBuffer(scrap, static_cast<std::size_t>(distance));
    return decoded();
}
