// Which names Windows opens as a device instead of a file: the one rule the
// list's names (formats/Names) and the Windows seam's exact new names
// (win32/exactnames) both apply. Portable, so the publisher and the native
// build refuse the same names a Windows install would misread.
#pragma once

#include <string_view>

namespace os {

// True for a path component (Windows-1252 bytes) that Windows opens as a
// device, in every spelling it resolves: any case, any extension, blanks
// before the extension ("NUL .txt"), the superscript digits ("COM\xB9",
// "LPT\xB2"), CONIN$ and CONOUT$.
bool IsDeviceName(std::string_view cp1252Component);

}  // namespace os
