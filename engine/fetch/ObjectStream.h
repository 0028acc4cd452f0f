// An object (the entry's content, zstd, named by its MD5) decoded as its
// body arrives, on the thread that receives it: zstd decodes at about
// 2 GB/s, so the connection never waits on it, and no compressed byte is
// kept in memory or on disk. The decoded bytes go through the entry's check
// (MD5, SHA-256 when signed) into its ".part".
// Threat: an object from a hostile server that decodes into more than its
// entry (a decompression bomb), or asks for a huge window to exhaust the
// memory: the output is cut at the entry's size and the window at what a
// file of that size needs, before the bytes or the memory exist.
#pragma once

#include "engine/fetch/CopyStreams.h"

#include <cstdint>
#include <functional>
#include <vector>

struct ZSTD_DCtx_s;

// The most bytes an object of a size-byte file may have: zstd's own bound
// for one frame, plus a frame's overhead for every 16 MiB of content (the
// publisher cuts large objects into frames of 64 MiB) and 4 KiB.
std::int64_t ObjectSizeBound(std::int64_t size);

// The largest window an object of a size-byte file may ask for: the one
// that covers the whole file, between 2^10 and 2^27 (every decoder's
// default limit, and the publisher's most).
int ObjectWindowLog(std::int64_t size);

class TObjectSink final : public TDownloadSink {
public:
    // Decodes into file (at its position) through check; size: the entry's,
    // produced: the bytes of it already there (a continued object, which
    // starts at a frame). frameEnd(consumed, produced) runs where a frame
    // ends: the object's bytes this sink took, and the entry's bytes there.
    using TFrameEnd = std::function<void(std::uint64_t consumed, std::int64_t produced)>;
    TObjectSink(os::File& file, TCopyCheck& check, std::int64_t size, std::int64_t produced = 0,
                TFrameEnd frameEnd = nullptr);
    ~TObjectSink() override;
    TObjectSink(const TObjectSink&) = delete;
    TObjectSink& operator=(const TObjectSink&) = delete;

    // Raises for a corrupt frame, a window past the bound, output past the
    // entry's size (TooLarge) or a full disk.
    void Add(const char* bytes, std::size_t count) override;
    // Once the body ended: raises unless it ended at the end of a frame,
    // with exactly the entry's size decoded (Cut otherwise).
    void Finish() const;
    // Decoded bytes so far.
    std::int64_t Produced() const { return produced_; }

private:
    os::File& file_;
    TCopyCheck& check_;
    const std::int64_t size_;
    ZSTD_DCtx_s* context_ = nullptr;
    std::vector<std::uint8_t> out_;
    std::int64_t produced_ = 0;
    std::uint64_t consumed_ = 0;
    TFrameEnd frameEnd_;
    bool inFrame_ = false;  // a frame has begun and not ended
    bool ended_ = false;    // a frame has ended
};
