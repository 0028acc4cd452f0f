// Who holds a file. The Restart Manager answers exactly, but it is loaded
// at run time: rstrtmgr.dll may be missing, and Wine's only pretends (its
// RmGetList names nobody). Where it names nobody, the processes started
// from the install directory (current during a run) are named instead: the
// game the player left running is the usual holder of a game file.
#include "platform/os.h"
#include "platform/win32/exactnames.h"
#include "platform/win32/handle.h"
#include "platform/win32/narrow.h"

#include <windows.h>

#include <restartmanager.h>
#include <tlhelp32.h>

#include <vector>

using os::win32::Shown1252;

namespace os {

namespace {

using win32::Handle;

// A process that holds a file open.
struct THolder {
    std::string name;  // its executable's file name ("gc.exe"), in the list's code page
    std::uint32_t pid = 0;
};

class Library {
public:
    explicit Library(const wchar_t* name) : module_(::LoadLibraryW(name)) {}
    ~Library() {
        if (module_ != nullptr) ::FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    template <class Fn>
    Fn Get(const char* name) const {
        return module_ == nullptr ? nullptr
                                  : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

// The process's executable with its full path; empty when it can't be asked.
std::wstring ImagePath(DWORD pid) {
    Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) return {};
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) return {};
    path.resize(size);
    return path;
}

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The long form of a path, so that a short (8.3) spelling compares equal.
std::wstring LongForm(const std::wstring& path) {
    const DWORD n = ::GetLongPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring out(n, L'\0');
    const DWORD got = ::GetLongPathNameW(path.c_str(), out.data(), n);
    if (got == 0 || got >= n) return path;
    out.resize(got);
    return out;
}

std::vector<THolder> FromRestartManager(const std::wstring& file) {
    using StartFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
    using RegisterFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    using ListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
    using EndFn = DWORD(WINAPI*)(DWORD);
    const Library rm(L"rstrtmgr.dll");
    const auto start = rm.Get<StartFn>("RmStartSession");
    const auto registerFiles = rm.Get<RegisterFn>("RmRegisterResources");
    const auto list = rm.Get<ListFn>("RmGetList");
    const auto end = rm.Get<EndFn>("RmEndSession");
    if (start == nullptr || registerFiles == nullptr || list == nullptr || end == nullptr) return {};

    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (start(&session, 0, key) != ERROR_SUCCESS) return {};
    struct Ender {
        EndFn end;
        DWORD session;
        ~Ender() { end(session); }
    } ender{end, session};

    LPCWSTR files[] = {file.c_str()};
    if (registerFiles(session, 1, files, 0, nullptr, 0, nullptr) != ERROR_SUCCESS) return {};
    std::vector<RM_PROCESS_INFO> infos;
    DWORD status = ERROR_MORE_DATA;
    // The list may grow between the two calls; a few tries are enough.
    for (int attempt = 0; attempt < 4 && status == ERROR_MORE_DATA; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(infos.size());
        DWORD reasons = 0;
        status = list(session, &needed, &count, infos.empty() ? nullptr : infos.data(), &reasons);
        infos.resize(status == ERROR_MORE_DATA ? needed : count);
    }
    std::vector<THolder> holders;
    if (status != ERROR_SUCCESS) return holders;
    for (const RM_PROCESS_INFO& info : infos) {
        const DWORD pid = info.Process.dwProcessId;
        if (pid == ::GetCurrentProcessId()) continue;
        std::wstring name = FileNameOf(ImagePath(pid));
        if (name.empty()) name = info.strAppName;
        holders.push_back(THolder{Shown1252(name), pid});
    }
    return holders;
}

std::vector<THolder> StartedFrom(const std::wstring& installDir) {
    std::vector<THolder> holders;
    std::wstring dir = LongForm(installDir);
    if (dir.empty()) return holders;
    if (dir.back() != L'\\') dir += L'\\';
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return holders;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        const DWORD pid = entry.th32ProcessID;
        if (pid == 0 || pid == ::GetCurrentProcessId()) continue;
        const std::wstring image = LongForm(ImagePath(pid));
        if (image.size() <= dir.size()) continue;
        if (::CompareStringOrdinal(image.c_str(), static_cast<int>(dir.size()), dir.c_str(),
                                   static_cast<int>(dir.size()), TRUE) != CSTR_EQUAL) {
            continue;
        }
        holders.push_back(THolder{Shown1252(FileNameOf(image)), pid});
    }
    return holders;
}

// Whether another process has path open without letting it be deleted,
// which is what keeps a rename from replacing it: only then is an open
// for deletion that shares everything refused.
bool HeldOpen(const std::wstring& path) {
    const Handle file(::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !file.valid() && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// The directory the process runs in: the install's during a run.
std::wstring CurrentDirectory() {
    std::wstring dir(32768, L'\0');
    const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data());
    dir.resize(n < dir.size() ? n : 0);
    return dir;
}

}  // namespace

void RaiseFileError(int error, const std::string& path) {
    const std::string message = win32::ShownPath(path) + ": " + ErrorText(error);
    const TFault fault = FaultOfSystemError(error);
    if (fault != TFault::InUse && fault != TFault::AccessDenied) throw EInOutError(error, message);
    const std::wstring file = win32::WidePath(path);
    std::vector<THolder> holders = file.empty() ? std::vector<THolder>{} : FromRestartManager(file);
    // A running program (its image mapped) or an open file refuses a
    // replace as access denied; a file that merely may not be written is
    // neither held open nor named by the Restart Manager.
    if (fault == TFault::AccessDenied && holders.empty() && (file.empty() || !HeldOpen(file))) {
        throw EInOutError(error, message);
    }
    if (holders.empty()) holders = StartedFrom(CurrentDirectory());
    EInOutError held(TFault::InUse, error, message);
    if (!holders.empty()) {
        held.Holder = holders.front().name;
        held.HolderPid = holders.front().pid;
    }
    throw held;
}

}  // namespace os
