// The run's own transfers, outside the install loop: a file fetched into a
// new name (the list, its signature, the updater's new executable) and a
// copy decoded into a new file, each with its bar and the run's stop.
#pragma once

#include <functional>
#include <string>

class TStream;
struct TRunContext;

// Fetches url into localPath, a name nothing stands at, within the bound
// set in the context; false when the server can't be reached (no file is
// made then; the session's OpenFailure says why). With reportProgress the
// file bar follows the bytes; with revalidate, caches are asked to check
// with the server (what is replaced under its name on each publication).
bool DownloadTo(TRunContext& run, const std::string& url, const std::string& localPath, bool reportProgress,
                bool revalidate = false);

// The one way a file the list names (a copy, the updater's executable, a
// patch) is fetched outside the install loop: from the run's servers in
// turn (engine/fetch/Servers), the one that gave the list first. attempt fetches
// and verifies url, raising on failure or returning false when no answer
// came; moved tells that an earlier server was asked already, so nothing
// it left is continued. True once an attempt succeeded; false when no
// server answered at all; raises the first server's failure otherwise.
bool FetchFromServers(TRunContext& run, const std::string& listPath, const std::string& digest,
                      const std::function<bool(const std::string& url, bool moved)>& attempt);

// Decodes sourcePath into targetPath (created new) through the context's
// check, removing the source in every case and a failed target.
void ExtractTo(TRunContext& run, const std::string& sourcePath, const std::string& targetPath);
void DecompressTo(TRunContext& run, TStream& source, TStream& target);
// The decoder's progress hook: the file bar at the compressed bytes taken.
void OnExtractProgress(TRunContext& run, void* sender);
