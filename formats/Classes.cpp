#include "formats/Classes.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

// ---- TStream ----------------------------------------------------------------

std::int64_t TStream::Position() { return Seek(0, os::SeekOrigin::Current); }

void TStream::SetPosition(std::int64_t position) { Seek(position, os::SeekOrigin::Begin); }

std::int64_t TStream::Size() {
    const std::int64_t position = Seek(0, os::SeekOrigin::Current);
    const std::int64_t size = Seek(0, os::SeekOrigin::End);
    Seek(position, os::SeekOrigin::Begin);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    // A stream may hand out less than asked before its end (a network or a
    // chunked source), so only a read of 0 means the data ran out.
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = Read(out + done, count - done);
        if (n == 0) throw EReadError("Stream read error");
        done += n;
    }
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

// ---- TFileStream ------------------------------------------------------------

TFileStream::TFileStream(const std::string& path, Mode mode, os::Share share) {
    try {
        file_ = mode == Mode::Create      ? os::File::Create(path, share)
                : mode == Mode::CreateNew ? os::File::CreateNew(path, share)
                                          : os::File::OpenRead(path, share);
    } catch (const EInOutError& e) {
        const std::string reason = os::ErrorText(e.ErrorCode);
        if (mode != Mode::OpenRead)
            throw EFCreateError(e.ErrorCode, "Cannot create file \"" + path + "\". " + reason, e.Fault());
        throw EFOpenError(e.ErrorCode, "Cannot open file \"" + path + "\". " + reason, e.Fault());
    }
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
    // The system may return less than asked (large counts, pipes); keep
    // going so that a short result means the end of the file.
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = file_.Read(out + done, count - done);
        if (n == 0) break;
        done += n;
    }
    return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t n = file_.Write(in + done, count - done);
        if (n == 0) break;  // disk full: the caller sees the short count
        done += n;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, os::SeekOrigin origin) { return file_.Seek(offset, origin); }

// ---- TMemoryStream ----------------------------------------------------------

TMemoryStream::TMemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    const auto size = static_cast<std::int64_t>(data_.size());
    if (position_ >= size || count == 0) return 0;
    const std::size_t n = std::min(count, static_cast<std::size_t>(size - position_));
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += static_cast<std::int64_t>(n);
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    if (count > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max() - position_))
        throw EWriteError("Stream write error");
    const auto end = static_cast<std::size_t>(position_) + count;
    if (end > data_.size()) {
        // Geometric growth keeps many small writes linear.
        if (end > data_.capacity()) data_.reserve(std::max(end, data_.capacity() * 2));
        data_.resize(end);
    }
    std::memcpy(data_.data() + position_, buffer, count);
    position_ = static_cast<std::int64_t>(end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, os::SeekOrigin origin) {
    std::int64_t base = 0;
    switch (origin) {
        case os::SeekOrigin::Begin: base = 0; break;
        case os::SeekOrigin::Current: base = position_; break;
        case os::SeekOrigin::End: base = static_cast<std::int64_t>(data_.size()); break;
    }
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) throw EStreamError("Invalid stream position");
    position_ = target;
    return position_;
}

void TMemoryStream::SetSize(std::int64_t size) {
    if (size < 0) throw EStreamError("Invalid stream size");
    data_.resize(static_cast<std::size_t>(size));
    position_ = std::min(position_, size);
}
