// Path and text translation for the POSIX backend. The engine speaks
// Windows-1252 with "\" between directory names; the file system speaks
// UTF-8 with "/". The conversion happens here, at the seam, and nowhere else.
#pragma once

#include <string>

namespace os::posix {

// Windows-1252 text to UTF-8. Every byte has a code point (the five bytes
// that Windows-1252 leaves undefined map to the C1 controls, as Windows
// itself maps them), so the conversion never fails and is reversible.
std::string AnsiToUtf8(const std::string& ansi);

// UTF-8 to Windows-1252; false when the text is not valid UTF-8 or holds a
// character that Windows-1252 cannot represent.
bool Utf8ToAnsi(const std::string& utf8, std::string& ansi);

// An engine path as the file system names it: "\" becomes "/" and the code
// page becomes UTF-8.
std::string NativePath(const std::string& path);

}  // namespace os::posix
