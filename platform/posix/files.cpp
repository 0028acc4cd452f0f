// Files on POSIX: plain descriptors, mmap for digests, and a SIGBUS/SIGSEGV
// guard so that a file shrinking under its view fails a read instead of the
// process. Sharing modes have no POSIX counterpart and are ignored.
#include "platform/os.h"
#include "platform/codepage.h"
#include "platform/posix/paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {

using posix::NativePath;

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// One read or write call moves at most this much; larger requests loop.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// Closes a descriptor on every way out; copying would close it twice.
struct FdCloser {
    explicit FdCloser(int descriptor) : fd(descriptor) {}
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int fd;
};

int OpenOrRaise(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(NativePath(path).c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) RaiseLastError(path);
    return fd;
}

}  // namespace

// ---- File -----------------------------------------------------------------

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) ::close(Fd(handle_));
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

File::~File() {
    if (handle_ != -1) ::close(Fd(handle_));
}

File File::OpenRead(const std::string& path, Share) {
    File file;
    file.handle_ = OpenOrRaise(path, O_RDONLY);
    // Windows refuses to open a directory as a file; so do we.
    struct stat st;
    if (::fstat(Fd(file.handle_), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        RaiseLastError(path);
    }
    return file;
}

File File::Create(const std::string& path, Share) {
    File file;
    file.handle_ = OpenOrRaise(path, O_RDWR | O_CREAT | O_TRUNC);
    return file;
}

File File::CreateNew(const std::string& path, Share) {
    File file;
    // O_EXCL fails on any existing name, a dangling link too; O_NOFOLLOW
    // says so twice.
    file.handle_ = OpenOrRaise(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW);
    return file;
}

File File::OpenOwn(const std::string& path, Share) {
    File file;
    // O_NOFOLLOW refuses a symbolic link, O_NONBLOCK keeps a planted FIFO
    // from holding the open; the link count catches a hard link.
    file.handle_ = OpenOrRaise(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (::fstat(Fd(file.handle_), &st) != 0) RaiseLastError(path);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        throw EInOutError(EPERM, path + ": not a plain file of our own");
    }
    const int flags = ::fcntl(Fd(file.handle_), F_GETFL);
    if (flags != -1) ::fcntl(Fd(file.handle_), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

std::size_t File::Read(void* buffer, std::size_t count) {
    for (;;) {
        const ssize_t got = ::read(Fd(handle_), buffer, std::min(count, kMaxTransfer));
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) RaiseLastError("read");
    }
}

std::size_t File::Write(const void* buffer, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(Fd(handle_), bytes + done, std::min(count - done, kMaxTransfer));
        if (put > 0) {
            done += static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (done > 0) {
            // Report what made it; the next call meets the error again.
            break;
        } else if (put == 0) {
            return 0;
        } else {
            RaiseLastError("write");
        }
    }
    return done;
}

std::int64_t File::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Begin ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    const off_t pos = ::lseek(Fd(handle_), static_cast<off_t>(offset), whence);
    if (pos < 0) RaiseLastError("seek");
    return pos;
}

std::int64_t File::Size() {
    struct stat st;
    if (::fstat(Fd(handle_), &st) != 0) RaiseLastError("size");
    return st.st_size;
}

void File::Close() {
    if (handle_ == -1) return;
    // Linux releases the descriptor even when close fails, so it is never
    // retried; EINTR is not a failure of the data.
    const int fd = Fd(std::exchange(handle_, -1));
    if (::close(fd) != 0 && errno != EINTR) RaiseLastError("close");
}

bool File::IsOpen() const { return handle_ != -1; }

// ---- mappings -------------------------------------------------------------

namespace {

class PosixMapping final : public Mapping {
public:
    PosixMapping(void* base, std::size_t size) : base_(base), size_(size) {
        data_ = {static_cast<const std::uint8_t*>(base), size};
    }
    ~PosixMapping() override { ::munmap(base_, size_); }
    void Discard(std::size_t offset) override {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t length = std::min(offset, size_) / page * page;
        if (length > 0) ::madvise(base_, length, MADV_DONTNEED);
    }
    PosixMapping(const PosixMapping&) = delete;
    PosixMapping& operator=(const PosixMapping&) = delete;

private:
    void* base_;
    std::size_t size_;
};

// A small file read into memory instead: mapping and unmapping it would cost
// more than copying its few pages.
class ReadView final : public Mapping {
public:
    ReadView(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size) : bytes_(std::move(bytes)) {
        data_ = {bytes_.get(), size};
        copied_ = true;
    }
    void Discard(std::size_t) override {}

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
};

constexpr std::size_t kSmallFile = 1 << 20;

}  // namespace

namespace {

std::unique_ptr<Mapping> MapNative(const std::string& native, const std::string& path) {
    FdCloser file{::open(native.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return nullptr;
    struct stat st;
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return nullptr;
    if (static_cast<std::uintmax_t>(st.st_size) > SIZE_MAX) return nullptr;
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size < kSmallFile) {
        // Not zeroed first: read overwrites what is used.
        auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(file.fd, bytes.get() + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) RaiseLastError(path);
            if (n == 0) break;  // the file shrank meanwhile: what is there
            done += static_cast<std::size_t>(n);
        }
        return std::make_unique<ReadView>(std::move(bytes), done);
    }
    ::posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd, 0);
    if (base == MAP_FAILED) return nullptr;
    ::madvise(base, size, MADV_SEQUENTIAL);
    // The view keeps the file's pages; the descriptor is no longer needed.
    return std::make_unique<PosixMapping>(base, size);
}

}  // namespace

std::unique_ptr<Mapping> MapFileReadOnly(const std::string& path) { return MapNative(NativePath(path), path); }

std::unique_ptr<Mapping> MapNativeFileReadOnly(const std::filesystem::path& path) {
    return MapNative(path.native(), path.string());
}

// ---- writable mappings --------------------------------------------------------

namespace {

class PosixWritableMapping final : public WritableMapping {
public:
    PosixWritableMapping(void* base, std::size_t size) : base_(base), size_(size) {
        data_ = {static_cast<std::uint8_t*>(base), size};
    }
    ~PosixWritableMapping() override { ::munmap(base_, size_); }
    // On a shared file mapping the kernel keeps dropped dirty pages in the
    // page cache: nothing written is lost.
    void Discard(std::size_t offset) override {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t length = std::min(offset, size_) / page * page;
        if (length > 0) ::madvise(base_, length, MADV_DONTNEED);
    }
    PosixWritableMapping(const PosixWritableMapping&) = delete;
    PosixWritableMapping& operator=(const PosixWritableMapping&) = delete;

private:
    void* base_;
    std::size_t size_;
};

}  // namespace

std::unique_ptr<WritableMapping> MapFileWritable(File& file, std::uint64_t size) {
    if (size == 0 || size > SIZE_MAX || size > static_cast<std::uint64_t>(INT64_MAX)) {
        throw EInOutError(EINVAL, "a writable mapping of " + std::to_string(size) + " bytes");
    }
    const int fd = Fd(file.handle_);
    // Reserved now, so that a full disk fails here rather than as a fault
    // on a page of the view; file systems without it get a sparse file.
    const int reserved = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
        throw EInOutError(reserved, "reserving " + std::to_string(size) + " bytes: " + ErrorText(reserved));
    }
    if (reserved != 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) RaiseLastError("ftruncate");
    void* base = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) RaiseLastError("mmap");
    return std::make_unique<PosixWritableMapping>(base, static_cast<std::size_t>(size));
}

// ---- guarded reads ----------------------------------------------------------

namespace {

// Where a fault inside GuardedMappedRead resumes; null outside of one. Set
// before the first access to mapped memory, so the handler never touches an
// uninitialised thread-local.
thread_local sigjmp_buf* t_recovery = nullptr;
// The view the guarded read may fault in; a fault anywhere else is a bug.
thread_local const std::uint8_t* t_viewBegin = nullptr;
thread_local const std::uint8_t* t_viewEnd = nullptr;

struct sigaction g_previousBus;
struct sigaction g_previousSegv;

void OnMemoryFault(int sig, siginfo_t* info, void* context) {
    sigjmp_buf* const target = t_recovery;
    const auto* address = info != nullptr ? static_cast<const std::uint8_t*>(info->si_addr) : nullptr;
    if (target != nullptr && info != nullptr && info->si_code > 0 && address >= t_viewBegin && address < t_viewEnd) {
        t_recovery = nullptr;
        siglongjmp(*target, 1);
    }
    // Not ours: behave as if we had never been installed.
    const struct sigaction& previous = sig == SIGBUS ? g_previousBus : g_previousSegv;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(sig, info, context);
        return;
    }
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
        return;
    }
    // Default action: reinstate it. A real fault repeats on return and ends
    // the process as usual; a signal sent by kill() is sent again.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    if (info == nullptr || info->si_code <= 0) ::raise(sig);
}

void InstallFaultHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = OnMemoryFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previousBus);
        ::sigaction(SIGSEGV, &action, &g_previousSegv);
    });
}

}  // namespace

bool GuardedMappedRead(std::span<const std::uint8_t> view, const std::function<void()>& fn) {
    InstallFaultHandlers();
    sigjmp_buf* const outer = t_recovery;
    const std::uint8_t* const outerBegin = t_viewBegin;
    const std::uint8_t* const outerEnd = t_viewEnd;
    const auto restore = [&] {
        t_recovery = outer;
        t_viewBegin = outerBegin;
        t_viewEnd = outerEnd;
    };
    sigjmp_buf recovery;
    // The saved mask matters: the handler runs with the signal blocked (and
    // sanitizer runtimes block it whatever the flags say), and leaving it by
    // siglongjmp must unblock it again, or the next fault kills the process.
    if (sigsetjmp(recovery, 1) != 0) {
        restore();
        errno = EIO;
        return false;
    }
    t_viewBegin = view.data();
    t_viewEnd = view.data() + view.size();
    t_recovery = &recovery;
    try {
        fn();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return true;
}

// ---- names in the file system ----------------------------------------------

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool NameTaken(const std::string& path) {
    struct stat st;
    return ::lstat(NativePath(path).c_str(), &st) == 0;
}

bool PlainWayDown(const std::string& dir, std::string_view relative) {
    for (std::size_t sep = relative.find_first_of("\\/"); sep != std::string_view::npos;
         sep = relative.find_first_of("\\/", sep + 1)) {
        struct stat st;
        if (::lstat(NativePath(dir + std::string(relative.substr(0, sep))).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> ListFileNames(const std::string& dir) {
    std::vector<std::string> names;
    const std::string native = NativePath(dir);
    DIR* handle = ::opendir(native.empty() ? "." : native.c_str());
    if (handle == nullptr) return names;
    while (const dirent* e = ::readdir(handle)) {
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = ::fstatat(::dirfd(handle), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (isDir) continue;
        // A name the list's code page can't spell is no name of ours.
        std::string ansi;
        if (codepage::Utf8ToCp1252(e->d_name, ansi) == codepage::TDecode::Ok) names.push_back(std::move(ansi));
    }
    ::closedir(handle);
    return names;
}

namespace {

void ForceNativeDirectories(std::string dir, const std::string& enginePath) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty()) {
        errno = ENOENT;
        RaiseLastError(enginePath);
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) ForceNativeDirectories(dir.substr(0, slash), enginePath);
    if (::mkdir(dir.c_str(), 0777) != 0) {
        // Someone else may have made it in the meantime.
        if (errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        RaiseLastError(enginePath);
    }
}

}  // namespace

void ForceDirectories(const std::string& path) { ForceNativeDirectories(NativePath(path), path); }

bool DeleteFile(const std::string& path) { return ::unlink(NativePath(path).c_str()) == 0; }

void ReplaceFile(const std::string& source, const std::string& target) {
    if (::rename(NativePath(source).c_str(), NativePath(target).c_str()) != 0) RaiseLastError(target);
}

bool RenameToNewName(const std::string& source, const std::string& target) {
    if (::renameat2(AT_FDCWD, NativePath(source).c_str(), AT_FDCWD, NativePath(target).c_str(), RENAME_NOREPLACE) ==
        0) {
        return true;
    }
    // EINVAL: a file system that can't rename without replacing.
    if (errno == EEXIST || errno == EINVAL || errno == ENOSYS) return false;
    RaiseLastError(target);
}

}  // namespace os
