#include "platform/secret.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {
namespace {

// Closes the descriptor on every path.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace

std::string CreateSecretFile(const std::filesystem::path& path, std::string_view content) {
    // O_EXCL refuses an existing name, a dangling link included.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return std::strerror(errno);
    // The umask can only remove bits; make sure nothing else was granted.
    std::string problem;
    if (::fchmod(fd.get(), 0600) != 0) problem = std::strerror(errno);
    for (std::size_t done = 0; problem.empty() && done < content.size();) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            problem = std::strerror(n < 0 ? errno : EIO);
        else
            done += static_cast<std::size_t>(n);
    }
    if (problem.empty() && ::fsync(fd.get()) != 0) problem = std::strerror(errno);
    if (problem.empty() && ::close(fd.release()) != 0) problem = std::strerror(errno);
    if (!problem.empty()) ::unlink(path.c_str());
    return problem;
}

std::string ReadSecretFile(const std::filesystem::path& path, std::string& content) {
    content.clear();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return std::strerror(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    if ((info.st_mode & 077) != 0) return "other users can access it (it must be mode 0600: chmod 600)";
    if (info.st_size > 4096) return "too large for a key file";
    char buffer[4097];
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer + total, sizeof buffer - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::strerror(errno);
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        if (total == sizeof buffer) return "too large for a key file";
    }
    content.assign(buffer, total);
    std::memset(buffer, 0, sizeof buffer);
    return {};
}

}  // namespace os
