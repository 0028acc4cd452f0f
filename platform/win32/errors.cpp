#include "platform/os.h"

#include <windows.h>

namespace os {

int LastErrorCode() { return static_cast<int>(::GetLastError()); }

std::string SystemMessage(int code) {
    char* text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n != 0 && text != nullptr ? std::string(text, n) : std::string{};
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
}

std::string ErrorText(int code) {
    std::string result = SystemMessage(code);
    // System texts end in ".\r\n"; the message adds its own punctuation.
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    if (result.empty()) result = "error " + std::to_string(code);
    return result;
}

}  // namespace os

TFault FaultOfSystemError(int code) {
    switch (static_cast<DWORD>(code)) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return TFault::DiskFull;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT: return TFault::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE: return TFault::InUse;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return TFault::NotFound;
        case ERROR_FILENAME_EXCED_RANGE: return TFault::PathTooLong;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return TFault::NameTaken;
        default: return TFault::Other;
    }
}
