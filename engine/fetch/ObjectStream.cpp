#include "engine/fetch/ObjectStream.h"

#include "platform/errors.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t kFrameStep = std::int64_t{16} << 20;
// A frame's header, block headers' share past compressBound, checksum.
constexpr std::int64_t kFrameOverhead = 32;

[[noreturn]] void Corrupt(std::size_t code) {
    throw Exception(std::string("The object does not decode: ") + ZSTD_getErrorName(code), TFault::Corrupt);
}

}  // namespace

std::int64_t ObjectSizeBound(std::int64_t size) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (size < 0 || size > (std::int64_t{1} << 56)) return kMax;
    const auto bound = static_cast<std::int64_t>(ZSTD_compressBound(static_cast<std::size_t>(size)));
    return bound + (size / kFrameStep + 1) * kFrameOverhead + 4096;
}

int ObjectWindowLog(std::int64_t size) {
    const auto width = static_cast<int>(std::bit_width(static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0))));
    return std::clamp(width, 10, 27);
}

TObjectSink::TObjectSink(os::File& file, TCopyCheck& check, std::int64_t size, std::int64_t produced,
                         TFrameEnd frameEnd)
    : file_(file),
      check_(check),
      size_(size),
      context_(ZSTD_createDCtx()),
      out_(ZSTD_DStreamOutSize()),
      produced_(produced),
      frameEnd_(std::move(frameEnd)) {
    if (!context_) throw Exception("zstd can't start a decoder", TFault::Other);
    const std::size_t rc = ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, ObjectWindowLog(size));
    if (ZSTD_isError(rc)) {
        ZSTD_freeDCtx(context_);
        Corrupt(rc);
    }
}

TObjectSink::~TObjectSink() { ZSTD_freeDCtx(context_); }

void TObjectSink::Add(const char* bytes, std::size_t count) {
    ZSTD_inBuffer in{bytes, count, 0};
    struct Count {
        std::uint64_t& consumed;
        const ZSTD_inBuffer& in;
        ~Count() { consumed += in.pos; }
    } count_{consumed_, in};
    for (;;) {
        ZSTD_outBuffer out{out_.data(), out_.size(), 0};
        const std::size_t left = ZSTD_decompressStream(context_, &out, &in);
        if (ZSTD_isError(left)) Corrupt(left);
        inFrame_ = left != 0;
        if (left == 0) ended_ = true;
        if (out.pos > 0) {
            // More than the entry fails here, before the bytes reach the disk.
            check_.Add(out_.data(), out.pos);
            produced_ += static_cast<std::int64_t>(out.pos);
            if (file_.Write(out_.data(), out.pos) != out.pos) {
                throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
            }
        }
        // A frame ends only once all its output is out.
        if (left == 0 && frameEnd_) frameEnd_(consumed_ + in.pos, produced_);
        // A full output buffer may leave decoded bytes inside the decoder
        // (an ended frame has none).
        if (in.pos == in.size && (out.pos < out.size || left == 0)) break;
    }
}

void TObjectSink::Finish() const {
    if (inFrame_ || !ended_ || produced_ != size_) {
        throw Exception("The object ended early (" + std::to_string(produced_) + " of " + std::to_string(size_) +
                            " bytes decoded)",
                        TFault::Cut);
    }
}
