#include "platform/win32/exactnames.h"

#include "platform/devicenames.h"
#include "platform/os.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string_view>

namespace os::win32 {

namespace {

using UnixNameOf = char*(__cdecl*)(const wchar_t*);

// Wine's own export, absent on Windows.
UnixNameOf WineUnixNameOf() {
    static const auto fn = reinterpret_cast<UnixNameOf>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    return fn;
}

std::wstring Widen(std::string_view bytes, UINT codePage) {
    if (bytes.empty()) return {};
    const int n =
        ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
    return wide;
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

std::wstring ExactNewName(const std::string& path) {
    const UnixNameOf unixNameOf = WineUnixNameOf();
    if (!unixNameOf) return {};
    // Only a path on a drive ("C:\..."): other forms keep their own rules.
    const auto letter = static_cast<unsigned char>(path.empty() ? 0 : path[0]);
    if (path.size() < 4 || !std::isalpha(letter) || path[1] != ':' || (path[2] != '\\' && path[2] != '/')) return {};
    const std::size_t slash = path.find_last_of("\\/");
    const std::wstring name = WidePath(std::string_view(path).substr(slash + 1));
    const std::wstring dir = WidePath(std::string_view(path).substr(0, slash == 2 ? 3 : slash));
    if (!IsPlainName(name) || dir.empty()) return {};
    // The directory exists: resolving it is one lookup of an existing name.
    const std::unique_ptr<char, void (*)(char*)> unixDir(unixNameOf(dir.c_str()), [](char* p) {
        if (p) ::HeapFree(::GetProcessHeap(), 0, p);
    });
    if (!unixDir || unixDir.get()[0] != '/') return {};
    // Host names are UTF-8 here; anything else keeps the ordinary lookup.
    std::wstring exact = L"\\\\?\\unix" + Widen(unixDir.get(), CP_UTF8);
    if (exact.size() == 8) return {};
    std::replace(exact.begin(), exact.end(), L'/', L'\\');
    if (exact.back() != L'\\') exact += L'\\';
    return exact + name;
}

std::wstring WidePath(std::string_view path) { return Widen(path, CP_ACP); }

}  // namespace os::win32
