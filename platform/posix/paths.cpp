#include "platform/posix/paths.h"

#include "platform/codepage.h"

#include <utility>

namespace os::posix {

std::string AnsiToUtf8(const std::string& ansi) { return codepage::Cp1252ToUtf8(ansi); }

bool Utf8ToAnsi(const std::string& utf8, std::string& ansi) {
    std::string out;
    if (codepage::Utf8ToCp1252(utf8, out) != codepage::TDecode::Ok) return false;
    ansi = std::move(out);
    return true;
}

std::string NativePath(const std::string& path) {
    std::string out = AnsiToUtf8(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

}  // namespace os::posix
