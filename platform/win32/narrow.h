// UTF-16 to Windows-1252, the code page of the engine's names and texts, by
// the system's table: the one narrowing of the Windows seam.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace os::win32 {

// The exact spelling, for a name that must name the same file again;
// nullopt when a character has none (no closest letter stands in).
std::optional<std::string> Exact1252(std::wstring_view wide);

// For text that is only read (a program's name, a directory in a message):
// a character without a spelling takes the closest one or "?".
std::string Shown1252(std::wstring_view wide);

}  // namespace os::win32
