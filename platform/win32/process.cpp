#include "platform/os.h"

#include <windows.h>
#include <shellapi.h>

namespace os {

std::string GetCurrentDir() {
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (n == 0) return ".";
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        // Too small: n is the size needed, terminating NUL included.
        buffer.assign(n, '\0');
    }
}

void SetCurrentDir(const std::string& path) {
    if (!::SetCurrentDirectoryA(path.c_str())) RaiseLastError(path);
}

void StartProgram(const std::string& commandLine) { ::WinExec(commandLine.c_str(), SW_RESTORE); }

void OpenAddress(const std::string& address) {
    ::ShellExecuteA(nullptr, nullptr, address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace os
