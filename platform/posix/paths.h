// Path and text translation for the POSIX backend. The engine speaks
// Windows-1252 with "\" between directory names; the file system speaks
// UTF-8 with "/". The conversion happens here, at the seam, and nowhere else;
// the code page itself is platform/codepage.
#pragma once

#include <string>

namespace os::posix {

// An engine path as the file system names it: "\" becomes "/" and the code
// page becomes UTF-8.
std::string NativePath(const std::string& path);

}  // namespace os::posix
