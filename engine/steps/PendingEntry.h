// An entry of the install, parsed once from its list line: the install, its
// sizes and space check, the fetches, the problem report and the entry's
// end all read this value, never the line again.
#pragma once

#include "formats/LineRefs.h"
#include "platform/errors.h"

#include <cstdint>
#include <string_view>
#include <vector>

// Its views refer into the line, which PendingFiles holds until the install ends.
struct TPendingEntry {
    std::string_view path;  // the whole line when it doesn't parse
    std::string_view digest;
    std::string_view sha256;  // empty when the list gives none
    std::int64_t size = 0;    // 0 when it isn't a valid size
    bool safe = false;        // parsed, and names a file below the install directory
    // Why it fails before any request: its line, its name or its size; None
    // for an entry to install.
    TFailure problem;
};

TPendingEntry ParsePendingEntry(std::string_view line);
std::vector<TPendingEntry> ParsePendingEntries(const TLineRefs& lines);
