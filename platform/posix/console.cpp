// The console of the tools on POSIX: a UTF-8 terminal.
#include "platform/os.h"

#include <atomic>
#include <csignal>
#include <cstdio>

#include <signal.h>
#include <unistd.h>

namespace os {

bool EnterDirectory(const std::filesystem::path& dir) { return ::chdir(dir.c_str()) == 0; }

bool StandardErrorIsTerminal() { return ::isatty(fileno(stderr)) != 0; }

void SetConsoleToListCodePage() {}

std::string ConsoleText(const std::string& cp1252) { return codepage::Cp1252ToUtf8(cp1252); }

namespace {
std::atomic<void (*)()> g_onInterrupt{nullptr};
extern "C" void Interrupted(int) {
    if (auto* handler = g_onInterrupt.load()) handler();
}
}  // namespace

void OnConsoleInterrupt(void (*onInterrupt)()) {
    g_onInterrupt.store(onInterrupt);
    struct sigaction action {};
    action.sa_handler = &Interrupted;
    sigemptyset(&action.sa_mask);
    // Once: the next SIGINT has its default effect again.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace os
