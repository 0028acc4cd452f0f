#include "platform/win32/exactnames.h"

#include "platform/devicenames.h"
#include "platform/os.h"
#include "platform/win32/narrow.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace os::win32 {

namespace {

constexpr char kTokenMark = '\x01';
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The shortest limit among the file calls (CreateDirectory's): longer
// paths get the "\\?\" form.
constexpr std::size_t kLongPath = MAX_PATH - 12;

using UnixNameOf = char*(__cdecl*)(const wchar_t*);

// Wine's own export, absent on Windows.
UnixNameOf WineUnixNameOf() {
    static const auto fn = reinterpret_cast<UnixNameOf>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    return fn;
}

std::wstring Widen(std::string_view bytes, UINT codePage, DWORD flags) {
    if (bytes.empty()) return {};
    const int n = ::MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
    return wide;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The directory a leading token stands for, and the length of the token;
// a length of 0 when the path doesn't start with one, npos when it is
// malformed.
std::size_t ParseToken(std::string_view path, std::wstring& dir) {
    dir.clear();
    if (path.empty() || path[0] != kTokenMark) return 0;
    const std::size_t end = path.find(kTokenMark, 1);
    if (end == std::string_view::npos || end == 1 || (end - 1) % 4 != 0) return std::string_view::npos;
    for (std::size_t i = 1; i < end; i += 4) {
        unsigned unit = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int digit = HexValue(path[i + k]);
            if (digit < 0) return std::string_view::npos;
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        dir.push_back(static_cast<wchar_t>(unit));
    }
    return end + 1;
}

// Decided on the name's Windows-1252 spelling, by the rule the list's names
// follow; a name without one can't be a device name, since every device
// name has one.
bool OpensADevice(std::wstring_view name) {
    std::string cp1252;
    return os::NativeToCp1252(std::filesystem::path(name), cp1252) == codepage::TDecode::Ok && os::IsDeviceName(cp1252);
}

// A final name the host takes as Windows would.
bool IsPlainName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
    }
    return !OpensADevice(name);
}

}  // namespace

std::string DirectoryToken(std::wstring_view dir) {
    std::string token(1, kTokenMark);
    for (const wchar_t unit : dir) {
        const auto value = static_cast<unsigned>(static_cast<std::uint16_t>(unit));
        for (int shift = 12; shift >= 0; shift -= 4) token += kHexDigits[(value >> shift) & 0xF];
    }
    return token + kTokenMark;
}

std::wstring WidePath(std::string_view path) {
    std::wstring dir;
    const std::size_t token = ParseToken(path, dir);
    if (token == std::string_view::npos) return {};
    // Every Windows-1252 byte has a character (the undefined five stand for
    // the C1 controls), so the rest always converts.
    return dir + Widen(path.substr(token), 1252, 0);
}

std::wstring SystemPath(std::string_view path) {
    std::wstring wide = WidePath(path);
    if (wide.size() < kLongPath || wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    // GetFullPathNameW isn't bound by MAX_PATH; it resolves "." and "..",
    // turns "/" into "\" and drops trailing dots and spaces, as the plain
    // form would have been read.
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return wide;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.assign(n, L'\0');
    }
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string ShownPath(std::string_view path) {
    std::wstring dir;
    const std::size_t token = ParseToken(path, dir);
    if (token == 0 || token == std::string_view::npos) return std::string(path);
    return Shown1252(dir) + std::string(path.substr(token));
}

std::wstring ExactNewName(const std::string& path) {
    const UnixNameOf unixNameOf = WineUnixNameOf();
    if (!unixNameOf) return {};
    const std::wstring wide = SystemPath(path);
    // Only a path on a drive ("C:\...", or its long form): other forms keep
    // their own rules.
    const std::size_t start = wide.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
    const std::wstring_view drive = std::wstring_view(wide).substr(start);
    if (drive.size() < 4 || drive[0] > 0x7F || !std::isalpha(static_cast<unsigned char>(drive[0])) ||
        drive[1] != L':' || (drive[2] != L'\\' && drive[2] != L'/')) {
        return {};
    }
    const std::size_t slash = wide.find_last_of(L"\\/");
    const std::wstring name = wide.substr(slash + 1);
    const std::wstring dir = wide.substr(0, slash == start + 2 ? slash + 1 : slash);
    if (!IsPlainName(name)) return {};
    // The directory exists: resolving it is one lookup of an existing name.
    const std::unique_ptr<char, void (*)(char*)> unixDir(unixNameOf(dir.c_str()), [](char* p) {
        if (p) ::HeapFree(::GetProcessHeap(), 0, p);
    });
    if (!unixDir || unixDir.get()[0] != '/') return {};
    // Host names are UTF-8 here; anything else keeps the ordinary lookup.
    std::wstring exact = L"\\\\?\\unix" + Widen(unixDir.get(), CP_UTF8, MB_ERR_INVALID_CHARS);
    if (exact.size() == 8) return {};
    std::replace(exact.begin(), exact.end(), L'/', L'\\');
    if (exact.back() != L'\\') exact += L'\\';
    return exact + name;
}

}  // namespace os::win32
