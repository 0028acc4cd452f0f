// The run's own transfers, outside the install loop: a file fetched into a
// new name (the list, its signature, the updater's new executable) and a
// copy decoded into a new file, each with its bar and the run's stop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class TCopyCheck;
class TStream;
struct TRunContext;

// How one of the run's own files is fetched. Threat: a server (or whoever
// answers for it) streaming without end; every fetch has its bound before
// its first byte, and no more than limit bytes reach the file.
struct TDownload {
    std::uint64_t limit = 0;
    // The file bar follows the bytes.
    bool reportProgress = false;
    // Caches are asked to check with the server (what is replaced under
    // its name on each publication).
    bool revalidate = false;
};

// Fetches url into localPath, a name nothing stands at. The answer's status
// once the body is stored whole; nullopt when the server can't be reached
// (no file is made then; the session's OpenFailure says why).
std::optional<int> DownloadTo(TRunContext& run, const std::string& url, const std::string& localPath,
                              const TDownload& how);

// The one way a file the list names (a copy, the updater's executable, a
// patch) is fetched outside the install loop: from the run's servers in
// turn (engine/fetch/Servers), the one that gave the list first. attempt fetches
// and verifies url, raising on failure or returning false when no answer
// came; moved tells that an earlier server was asked already, so nothing
// it left is continued. True once an attempt succeeded; false when no
// server answered at all; raises the first server's failure otherwise.
bool FetchFromServers(TRunContext& run, const std::string& listPath, const std::string& digest,
                      const std::function<bool(const std::string& url, bool moved)>& attempt);

// Decodes sourcePath into targetPath (created new) through check, removing
// the source in every case and a failed target. serverStatus is the status
// the source came with: an error page that doesn't decode is named by it.
void ExtractTo(TRunContext& run, const std::string& sourcePath, const std::string& targetPath, TCopyCheck& check,
               int serverStatus = 0);
void DecompressTo(TRunContext& run, TStream& source, TStream& target, TCopyCheck& check, int serverStatus = 0);
// The decoder's progress hook: the file bar at the compressed bytes taken.
void OnExtractProgress(TRunContext& run, void* sender);
