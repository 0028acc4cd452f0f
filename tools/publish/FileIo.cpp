#include "tools/publish/FileIo.h"

#include "tools/publish/Names.h"
#include "tools/publish/Text.h"

#include <cerrno>
#include <system_error>

namespace publish {

void RaiseIo(const std::string& what, const std::filesystem::path& path, int errnoValue) {
    throw IoError(Cat("can't ", what, " '", Display(path),
                      "': ", std::error_code(errnoValue, std::generic_category()).message()));
}

CFile::CFile(const std::filesystem::path& path, Mode mode) : path_(path) {
    file_ = os::OpenStdio(path, mode == Mode::Read ? os::StdioMode::Read : os::StdioMode::Write);
    if (!file_) RaiseIo(mode == Mode::Read ? "open" : "create", path, errno);
    // Our buffers are large already.
    std::setvbuf(file_.get(), nullptr, _IONBF, 0);
}

std::size_t CFile::Read(void* buffer, std::size_t count) {
    const std::size_t n = std::fread(buffer, 1, count, file_.get());
    if (n < count && std::ferror(file_.get())) RaiseIo("read", path_, errno);
    return n;
}

void CFile::Write(const void* buffer, std::size_t count) {
    if (std::fwrite(buffer, 1, count, file_.get()) != count) RaiseIo("write", path_, errno);
}

void CFile::Close() {
    std::FILE* f = file_.release();
    if (f != nullptr && std::fclose(f) != 0) RaiseIo("write", path_, errno);
}

std::string ReadWholeFile(const std::filesystem::path& path) {
    CFile file(path, CFile::Mode::Read);
    std::string data;
    char buffer[65536];
    for (std::size_t n; (n = file.Read(buffer, sizeof buffer)) > 0;) data.append(buffer, n);
    return data;
}

TempFile::TempFile(std::filesystem::path target) : target_(std::move(target)) {
    temp_ = target_;
    temp_ += std::filesystem::path(std::string(kTempSuffix));
}

TempFile::TempFile(TempFile&& other) noexcept
    : target_(std::move(other.target_)), temp_(std::move(other.temp_)), pending_(other.pending_) {
    other.pending_ = false;
}

TempFile::~TempFile() {
    if (pending_) {
        std::error_code ignored;
        std::filesystem::remove(temp_, ignored);
    }
}

void TempFile::Commit() {
    ReplaceByRename(temp_, target_);
    pending_ = false;
}

void ReplaceByRename(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (const std::error_code ec = os::RenameReplacing(source, target)) {
        throw IoError(Cat("can't rename '", Display(source), "' to '", Display(target), "': ", ec.message()));
    }
}

}  // namespace publish
