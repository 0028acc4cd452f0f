#include "engine/steps/PendingEntry.h"

#include "engine/run/RunContext.h"
#include "formats/ListGrammar.h"

#include <optional>
#include <string>

TPendingEntry ParsePendingEntry(std::string_view line) {
    TPendingEntry pending;
    pending.path = line;
    std::optional<TListEntry> entry = SafeEntry(line);
    pending.safe = entry.has_value();
    if (!entry) entry = ParseEntry(line);
    if (!entry) {
        pending.problem = TFailure{TFault::BadList, 0, std::string(line), std::string(line)};
        return pending;
    }
    pending.path = entry->path;
    pending.digest = entry->digest;
    pending.sha256 = entry->sha256;
    const std::optional<std::int64_t> size = ParseSize(entry->size);
    pending.size = size.value_or(0);
    if (!pending.safe) {
        pending.problem = TFailure{TFault::UnsafeName, 0, std::string(entry->path), std::string(entry->path)};
    } else if (!size) {
        pending.problem = TFailure{TFault::BadList, 0, "'" + std::string(entry->size) + "' is not a valid size",
                                   std::string(entry->path)};
    }
    return pending;
}

std::vector<TPendingEntry> ParsePendingEntries(const TLineRefs& lines) {
    std::vector<TPendingEntry> entries;
    entries.reserve(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) entries.push_back(ParsePendingEntry(lines[i]));
    return entries;
}
