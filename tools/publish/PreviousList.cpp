#include "tools/publish/PreviousList.h"

#include "formats/ListGrammar.h"

#include <algorithm>

namespace publish {

namespace {

bool IsDigest(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::map<std::string, PreviousEntry> ReadPreviousList(std::string_view text) {
    std::map<std::string, PreviousEntry> entries;
    ForEachListLine(ListText(text), [&](std::string_view line) {
        const auto entry = ParseEntry(line);
        if (!entry || !IsDigest(entry->digest)) return;
        entries.emplace(std::string(entry->path),
                        PreviousEntry{std::string(entry->digest), ParseSize(entry->size).value_or(-1)});
    });
    return entries;
}

}  // namespace publish
