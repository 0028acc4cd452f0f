// The console of the tools on POSIX: a UTF-8 terminal.
#include "platform/os.h"

#include <cstdio>

#include <unistd.h>

namespace os {

bool EnterDirectory(const std::filesystem::path& dir) { return ::chdir(dir.c_str()) == 0; }

bool StandardErrorIsTerminal() { return ::isatty(fileno(stderr)) != 0; }

void SetConsoleToListCodePage() {}

std::string ConsoleText(const std::string& cp1252) { return codepage::Cp1252ToUtf8(cp1252); }

}  // namespace os
