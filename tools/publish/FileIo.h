// Files for the publisher: RAII handles on native paths, temporary files
// that vanish unless committed, and replacement by one rename.
#pragma once

#include "platform/os.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace publish {

// A file that can't be read or written; the message names the file.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void RaiseIo(const std::string& what, const std::filesystem::path& path, int errnoValue);

class CFile {
public:
    enum class Mode { Read, Write };
    CFile(const std::filesystem::path& path, Mode mode);
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Up to count bytes; 0 at the end. Raises IoError.
    std::size_t Read(void* buffer, std::size_t count);
    // All count bytes, or IoError.
    void Write(const void* buffer, std::size_t count);
    // Flushes and closes, raising IoError for a delayed write error.
    void Close();

private:
    os::StdioFile file_;
    std::filesystem::path path_;
};

std::string ReadWholeFile(const std::filesystem::path& path);

// A path next to a target for writing it in full before one rename. The
// file is removed by the destructor unless Commit() moved it into place.
class TempFile {
public:
    explicit TempFile(std::filesystem::path target);
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    ~TempFile();

    const std::filesystem::path& Path() const { return temp_; }
    const std::filesystem::path& Target() const { return target_; }
    // Replaces the target in one rename. Raises IoError.
    void Commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    bool pending_ = true;
};

// Suffix of our temporary files; never ends in ".bz2", so it can't take the
// name of a published copy.
inline constexpr std::string_view kTempSuffix = ".publish-tmp";

// Replaces target by source in one rename (an existing target included).
void ReplaceByRename(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace publish
