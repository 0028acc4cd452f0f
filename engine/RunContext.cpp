#include "engine/RunContext.h"

#include "formats/Names.h"

os::HttpSession& TRunContext::Http() {
    if (!http) http.emplace(kAgent);
    return *http;
}

std::optional<TListEntry> SafeEntry(std::string_view line) {
    auto entry = ParseEntry(line);
    if (entry && !IsSafeRelativePath(entry->path)) entry.reset();
    return entry;
}
