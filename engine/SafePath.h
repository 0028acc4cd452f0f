// Which list paths the run may write to. Nothing is ever written outside the
// install directory, whatever the server publishes.
#pragma once

#include <string>

// A relative path below the install directory: not empty, no drive, stream
// name or leading separator, no "." or ".." component, no empty component,
// no reserved device name (CON, NUL, COM1...), no character that Windows
// refuses in a name, and no component ending in a dot or a blank (Windows
// would drop those and write to another name).
bool IsSafeRelativePath(const std::string& path);

// The updater's own entry: a bare file name of letters, digits, ".", "-" and
// "_", since the update script uses it unquoted.
bool IsSafeSelfName(const std::string& name);
