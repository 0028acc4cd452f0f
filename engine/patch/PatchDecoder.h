// The bounded zstd decoder a patch goes through: the old file is the
// reference prefix and the output is a caller's buffer of a fixed size (a
// writable mapping of the temporary), so the decoder keeps no window of its
// own (stable output buffer) and its allocations stay under a fixed bound
// whatever the file's size.
// Threat: a patch (from a hostile server, or a broken one) that decodes into
// more than its entry, or asks for a huge window or tables, to fill the disk
// or the memory; both end as an error before the bytes or the memory exist.
#pragma once

#include "platform/errors.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct ZSTD_DCtx_s;

// What a patch can't do: a corrupt frame, more output than allowed, or more
// memory than the bound.
class EPatchError : public Exception {
public:
    explicit EPatchError(const std::string& message, TFault fault = TFault::Corrupt) : Exception(message, fault) {}
};

class TPatchDecoder {
public:
    // Most bytes the decoder's own allocations may hold at once.
    static constexpr std::size_t kMemoryBound = std::size_t{16} << 20;
    // Largest window a frame may ask for (2 GiB): matches reach that far
    // back into the reference and the output, both mapped, never copied.
    static constexpr int kWindowLogMax = 31;

    // Decodes one frame against reference into output, which it fills
    // exactly. Raises EPatchError when no context fits the bound.
    TPatchDecoder(std::span<const std::uint8_t> reference, std::span<std::uint8_t> output,
                  std::size_t memoryBound = kMemoryBound);
    ~TPatchDecoder();
    TPatchDecoder(const TPatchDecoder&) = delete;
    TPatchDecoder& operator=(const TPatchDecoder&) = delete;

    // Decodes what input holds, dropping what it took from its front; stops
    // early once about outputStep bytes were produced (a few bytes of patch
    // may stand for many MiB), so the caller can release pages as it goes.
    // Raises EPatchError for a corrupt frame, output beyond the buffer, a
    // window or memory beyond the bounds, or bytes after the frame.
    void Decode(std::span<const std::uint8_t>& input, std::size_t outputStep = SIZE_MAX);
    // Bytes written to output so far.
    std::size_t Produced() const { return produced_; }
    // Whether the frame has ended and filled the output exactly; raises for
    // a frame that ended short of it.
    bool Finished() const;
    // The most the decoder's allocations held at once.
    std::size_t PeakMemory() const;

    // The decoded size a frame's header declares; nullopt when it doesn't
    // say or the header isn't complete in these bytes (at most 18 needed).
    static std::optional<std::uint64_t> DeclaredSize(std::span<const std::uint8_t> frameStart);

    struct TCounter;

private:
    std::span<std::uint8_t> output_;
    std::size_t produced_ = 0;
    bool ended_ = false;
    TCounter* counter_;  // owned; outlives the context it counts for
    ZSTD_DCtx_s* context_ = nullptr;
};
