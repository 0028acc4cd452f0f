// Self-replacement: a newer published updater is fetched as <name>.New,
// verified, and swapped in by Update.bat, which ends the running program
// and starts the new one. A tool that is not the updater installs its entry
// like any other file instead.
#pragma once

#include <string>

struct TRunContext;

// Takes up the [self] entry's line (empty: none).
void ReplaceSelf(TRunContext& run, const std::string& entryLine);

// Makes the command line's directory part (up to its last "\" or ":") the
// process's current directory, then starts the whole command line without
// waiting. Raises EInOutError, and starts nothing, when the directory can't
// be made current; a program that does not start is not reported.
void RunProgram(const std::string& commandLine);

// Writes Update.bat into the current directory: it ends this process (by its
// id: other installs' updaters of the same name go on), swaps in name + ".New" when that file exists, restarts the
// updater and deletes itself. Raises EInOutError when it can't be written.
void WriteUpdateScript(const std::string& name);
