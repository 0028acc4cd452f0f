#include "platform/win32/narrow.h"

#include <windows.h>

namespace os::win32 {

namespace {

// usedDefault: null to let characters without a spelling through.
std::string Narrow(std::wstring_view wide, DWORD flags, BOOL* usedDefault) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int n = ::WideCharToMultiByte(1252, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(1252, flags, wide.data(), size, out.data(), n, nullptr, usedDefault);
    return out;
}

}  // namespace

std::optional<std::string> Exact1252(std::wstring_view wide) {
    BOOL usedDefault = FALSE;
    std::string out = Narrow(wide, WC_NO_BEST_FIT_CHARS, &usedDefault);
    if (usedDefault || (out.empty() && !wide.empty())) return std::nullopt;
    return out;
}

std::string Shown1252(std::wstring_view wide) { return Narrow(wide, 0, nullptr); }

}  // namespace os::win32
