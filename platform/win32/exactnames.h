// Engine paths as Windows names them: converted to UTF-16 once, here, and
// looked up exactly as given where the system can be asked to.
//
// The engine's paths are Windows-1252 bytes (InstallDir + list path), but an
// install directory may have any name Windows allows ("C:\Juegos\Łódź",
// a Cyrillic user name). So GetCurrentDir spells a directory that has no
// Windows-1252 spelling as a token: a 0x01 byte, its UTF-16 units as four
// hexadecimal digits each, and another 0x01. The token holds no separator,
// so the engine appends to it and walks up to it like any directory, and
// only a path that starts with it is expanded. Threat: a list name turned
// into a token could name a directory outside the install directory; list
// names never hold control bytes (formats/Names refuses them), so no list
// name can start or contain one.
#pragma once

#include <string>
#include <string_view>

namespace os::win32 {

// The token that stands for a directory in engine paths.
std::string DirectoryToken(std::wstring_view dir);

// An engine path in UTF-16: a leading token expanded, the rest decoded from
// Windows-1252. Empty for a malformed token.
std::wstring WidePath(std::string_view path);

// WidePath in the form the file calls get: a path too long for the plain
// form (MAX_PATH less room for a 8.3 name, the limit of CreateDirectory) is
// made absolute, without "." or ".." components, and prefixed with "\\?\".
std::wstring SystemPath(std::string_view path);

// A path for a message: the token replaced by the directory's closest
// Windows-1252 spelling; the message is text, never a name to open.
std::string ShownPath(std::string_view path);

// Under Wine, a name that doesn't exist is looked up by reading its whole
// directory (to find it in another case), which makes filling a directory
// of thousands of files quadratic. For a name we know to be new, the form
// returned here names the same file without that search: the directory as
// the host sees it, and the final name taken as given (case sensitive).
// Empty where that doesn't apply: not under Wine, a directory that can't be
// resolved, or a final name Windows would read differently from the host
// (a device name, trailing dots or spaces, reserved characters).
std::wstring ExactNewName(const std::string& path);

}  // namespace os::win32
