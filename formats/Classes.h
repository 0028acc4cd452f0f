// Byte streams: the abstract TStream, a stream over an os::File and a
// growable memory stream. Failures are raised (platform/errors.h).
#pragma once

#include "platform/errors.h"
#include "platform/os.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// An event handler taking the object that raised it.
using TNotifyEvent = std::function<void(void* sender)>;

class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    // Reads up to count bytes; fewer only at the end of the data.
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    // Writes up to count bytes and returns how many were stored.
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    // Moves the position and returns the new one.
    virtual std::int64_t Seek(std::int64_t offset, os::SeekOrigin origin) = 0;

    // Position and size go through Seek, so a stream that refuses a move
    // refuses them too.
    std::int64_t Position();
    void SetPosition(std::int64_t position);
    std::int64_t Size();

    // Exactly count bytes or EReadError / EWriteError.
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
};

// A stream over a file. The file is closed by the destructor.
class TFileStream : public TStream {
public:
    enum class Mode {
        OpenRead,   // an existing file, read only; EFOpenError otherwise
        Create,     // created or truncated, read and write; EFCreateError otherwise
        CreateNew,  // created where nothing stands yet (os::File::CreateNew); EFCreateError otherwise
    };

    TFileStream(const std::string& path, Mode mode, os::Share share);
    // Over a file already open.
    explicit TFileStream(os::File file) : file_(std::move(file)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, os::SeekOrigin origin) override;

    // Closes the file now, raising a delayed write error.
    void Close() { file_.Close(); }

private:
    os::File file_;
};

// A growable stream in memory. Writing past the end extends it (a gap is
// filled with zeros).
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes);

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, os::SeekOrigin origin) override;

    void SetSize(std::int64_t size);
    const std::vector<std::uint8_t>& Bytes() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::int64_t position_ = 0;
};
