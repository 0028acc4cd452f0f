// Windows-1252, the code page of the file list and of every text the
// updater shows, to and from UTF-8, the encoding of Linux file names and
// terminals. Portable: used by the POSIX seam and by the tools.
#pragma once

#include <string>
#include <string_view>

namespace codepage {

// Every Windows-1252 byte has a code point (the five bytes the code page
// leaves undefined stand for the C1 controls, as Windows maps them), so
// this never fails and round-trips.
std::string Cp1252ToUtf8(std::string_view cp1252);

enum class TDecode { Ok, NotUtf8, NotCp1252 };
// UTF-8 to Windows-1252. NotUtf8 for malformed, overlong or surrogate
// sequences; NotCp1252 for a character the code page can't hold. The
// output is complete only with Ok.
TDecode Utf8ToCp1252(std::string_view utf8, std::string& out);

}  // namespace codepage
