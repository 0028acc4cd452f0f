#include "tools/publish/Names.h"

#include "tools/publish/Text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

namespace publish {

namespace {

// Unicode code points of the bytes 0x80..0x9F in Windows-1252.
constexpr std::array<char32_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool EncodeCodePoint(char32_t cp, std::string& out) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        out.push_back(static_cast<char>(cp));
        return true;
    }
    for (std::size_t i = 0; i < kHighTable.size(); ++i) {
        if (kHighTable[i] == cp) {
            out.push_back(static_cast<char>(0x80 + i));
            return true;
        }
    }
    return false;
}

char32_t DecodeByte(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) return kHighTable[b - 0x80];
    return b;
}

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsControl(unsigned char b) {
    // C0, DEL, and the bytes Windows maps to C1 control characters.
    return b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 ||
           b == 0x9D;
}

char FoldByte(unsigned char b) {
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

std::string Quote(std::string_view cp1252Path) {
    std::string shown = Cp1252ToUtf8(cp1252Path);
    std::replace(shown.begin(), shown.end(), '\\', '/');
    return Cat("'", shown, "'");
}

}  // namespace

std::string Describe(NameProblem problem) {
    switch (problem) {
    case NameProblem::None: return "valid";
    case NameProblem::NotUtf8: return "the name is not valid UTF-8";
    case NameProblem::NotCp1252: return "the name can't be written in Windows-1252";
    case NameProblem::Empty: return "the name is empty";
    case NameProblem::ControlChar: return "the name holds a control character";
    case NameProblem::Bar: return "the name holds '|'";
    case NameProblem::Blank: return "the name begins or ends with a blank";
    case NameProblem::WindowsChar: return "the name holds one of < > : \" \\ / ? * (not allowed on Windows)";
    case NameProblem::TrailingDot: return "the name ends with '.' (dropped by Windows)";
    case NameProblem::DeviceName: return "the name is a Windows device name";
    }
    return "invalid name";
}

NameProblem Utf8ToCp1252(std::string_view utf8, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0;
        std::size_t len = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            cp = b0 & 0x1F;
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            cp = b0 & 0x0F;
            len = 3;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            cp = b0 & 0x07;
            len = 4;
        } else {
            return NameProblem::NotUtf8;
        }
        if (i + len > utf8.size()) return NameProblem::NotUtf8;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) return NameProblem::NotUtf8;
            cp = (cp << 6) | (b & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return NameProblem::NotUtf8;
        }
        if (!EncodeCodePoint(cp, out)) return NameProblem::NotCp1252;
        i += len;
    }
    return NameProblem::None;
}

std::string Cp1252ToUtf8(std::string_view cp1252) {
    std::string out;
    out.reserve(cp1252.size());
    for (char c : cp1252) AppendUtf8(DecodeByte(static_cast<unsigned char>(c)), out);
    return out;
}

NameProblem CheckComponent(std::string_view name) {
    if (name.empty()) return NameProblem::Empty;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (IsControl(b)) return NameProblem::ControlChar;
    }
    if (name.find('|') != std::string_view::npos) return NameProblem::Bar;
    if (name.front() == ' ' || name.back() == ' ') return NameProblem::Blank;
    if (name.find_first_of("<>:\"/\\?*") != std::string_view::npos) return NameProblem::WindowsChar;
    if (name.back() == '.') return NameProblem::TrailingDot;

    // CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with any extension.
    std::string stem = FoldCase(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const std::set<std::string> kDevices = {"CON", "PRN", "AUX", "NUL"};
    if (kDevices.count(stem) != 0) return NameProblem::DeviceName;
    if (stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) && stem[3] >= '1' &&
        stem[3] <= '9') {
        return NameProblem::DeviceName;
    }
    return NameProblem::None;
}

NameProblem EncodeArgument(const std::filesystem::path& text, std::string& out) {
#ifdef _WIN32
    out.clear();
    const std::wstring& wide = text.native();
    if (wide.empty()) return NameProblem::None;
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return NameProblem::NotCp1252;
    out.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, &usedDefault);
    return usedDefault ? NameProblem::NotCp1252 : NameProblem::None;
#else
    return Utf8ToCp1252(text.native(), out);
#endif
}

NameProblem EncodeComponent(const std::filesystem::path& name, std::string& out) {
    const NameProblem encoded = EncodeArgument(name, out);
    if (encoded != NameProblem::None) return encoded;
    return CheckComponent(out);
}

std::filesystem::path ServerPath(const std::filesystem::path& serverDir, std::string_view relative) {
    std::filesystem::path result = serverDir;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string_view part = relative.substr(start, end - start);
        if (!part.empty()) {
#ifdef _WIN32
            std::wstring wide(part.size(), L'\0');
            const int n = MultiByteToWideChar(1252, 0, part.data(), static_cast<int>(part.size()), wide.data(),
                                              static_cast<int>(wide.size()));
            wide.resize(static_cast<std::size_t>(std::max(n, 0)));
            result /= std::filesystem::path(wide);
#else
            result /= std::filesystem::path(std::string(part));
#endif
        }
        start = end + 1;
    }
    return result;
}

std::string Display(const std::filesystem::path& path) {
#ifdef _WIN32
    const std::wstring& wide = path.native();
    std::string raw;
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n > 0) {
        raw.resize(static_cast<std::size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), raw.data(), n, nullptr,
                            nullptr);
    }
#else
    const std::string& raw = path.native();
#endif
    std::string shown;
    static const char* kHex = "0123456789abcdef";
    for (char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            shown += "\\x";
            shown.push_back(kHex[b >> 4]);
            shown.push_back(kHex[b & 15]);
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

std::string FoldCase(std::string_view cp1252) {
    std::string folded(cp1252);
    for (char& c : folded) c = FoldByte(static_cast<unsigned char>(c));
    return folded;
}

std::vector<std::string> FindServerClashes(const std::vector<std::string>& listPaths) {
    std::vector<std::string> clashes;
    // Folded name -> original, for copies and for the directories that hold them.
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> dirs;
    files.emplace(FoldCase("files.lst"), "files.lst");
    files.emplace(FoldCase("files.lst.bz2"), "files.lst.bz2");

    for (const std::string& path : listPaths) {
        const std::string copy = path + ".bz2";
        const auto [it, inserted] = files.emplace(FoldCase(copy), copy);
        if (!inserted) {
            const std::string& other = it->second;
            if (other == "files.lst.bz2") {
                clashes.push_back(Cat(Quote(path), ": its copy would replace the list files.lst.bz2"));
            } else {
                clashes.push_back(
                    Cat(Quote(path), " and ", Quote(other.substr(0, other.size() - 4)), " differ only in letter case"));
            }
        }
        for (std::size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
            const std::string dir = path.substr(0, pos);
            dirs.emplace(FoldCase(dir), path);
        }
    }
    for (const auto& [folded, dirOwner] : dirs) {
        const auto it = files.find(folded);
        if (it == files.end()) continue;
        const std::string& copy = it->second;
        if (copy == "files.lst" || copy == "files.lst.bz2") {
            clashes.push_back(Cat(Quote(dirOwner), ": its directory takes the name of the list ", copy));
        } else {
            clashes.push_back(Cat(Quote(dirOwner), ": its directory has the name of the copy of ",
                                  Quote(copy.substr(0, copy.size() - 4))));
        }
    }
    return clashes;
}

}  // namespace publish
