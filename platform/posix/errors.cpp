#include "platform/os.h"

#include <cerrno>
#include <cstring>

namespace os {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* PickText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* PickText(int rc, const char* buffer) { return rc == 0 ? buffer : nullptr; }

}  // namespace

int LastErrorCode() { return errno; }

std::string SystemMessage(int code) {
    char buffer[256] = {};
    const char* text = PickText(strerror_r(code, buffer, sizeof buffer), buffer);
    return text == nullptr ? std::string{} : std::string(text);
}

std::string ErrorText(int code) {
    std::string text = SystemMessage(code);
    if (text.empty()) return "error " + std::to_string(code);
    return text;
}

// POSIX never locks a file: no program is named.
void RaiseFileError(int code, const std::string& path) { RaiseError(code, path); }

}  // namespace os

TFault FaultOfSystemError(int code) {
    switch (code) {
        case 0: return TFault::Other;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return TFault::DiskFull;
        case EACCES:
        case EPERM:
        case EROFS: return TFault::AccessDenied;
        case ETXTBSY:
        case EBUSY: return TFault::InUse;
        case ENOENT:
        case ENOTDIR: return TFault::NotFound;
        case ENAMETOOLONG: return TFault::PathTooLong;
        case EEXIST: return TFault::NameTaken;
        default: return TFault::Other;
    }
}
