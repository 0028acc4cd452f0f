// The decompressing stream: reads a bzip2 stream from a source stream and
// hands out the decoded bytes.
#pragma once

#include "formats/Classes.h"
#include "platform/errors.h"

#include <cstddef>
#include <cstdint>

// A stream that does not decode: the copy is corrupt, whatever its source.
class EBZip2Error : public Exception {
public:
    explicit EBZip2Error(const std::string& message) : Exception(message, TFault::Corrupt) {}
};
class EBZDecompressionError : public EBZip2Error {
public:
    using EBZip2Error::EBZip2Error;
};

class TCustomBZip2Stream : public TStream {
public:
    ~TCustomBZip2Stream() override = default;

    // Runs after every decoding step; the sender is the stream.
    TNotifyEvent OnProgress;

    static constexpr std::size_t kInputBufferSize = 65536;

protected:
    // The source is not owned; it must outlive this stream.
    explicit TCustomBZip2Stream(TStream& source);

    virtual void Progress(void* sender);

    // libbz2's bz_stream lives in BzRec. Its header is kept out of this one
    // because on Windows it brings <windows.h> (and macros such as
    // DeleteFile) into every includer; BZip2.cpp checks that it fits.
    static constexpr std::size_t kBzRecSize = 128;

    TStream* SourceStream;
    std::int64_t SourcePos;  // source position after the latest refill
    alignas(alignof(std::max_align_t)) unsigned char BzRec[kBzRecSize];
    unsigned char InputBuffer[kInputBufferSize];
};

// Read-only and forward-only: Seek allows a rewind to 0 and forward skips
// (so Position works); Write, backward moves and Size raise.
class TBZDecompressionStream : public TCustomBZip2Stream {
public:
    // Raises EBZDecompressionError when libbz2 can't start a decoder.
    explicit TBZDecompressionStream(TStream& source);
    ~TBZDecompressionStream() override;

    // count decoded bytes, or fewer only once the bzip2 stream has ended and
    // the source is exhausted (0 from then on). An empty source decodes to
    // nothing. Raises EBZDecompressionError "error N" with libbz2's status:
    // -5 for data that is not bzip2, -4 for corrupt data, -1 for any byte
    // after the end of the stream, and -7 for a source that ends inside it.
    std::size_t Read(void* buffer, std::size_t count) override;
    // Always raises EBZDecompressionError("Invalid stream operation").
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, os::SeekOrigin origin) override;

    // True once libbz2 has reported the end of the bzip2 stream.
    bool Finished() const { return finished_; }

private:
    void StartDecoder();
    std::size_t Decode(unsigned char* out, unsigned int count);

    bool finished_ = false;
};
