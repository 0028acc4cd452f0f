// Which names an entry of the list may carry: the one rule set the update run
// and the publisher share, so the publisher never writes a name the run then
// refuses. Names are Windows-1252 bytes, "\" (or "/") between components.
// Threat: a list naming a path that leaves the install directory, opens a
// device, or lands on another name than the one it says.
#pragma once

#include <string>
#include <string_view>

// Why a name can't be in a list; None when it can.
enum class TNameProblem {
    None,
    NotUtf8,      // (publisher) the client tree's names are read as UTF-8
    NotCp1252,    // (publisher) no Windows-1252 byte for one of its characters
    Empty,        // also what an absolute path or a doubled separator leaves
    ControlChar,  // C0, DEL, and the bytes Windows maps to C1 controls
    Bar,          // "|" separates the list's fields
    Blank,        // leading or trailing blank: the list reader trims lines, Windows drops trailing ones
    WindowsChar,  // < > : " / \ ? * (drives and streams included) can't be in a Windows name
    TrailingDot,  // Windows drops it and writes another name; "." and ".." too
    DeviceName,   // CON, NUL, COM1, ... open a device on Windows (os::IsDeviceName)
    UrlChar,      // "#" ends a URL's path and "%" starts an escape: the copy couldn't be fetched
};

// Checks one component.
TNameProblem CheckComponent(std::string_view name);

// Checks every component of a relative path; an absolute path, a drive or a
// leading, trailing or doubled separator gives an empty component or ":".
TNameProblem CheckRelativePath(std::string_view path);

// A path the run may write below the install directory.
bool IsSafeRelativePath(std::string_view path);

// The updater's own entry: a bare name of letters, digits, ".", "-" and "_",
// since the update script uses it unquoted, as a file and as a process image.
bool IsSafeSelfName(std::string_view name);

// A Windows-1252 byte upper-cased as Windows compares file names.
char FoldNameByte(char c);
// Windows-1252 text upper-cased as Windows compares file names.
std::string FoldCase(std::string_view cp1252);

// The key under which two list paths name the same file on a disk that
// ignores case: folded, with "\" between components.
std::string PathKey(std::string_view path);
