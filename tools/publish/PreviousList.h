// What a previous publication's list tells us: which copies are ours.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace publish {

struct PreviousEntry {
    std::string digest;
    std::int64_t size = -1;  // -1 when the size field is not a number
};

// The entries of every section of a list we wrote before, by path, read
// with the list's grammar. Lines that are not entries with a well-formed
// digest are skipped, so a damaged list only costs recompression.
std::map<std::string, PreviousEntry> ReadPreviousList(std::string_view text);

}  // namespace publish
