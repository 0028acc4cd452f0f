// The current directory and starting programs on Windows, through the wide
// calls. The current directory comes back in the engine's Windows-1252 when
// it has a spelling there, else as the token that win32::WidePath expands
// (exactnames.h): the install directory may have any name.
#include "platform/os.h"
#include "platform/win32/exactnames.h"
#include "platform/win32/handle.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>

namespace os {

std::string GetCurrentDir() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (n == 0) return ".";
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        // Too small: n is the size needed, terminating NUL included.
        buffer.assign(n, L'\0');
    }
    std::string spelled;
    if (NativeToCp1252(std::filesystem::path(buffer), spelled) == codepage::TDecode::Ok) return spelled;
    return win32::DirectoryToken(buffer);
}

void SetCurrentDir(const std::string& path) {
    if (!::SetCurrentDirectoryW(win32::SystemPath(path).c_str())) {
        const int error = static_cast<int>(::GetLastError());
        RaiseError(error, win32::ShownPath(path));
    }
}

void StartProgram(const std::string& commandLine) {
    // A program in the install directory is named through its token, which
    // expands here like any path's.
    std::wstring line = win32::WidePath(commandLine);
    if (line.empty()) return;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_RESTORE;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return;
    }
    const auto close = [](HANDLE h) { ::CloseHandle(h); };
    const std::unique_ptr<void, decltype(close)> process(started.hProcess, close);
    const std::unique_ptr<void, decltype(close)> thread(started.hThread, close);
}

void StartCommandScript(const std::string& dir, const std::string& script) {
    // By its full path: a cmd.exe planted in the folder (or on PATH) is never
    // the one run. /d: no AutoRun commands of the registry's.
    std::wstring system(MAX_PATH, L'\0');
    const UINT n = ::GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
    if (n == 0 || n >= system.size()) return;
    system.resize(n);
    const std::wstring interpreter = system + L"\\cmd.exe";
    std::wstring line = L"\"" + interpreter + L"\" /d /c " + win32::WidePath(script);
    const std::wstring current = win32::WidePath(dir);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_RESTORE;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(interpreter.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, current.c_str(),
                          &startup, &started)) {
        return;
    }
    const win32::Handle process(started.hProcess);
    const win32::Handle thread(started.hThread);
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

void OpenAddress(const std::string& address) {
    ::ShellExecuteW(nullptr, nullptr, win32::WidePath(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

}  // namespace os
