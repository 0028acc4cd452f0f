#include "platform/os.h"
#include "platform/win32/exactnames.h"

#include <windows.h>

namespace os {

std::optional<std::uint64_t> FreeSpace(const std::string& dir) {
    const std::wstring wide = win32::WidePath(dir);
    if (wide.empty()) return std::nullopt;
    // The caller's share: a quota may leave less than the volume has free.
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return static_cast<std::uint64_t>(available.QuadPart);
}

}  // namespace os
