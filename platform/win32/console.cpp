// The console of the tools on Windows: switched to the list's code page, so
// list text is written as it is.
#include "platform/os.h"

#include <io.h>
#include <windows.h>

#include <atomic>

namespace os {

bool EnterDirectory(const std::filesystem::path& dir) { return ::SetCurrentDirectoryW(dir.c_str()) != 0; }

bool StandardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

void SetConsoleToListCodePage() { ::SetConsoleOutputCP(1252); }

std::string ConsoleText(const std::string& cp1252) { return cp1252; }

namespace {
std::atomic<void (*)()> g_onInterrupt{nullptr};
std::atomic<bool> g_interrupted{false};
BOOL WINAPI Interrupted(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    // The second press falls through to the default handler, which ends
    // the process.
    if (g_interrupted.exchange(true)) return FALSE;
    if (auto* handler = g_onInterrupt.load()) handler();
    return TRUE;
}
}  // namespace

void OnConsoleInterrupt(void (*onInterrupt)()) {
    g_onInterrupt.store(onInterrupt);
    SetConsoleCtrlHandler(&Interrupted, TRUE);
}

}  // namespace os
