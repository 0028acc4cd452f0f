#include "platform/posix/paths.h"

#include "platform/codepage.h"

namespace os::posix {

std::string NativePath(const std::string& path) {
    std::string out = codepage::Cp1252ToUtf8(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

}  // namespace os::posix
