#include "platform/devicenames.h"

#include <array>

namespace os {

namespace {

// Only ASCII letters need folding: every device name is ASCII but for the
// superscript digits, which have no case, and no other Windows-1252 letter
// folds to an ASCII one.
char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsFolded(std::string_view stem, std::string_view device) {
    if (stem.size() != device.size()) return false;
    for (std::size_t i = 0; i < stem.size(); ++i) {
        if (FoldAscii(stem[i]) != device[i]) return false;
    }
    return true;
}

// The digits Windows accepts after COM and LPT: 0-9 and superscript 1, 2, 3.
bool IsDeviceDigit(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || b == 0xB9 || b == 0xB2 || b == 0xB3;
}

}  // namespace

bool IsDeviceName(std::string_view cp1252Component) {
    // Windows looks at the part before the first dot, blanks at its end dropped.
    std::string_view stem = cp1252Component.substr(0, cp1252Component.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> kPlain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : kPlain) {
        if (EqualsFolded(stem, device)) return true;
    }
    return stem.size() == 4 && (EqualsFolded(stem.substr(0, 3), "COM") || EqualsFolded(stem.substr(0, 3), "LPT")) &&
           IsDeviceDigit(stem[3]);
}

}  // namespace os
