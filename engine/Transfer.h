// The run's own transfers, outside the install loop: a file fetched into a
// new name (the list, its signature, the updater's new executable) and a
// copy decoded into a new file, each with its bar and the run's stop.
#pragma once

#include <string>

class TStream;
struct TRunContext;

// Fetches url into localPath, a name nothing stands at, within the bound
// set in the context; false when the server can't be reached (no file is
// made then). With reportProgress the file bar follows the bytes.
bool DownloadTo(TRunContext& run, const std::string& url, const std::string& localPath, bool reportProgress);

// Decodes sourcePath into targetPath (created new) through the context's
// check, removing the source in every case and a failed target.
void ExtractTo(TRunContext& run, const std::string& sourcePath, const std::string& targetPath);
void DecompressTo(TRunContext& run, TStream& source, TStream& target);
// The decoder's progress hook: the file bar at the compressed bytes taken.
void OnExtractProgress(TRunContext& run, void* sender);
