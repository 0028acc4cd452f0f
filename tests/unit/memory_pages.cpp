#include "tests/unit/memory_pages.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace pages {

#ifdef _WIN32
bool MakeUnreadable(const std::uint8_t* address) {
    DWORD old = 0;
    return ::VirtualProtect(const_cast<std::uint8_t*>(address), 1, PAGE_NOACCESS, &old) != 0;
}

const volatile std::uint8_t* UnreadableAnonymousPage() {
    return static_cast<const volatile std::uint8_t*>(
        ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS));
}

void QuietCrashes() {
    ::SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { ::ExitProcess(3); });
}
#else
bool MakeUnreadable(const std::uint8_t* address) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~(page - 1));
    return ::mprotect(start, page, PROT_NONE) == 0;
}

const volatile std::uint8_t* UnreadableAnonymousPage() {
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<const volatile std::uint8_t*>(page);
}

void QuietCrashes() {}
#endif

}  // namespace pages
