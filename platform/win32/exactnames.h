// Names looked up exactly as given, where the system can be asked to.
#pragma once

#include <string>
#include <string_view>

namespace os::win32 {

// Under Wine, a name that doesn't exist is looked up by reading its whole
// directory (to find it in another case), which makes filling a directory
// of thousands of files quadratic. For a name we know to be new, the form
// returned here names the same file without that search: the directory as
// the host sees it, and the final name taken as given (case sensitive).
// Empty where that doesn't apply: not under Wine, a directory that can't be
// resolved, or a final name Windows would read differently from the host
// (a device name, trailing dots or spaces, reserved characters).
std::wstring ExactNewName(const std::string& path);

// A byte path as the ANSI file calls read it (the ANSI code page); empty
// when it isn't valid there.
std::wstring WidePath(std::string_view path);

}  // namespace os::win32
