#include "platform/os.h"
#include "platform/posix/paths.h"

#include <sys/statvfs.h>

namespace os {

std::optional<std::uint64_t> FreeSpace(const std::string& dir) {
    struct statvfs info {};
    if (::statvfs(posix::NativePath(dir).c_str(), &info) != 0) return std::nullopt;
    // The blocks left to unprivileged users, not those kept for root.
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

}  // namespace os
