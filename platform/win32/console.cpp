// The console of the tools on Windows: switched to the list's code page, so
// list text is written as it is.
#include "platform/os.h"

#include <io.h>
#include <windows.h>

namespace os {

bool EnterDirectory(const std::filesystem::path& dir) { return ::SetCurrentDirectoryW(dir.c_str()) != 0; }

bool StandardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

void SetConsoleToListCodePage() { ::SetConsoleOutputCP(1252); }

std::string ConsoleText(const std::string& cp1252) { return cp1252; }

}  // namespace os
