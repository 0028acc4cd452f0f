#include "formats/Names.h"

#include "platform/devicenames.h"

#include <cctype>

namespace {

bool IsControl(unsigned char b) {
    return b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

}  // namespace

char FoldNameByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') return static_cast<char>(b - 0x20);
    if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 0x20);
    switch (b) {
        case 0x9A: return static_cast<char>(0x8A);  // š
        case 0x9C: return static_cast<char>(0x8C);  // œ
        case 0x9E: return static_cast<char>(0x8E);  // ž
        case 0xFF: return static_cast<char>(0x9F);  // ÿ
        default: return static_cast<char>(b);
    }
}

std::string FoldCase(std::string_view cp1252) {
    std::string folded(cp1252);
    for (char& c : folded) c = FoldNameByte(c);
    return folded;
}

std::string PathKey(std::string_view path) {
    std::string key = FoldCase(path);
    for (char& c : key) {
        if (c == '/') c = '\\';
    }
    return key;
}

TNameProblem CheckComponent(std::string_view name) {
    if (name.empty()) return TNameProblem::Empty;
    for (char c : name) {
        if (IsControl(static_cast<unsigned char>(c))) return TNameProblem::ControlChar;
    }
    if (name.find('|') != std::string_view::npos) return TNameProblem::Bar;
    if (name.front() == ' ' || name.back() == ' ') return TNameProblem::Blank;
    if (name.find_first_of("<>:\"/\\?*") != std::string_view::npos) return TNameProblem::WindowsChar;
    if (name.back() == '.') return TNameProblem::TrailingDot;
    // The updater puts names into URLs unescaped.
    if (name.find_first_of("#%") != std::string_view::npos) return TNameProblem::UrlChar;
    if (os::IsDeviceName(name)) return TNameProblem::DeviceName;
    return TNameProblem::None;
}

TNameProblem CheckRelativePath(std::string_view path) {
    std::size_t start = 0;
    while (true) {
        const std::size_t sep = path.find_first_of("\\/", start);
        const std::string_view component = path.substr(start, sep == std::string_view::npos ? sep : sep - start);
        const TNameProblem problem = CheckComponent(component);
        if (problem != TNameProblem::None) return problem;
        if (sep == std::string_view::npos) return TNameProblem::None;
        start = sep + 1;
    }
}

bool IsSafeRelativePath(std::string_view path) { return CheckRelativePath(path) == TNameProblem::None; }

bool IsSafeSelfName(std::string_view name) {
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 || (!std::isalnum(b) && c != '.' && c != '-' && c != '_')) return false;
    }
    return CheckComponent(name) == TNameProblem::None;
}
