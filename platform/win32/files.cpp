// Files on Windows through the wide calls: every engine path is converted
// once, by win32::SystemPath (exactnames.h), which also expands the install
// directory's token and gives long paths their "\\?\" form. Digests read
// large files through a mapped view, guarded so that a page that can't be
// read in fails the read instead of the process; small files are read into
// memory.
#include "platform/os.h"
#include "platform/win32/exactnames.h"
#include "platform/win32/handle.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

using os::win32::Handle;

// <windows.h> turns these into the A/W names; ours are the seam's own.
#undef DeleteFile
#undef ReplaceFile

namespace os {

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

DWORD ShareFlags(Share share) {
    switch (share) {
        case Share::None: return 0;
        case Share::Read: return FILE_SHARE_READ;
        case Share::ReadWrite: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
    return 0;
}

// One ReadFile or WriteFile moves at most this much; larger requests loop.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

// The error names the path as a message can spell it.
[[noreturn]] void Raise(DWORD code, const std::string& path) {
    RaiseError(static_cast<int>(code), win32::ShownPath(path));
}

[[noreturn]] void RaiseFor(const std::string& path) { Raise(::GetLastError(), path); }

// For a file another program may hold: the game's own files.
[[noreturn]] void RaiseHeldFor(const std::string& path) { RaiseFileError(static_cast<int>(::GetLastError()), path); }

std::wstring Wide(const std::string& path) { return win32::SystemPath(path); }


}  // namespace

// ---- File -----------------------------------------------------------------

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) ::CloseHandle(H(handle_));
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

File::~File() {
    if (handle_ != -1) ::CloseHandle(H(handle_));
}

File File::OpenRead(const std::string& path, Share share) {
    HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, ShareFlags(share), nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) RaiseHeldFor(path);
    File file;
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    return file;
}

File File::Create(const std::string& path, Share share) {
    HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(share), nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) RaiseHeldFor(path);
    File file;
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    return file;
}

File File::CreateNew(const std::string& path, Share share) {
    // CREATE_NEW fails on any existing name; the reparse-point flag keeps a
    // link at the name from being followed.
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (const std::wstring exact = win32::ExactNewName(path); !exact.empty()) {
        h = ::CreateFileW(exact.c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(share), nullptr, CREATE_NEW, kFlags,
                          nullptr);
        const DWORD error = ::GetLastError();
        if (h == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)) {
            Raise(error, path);
        }
        // Anything else (a directory named in another case...) tries the
        // ordinary way, which also gives the error to report.
    }
    if (h == INVALID_HANDLE_VALUE) {
        h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(share), nullptr, CREATE_NEW,
                          kFlags, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) RaiseFor(path);
    File file;
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    return file;
}

File File::OpenOwn(const std::string& path, Share share) {
    // The reparse-point flag opens a link itself, which is then refused, as
    // is a second name (hard link) of the same file.
    HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, ShareFlags(share), nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) RaiseFor(path);
    File file;
    file.handle_ = reinterpret_cast<std::intptr_t>(h);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) RaiseFor(path);
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) !=
            0 ||
        info.nNumberOfLinks != 1 || ::GetFileType(h) != FILE_TYPE_DISK) {
        throw EInOutError(TFault::AccessDenied, ERROR_ACCESS_DENIED,
                          win32::ShownPath(path) + ": not a plain file of our own");
    }
    return file;
}

std::size_t File::Read(void* buffer, std::size_t count) {
    DWORD got = 0;
    if (!::ReadFile(H(handle_), buffer, static_cast<DWORD>(std::min(count, kMaxTransfer)), &got, nullptr)) {
        RaiseLastError("read");
    }
    return got;
}

std::size_t File::Write(const void* buffer, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
        if (!::WriteFile(H(handle_), bytes + done, chunk, &put, nullptr)) {
            // Report what made it; the next call meets the error again.
            if (done > 0) break;
            RaiseLastError("write");
        }
        if (put == 0) break;
        done += put;
    }
    return done;
}

std::int64_t File::Seek(std::int64_t offset, SeekOrigin origin) {
    const DWORD method = origin == SeekOrigin::Begin     ? FILE_BEGIN
                         : origin == SeekOrigin::Current ? FILE_CURRENT
                                                         : FILE_END;
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    if (!::SetFilePointerEx(H(handle_), distance, &position, method)) RaiseLastError("seek");
    return position.QuadPart;
}

std::int64_t File::Size() {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(H(handle_), &size)) RaiseLastError("size");
    return size.QuadPart;
}

void File::Close() {
    if (handle_ == -1) return;
    if (!::CloseHandle(H(std::exchange(handle_, -1)))) RaiseLastError("close");
}

bool File::IsOpen() const { return handle_ != -1; }

// ---- mappings -------------------------------------------------------------

namespace {

// A view of a file mapping, unmapped by the destructor.
class MappedView {
public:
    explicit MappedView(const void* view) : view_(view) {}
    MappedView(MappedView&& other) noexcept : view_(std::exchange(other.view_, nullptr)) {}
    ~MappedView() {
        if (view_ != nullptr) ::UnmapViewOfFile(view_);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    MappedView& operator=(MappedView&&) = delete;
    const void* get() const { return view_; }

private:
    const void* view_;
};

class Win32Mapping final : public Mapping {
public:
    Win32Mapping(Handle file, Handle mapping, MappedView view, std::size_t size)
        : file_(std::move(file)), mapping_(std::move(mapping)), view_(std::move(view)) {
        data_ = {static_cast<const std::uint8_t*>(view_.get()), size};
    }
    void Discard(std::size_t offset) override {
        // Unlocking pages that aren't locked takes them out of the working set.
        const std::size_t length = std::min(offset, data_.size()) & ~std::size_t{0xFFFF};
        if (length > 0) ::VirtualUnlock(const_cast<void*>(view_.get()), length);
    }

private:
    // Released in reverse order: the view, the mapping, the file.
    Handle file_;
    Handle mapping_;
    MappedView view_;
};

// A small file read into memory instead. Under Wine a mapping costs six
// more server round trips than a read (the mapping, its information, the
// view, the unmap and a close), more than copying a small file's few pages.
class ReadView final : public Mapping {
public:
    explicit ReadView(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
        data_ = {bytes_.data(), bytes_.size()};
    }
    void Discard(std::size_t) override {}

private:
    std::vector<std::uint8_t> bytes_;
};

constexpr std::uint64_t kSmallFile = 1 << 20;

}  // namespace

namespace {

std::unique_ptr<Mapping> MapWide(const std::wstring& wide, const std::string& path) {
    Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) return nullptr;
    LARGE_INTEGER openSize;
    if (!::GetFileSizeEx(file.get(), &openSize) || openSize.QuadPart <= 0) return nullptr;
    if (static_cast<std::uint64_t>(openSize.QuadPart) < kSmallFile) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(openSize.QuadPart));
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD got = 0;
            if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr)) {
                RaiseFor(path);
            }
            if (got == 0) break;  // the file shrank meanwhile: what is there
            done += got;
        }
        bytes.resize(done);
        return std::make_unique<ReadView>(std::move(bytes));
    }
    // An empty file can't be mapped; this fails for it.
    Handle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.valid()) return nullptr;
    MappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (view.get() == nullptr) return nullptr;
    // The full 64-bit size, but never more than the view holds: the file
    // may have grown since the mapping took its length.
    LARGE_INTEGER fileSize;
    MEMORY_BASIC_INFORMATION region;
    if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart < 0 ||
        ::VirtualQuery(view.get(), &region, sizeof region) == 0) {
        return nullptr;
    }
    const auto size =
        std::min(static_cast<std::uint64_t>(fileSize.QuadPart), static_cast<std::uint64_t>(region.RegionSize));
    return std::make_unique<Win32Mapping>(std::move(file), std::move(mapping), std::move(view),
                                          static_cast<std::size_t>(size));
}

}  // namespace

std::unique_ptr<Mapping> MapFileReadOnly(const std::string& path) { return MapWide(Wide(path), path); }

std::unique_ptr<Mapping> MapNativeFileReadOnly(const std::filesystem::path& path) {
    const std::u8string name = path.u8string();
    return MapWide(path.native(), std::string(name.begin(), name.end()));
}

// ---- writable mappings --------------------------------------------------------

namespace {

class Win32WritableMapping final : public WritableMapping {
public:
    Win32WritableMapping(Handle mapping, void* view, std::size_t size) : mapping_(std::move(mapping)), view_(view) {
        data_ = {static_cast<std::uint8_t*>(view), size};
    }
    ~Win32WritableMapping() override { ::UnmapViewOfFile(view_); }
    Win32WritableMapping(const Win32WritableMapping&) = delete;
    Win32WritableMapping& operator=(const Win32WritableMapping&) = delete;
    void Discard(std::size_t offset) override {
        // As for a read-only view: out of the working set, still in the file.
        const std::size_t length = std::min(offset, data_.size()) & ~std::size_t{0xFFFF};
        if (length > 0) ::VirtualUnlock(view_, length);
    }

private:
    Handle mapping_;  // released after the view
    void* view_;
};

}  // namespace

std::unique_ptr<WritableMapping> MapFileWritable(File& file, std::uint64_t size) {
    if (size == 0 || size > SIZE_MAX) Raise(ERROR_INVALID_PARAMETER, "a writable mapping of " + std::to_string(size) + " bytes");
    HANDLE h = reinterpret_cast<HANDLE>(file.handle_);
    // The mapping extends the file to its size; NTFS allocates the clusters
    // then, so a full disk fails here rather than on a page of the view.
    Handle mapping(::CreateFileMappingW(h, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr));
    if (!mapping.valid()) Raise(::GetLastError(), "CreateFileMapping");
    void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size));
    if (view == nullptr) Raise(::GetLastError(), "MapViewOfFile");
    return std::make_unique<Win32WritableMapping>(std::move(mapping), view, static_cast<std::size_t>(size));
}

// ---- guarded reads ----------------------------------------------------------
//
// MinGW has no __try. A vectored handler sees the fault first; when the
// faulting thread is inside GuardedMappedRead it rewrites the thread's
// context so that execution continues in ResumeAfterFault, outside of any
// exception dispatch, which jumps back to the recovery point.

namespace {

// Per-thread state in plain TLS slots: TlsGetValue never allocates, which
// matters in a handler that may run for faults on any thread.
DWORD g_recoverySlot = TLS_OUT_OF_INDEXES;  // void*[5] of __builtin_setjmp
DWORD g_faultCodeSlot = TLS_OUT_OF_INDEXES;
DWORD g_viewSlot = TLS_OUT_OF_INDEXES;  // the std::span the guarded read may fault in

using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);
RtlNtStatusToDosErrorFn g_statusToError = nullptr;

[[noreturn]] __attribute__((noinline)) void ResumeAfterFault() {
    auto* buffer = static_cast<void**>(::TlsGetValue(g_recoverySlot));
    __builtin_longjmp(buffer, 1);
}

// Only a fault inside the guarded view is a read failure of ours; any other
// one is a bug and must crash as usual.
bool InGuardedView(const EXCEPTION_RECORD* record) {
    const auto* view = static_cast<const std::span<const std::uint8_t>*>(::TlsGetValue(g_viewSlot));
    if (view == nullptr || record->NumberParameters < 2) return false;
    const auto* address = reinterpret_cast<const std::uint8_t*>(record->ExceptionInformation[1]);
    return address >= view->data() && address < view->data() + view->size();
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    if (::TlsGetValue(g_recoverySlot) == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (!InGuardedView(record)) return EXCEPTION_CONTINUE_SEARCH;
    DWORD error;
    if (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) {
        // The third parameter holds the status of the failed page-in.
        error = ERROR_READ_FAULT;
        if (record->NumberParameters >= 3 && g_statusToError != nullptr) {
            const ULONG mapped = g_statusToError(static_cast<LONG>(record->ExceptionInformation[2]));
            if (mapped != 0 && mapped != ERROR_MR_MID_NOT_FOUND) error = mapped;
        }
    } else if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        error = ERROR_NOACCESS;
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ::TlsSetValue(g_faultCodeSlot, reinterpret_cast<void*>(static_cast<std::uintptr_t>(error)));
    CONTEXT* context = info->ContextRecord;
#if defined(__x86_64__)
    // Below the faulting frame, 16-byte aligned as after a call.
    const DWORD64 sp = (context->Rsp - 512) & ~DWORD64{15};
    context->Rsp = sp - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAfterFault);
#elif defined(__i386__)
    const DWORD sp = (context->Esp - 512) & ~DWORD{15};
    context->Esp = sp - 4;
    context->Eip = reinterpret_cast<DWORD>(&ResumeAfterFault);
#else
#error "GuardedMappedRead needs the instruction and stack pointer names of this processor"
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_recoverySlot = ::TlsAlloc();
        g_faultCodeSlot = ::TlsAlloc();
        g_viewSlot = ::TlsAlloc();
        if (HMODULE ntdll = ::GetModuleHandleA("ntdll.dll")) {
            g_statusToError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
                reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
        }
        ::AddVectoredExceptionHandler(1, OnException);
    });
}

// Kept out of line so that the jump buffer's frame is this function's own;
// the caller restores the outer recovery point on every way out.
__attribute__((noinline)) bool RunGuarded(const std::function<void()>& fn) {
    void* recovery[5];
    if (__builtin_setjmp(recovery) != 0) {
        ::SetLastError(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(::TlsGetValue(g_faultCodeSlot))));
        return false;
    }
    ::TlsSetValue(g_recoverySlot, recovery);
    fn();
    return true;
}

}  // namespace

bool GuardedMappedRead(std::span<const std::uint8_t> view, const std::function<void()>& fn) {
    InstallFaultHandler();
    if (g_recoverySlot == TLS_OUT_OF_INDEXES || g_faultCodeSlot == TLS_OUT_OF_INDEXES ||
        g_viewSlot == TLS_OUT_OF_INDEXES) {
        fn();
        return true;
    }
    void* const outer = ::TlsGetValue(g_recoverySlot);
    void* const outerView = ::TlsGetValue(g_viewSlot);
    const auto restore = [&] {
        ::TlsSetValue(g_recoverySlot, outer);
        ::TlsSetValue(g_viewSlot, outerView);
    };
    ::TlsSetValue(g_viewSlot, &view);
    bool ok;
    try {
        ok = RunGuarded(fn);
    } catch (...) {
        restore();
        throw;
    }
    const DWORD error = ::GetLastError();
    restore();
    ::SetLastError(error);
    return ok;
}

// ---- names in the file system ----------------------------------------------

namespace {

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()); }

}  // namespace

bool FileExists(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool NameTaken(const std::string& path) {
    // The attributes of a link are its own: nothing is followed.
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool PlainWayDown(const std::string& dir, std::string_view relative) {
    // A junction, a symbolic link and a mount point are all reparse points;
    // their attributes are their own (GetFileAttributes follows nothing).
    for (std::size_t sep = relative.find_first_of("\\/"); sep != std::string_view::npos;
         sep = relative.find_first_of("\\/", sep + 1)) {
        const DWORD attributes = Attributes(dir + std::string(relative.substr(0, sep)));
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> ListFileNames(const std::string& dir) {
    std::vector<std::string> names;
    std::string pattern = dir;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/' && pattern.back() != ':') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(Wide(pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        // A name without a Windows-1252 spelling is no list name nor one of
        // our temporaries: it is left out rather than misspelt.
        std::string name;
        if (NativeToCp1252(std::filesystem::path(found.cFileName), name) == codepage::TDecode::Ok) {
            names.push_back(std::move(name));
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

void ForceDirectories(const std::string& path) {
    std::string dir = path;
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    if (dir.empty()) Raise(ERROR_INVALID_NAME, path);
    if (DirectoryExists(dir)) return;
    // The install directory's token holds no separator: the walk up stops
    // at it as at any directory.
    const auto separator = dir.find_last_of("\\/");
    if (separator != std::string::npos && separator > 0) {
        const std::string parent = dir.substr(0, separator);
        // A drive ("C:") is not made, only what lies below it.
        if (parent.back() != ':') ForceDirectories(parent);
    }
    if (!::CreateDirectoryW(Wide(dir).c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        // Someone else may have made it in the meantime.
        if (error == ERROR_ALREADY_EXISTS && DirectoryExists(dir)) return;
        Raise(error, path);
    }
}

bool DeleteFile(const std::string& path) { return ::DeleteFileW(Wide(path).c_str()) != 0; }

namespace {

// The attributes SetFileAttributes takes; others it refuses or ignores.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_TEMPORARY;

DWORD Settable(DWORD attributes) {
    attributes &= kSettableAttributes;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

}  // namespace

void ReplaceFile(const std::string& source, const std::string& target) {
    const std::wstring from = Wide(source);
    const std::wstring to = Wide(target);
    // Windows refuses to rename over a read-only file (one copied from a
    // disc, or marked by an antivirus); the target is always a managed file,
    // so its mark goes, and comes back if the rename fails after all.
    const DWORD attributes = ::GetFileAttributesW(to.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES &&
                          (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY;
    const bool cleared = readOnly && ::SetFileAttributesW(to.c_str(), Settable(attributes & ~FILE_ATTRIBUTE_READONLY));
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return;
    const DWORD error = ::GetLastError();
    if (cleared) ::SetFileAttributesW(to.c_str(), Settable(attributes));
    RaiseFileError(static_cast<int>(error), target);
}

bool RenameToNewName(const std::string& source, const std::string& target) {
    const auto taken = [](DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; };
    const std::wstring from = Wide(source);
    if (const std::wstring exact = win32::ExactNewName(target); !exact.empty()) {
        if (::MoveFileExW(from.c_str(), exact.c_str(), 0)) return true;
        if (taken(::GetLastError())) return false;
    }
    if (::MoveFileExW(from.c_str(), Wide(target).c_str(), 0)) return true;
    const DWORD error = ::GetLastError();
    if (taken(error)) return false;
    Raise(error, target);
}

}  // namespace os
