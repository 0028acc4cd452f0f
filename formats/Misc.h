// Free routines shared by the run and the window: text replacement, starting
// a program from its own directory, and the self-replacement script.
#pragma once

#include <string>

// Replaces every occurrence of pattern, left to right, without overlaps and
// without searching replaced text again. An empty pattern never occurs.
std::string ReplaceAll(const std::string& source, const std::string& pattern, const std::string& replacement);

// Makes the command line's directory part (up to its last "\" or ":") the
// process's current directory, then starts the whole command line without
// waiting. Raises EInOutError, and starts nothing, when the directory can't
// be made current; a program that does not start is not reported.
void RunProgram(const std::string& commandLine);

// Writes Update.bat into the current directory: it ends the running updater
// named name, swaps in name + ".New" when that file exists, restarts the
// updater and deletes itself. Raises EInOutError when it can't be written.
void WriteUpdateScript(const std::string& name);
