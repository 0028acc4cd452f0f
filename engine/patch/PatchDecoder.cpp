#define ZSTD_STATIC_LINKING_ONLY  // stable output buffer, counted allocations
#include "engine/patch/PatchDecoder.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

// Every allocation of one context, counted against its bound. The size is
// kept in front of each block, since ZSTD_customMem's free has no size.
struct TPatchDecoder::TCounter {
    std::size_t bound;
    std::size_t held = 0;
    std::size_t peak = 0;
    bool refused = false;

    static constexpr std::size_t kHeader = alignof(std::max_align_t);

    static void* Allocate(void* opaque, std::size_t size) {
        auto* self = static_cast<TCounter*>(opaque);
        if (size > self->bound - self->held || size > SIZE_MAX - kHeader) {
            self->refused = true;
            return nullptr;
        }
        auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
        if (block == nullptr) return nullptr;
        *reinterpret_cast<std::size_t*>(block) = size;
        self->held += size;
        if (self->held > self->peak) self->peak = self->held;
        return block + kHeader;
    }
    static void Free(void* opaque, void* address) {
        if (address == nullptr) return;
        auto* self = static_cast<TCounter*>(opaque);
        unsigned char* block = static_cast<unsigned char*>(address) - kHeader;
        self->held -= *reinterpret_cast<std::size_t*>(block);
        std::free(block);
    }
};

namespace {

[[noreturn]] void Fail(std::size_t code, const TPatchDecoder::TCounter& counter) {
    if (counter.refused) throw EPatchError("The patch needs more memory than allowed", TFault::TooLarge);
    const ZSTD_ErrorCode error = ZSTD_getErrorCode(code);
    if (error == ZSTD_error_dstSize_tooSmall) {
        throw EPatchError("The patch decodes into more than its file's size", TFault::TooLarge);
    }
    if (error == ZSTD_error_frameParameter_windowTooLarge) {
        throw EPatchError("The patch asks for a window larger than allowed", TFault::TooLarge);
    }
    throw EPatchError(std::string("The patch does not decode: ") + ZSTD_getErrorName(code));
}

}  // namespace

TPatchDecoder::TPatchDecoder(std::span<const std::uint8_t> reference, std::span<std::uint8_t> output,
                             std::size_t memoryBound)
    : output_(output), counter_(new TCounter{memoryBound}) {
    const ZSTD_customMem memory{&TCounter::Allocate, &TCounter::Free, counter_};
    context_ = ZSTD_createDCtx_advanced(memory);
    if (context_ == nullptr) {
        delete counter_;
        throw EPatchError("No patch decoder fits the memory allowed", TFault::TooLarge);
    }
    std::size_t rc = ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, kWindowLogMax);
    // The output is the window: nothing is copied into a buffer of its own.
    if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_setParameter(context_, ZSTD_d_stableOutBuffer, 1);
    if (!ZSTD_isError(rc)) rc = ZSTD_DCtx_refPrefix(context_, reference.data(), reference.size());
    if (ZSTD_isError(rc)) {
        ZSTD_freeDCtx(context_);
        delete counter_;
        throw EPatchError(std::string("The patch decoder can't be set up: ") + ZSTD_getErrorName(rc));
    }
}

TPatchDecoder::~TPatchDecoder() {
    ZSTD_freeDCtx(context_);
    delete counter_;
}

void TPatchDecoder::Decode(std::span<const std::uint8_t>& input, std::size_t outputStep) {
    if (input.empty()) return;
    if (ended_) throw EPatchError("The patch has bytes after its frame");
    // The input goes in slices: the output a slice makes is bounded by the
    // blocks it can hold (each at most 128 KiB), so a step ends near its size.
    constexpr std::size_t kSlice = 256;
    const std::size_t start = produced_;
    ZSTD_inBuffer in{input.data(), 0, 0};
    // The same buffer at every call, as a stable output buffer must be.
    ZSTD_outBuffer out{output_.data(), output_.size(), produced_};
    while (in.pos < input.size() && !ended_ && produced_ - start < outputStep) {
        in.size = std::min(input.size(), in.pos + kSlice);
        const std::size_t before = out.pos + in.pos;
        const std::size_t rc = ZSTD_decompressStream(context_, &out, &in);
        if (ZSTD_isError(rc)) Fail(rc, *counter_);
        produced_ = out.pos;
        if (rc == 0) {
            ended_ = true;
        } else if (out.pos + in.pos == before) {
            // Neither input taken nor output made: the buffer is full and
            // the frame wants more.
            throw EPatchError("The patch decodes into more than its file's size", TFault::TooLarge);
        }
    }
    input = input.subspan(in.pos);
    if (ended_ && !input.empty()) throw EPatchError("The patch has bytes after its frame");
}

bool TPatchDecoder::Finished() const {
    if (!ended_) return false;
    if (produced_ != output_.size()) throw EPatchError("The patch decodes into less than its file's size");
    return true;
}

std::size_t TPatchDecoder::PeakMemory() const { return counter_->peak; }

std::optional<std::uint64_t> TPatchDecoder::DeclaredSize(std::span<const std::uint8_t> frameStart) {
    const unsigned long long size = ZSTD_getFrameContentSize(frameStart.data(), frameStart.size());
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) return std::nullopt;
    return static_cast<std::uint64_t>(size);
}
