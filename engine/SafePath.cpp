#include "engine/SafePath.h"

#include <array>
#include <cctype>
#include <string_view>

namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, with any
// extension too ("nul.txt").
bool IsReservedDeviceName(std::string_view component) {
    const std::string base = Upper(component.substr(0, component.find('.')));
    static constexpr std::array<std::string_view, 4> plain{"CON", "PRN", "AUX", "NUL"};
    for (auto name : plain) {
        if (base == name) return true;
    }
    if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '1' &&
        base[3] <= '9') {
        return true;
    }
    return false;
}

bool IsSafeComponent(std::string_view c) {
    if (c.empty() || c == "." || c == "..") return false;
    if (c.back() == '.' || c.back() == ' ') return false;
    for (unsigned char ch : c) {
        if (ch < 0x20 || ch == 0x7f) return false;
        switch (ch) {
            case '<': case '>': case '"': case '|': case '?': case '*': case ':':
                return false;
            default:
                break;
        }
    }
    return !IsReservedDeviceName(c);
}

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t sep = path.find_first_of("\\/", start);
        const std::string_view component =
            std::string_view(path).substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (!IsSafeComponent(component)) return false;
        if (sep == std::string::npos) return true;
        start = sep + 1;
    }
}

bool IsSafeSelfName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char ch : name) {
        if (!std::isalnum(ch) && ch != '.' && ch != '-' && ch != '_') return false;
        if (ch >= 0x80) return false;
    }
    return IsSafeComponent(name);
}
