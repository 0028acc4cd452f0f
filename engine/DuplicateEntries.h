// Entries that name a file an earlier entry of the list already names:
// Pod\x and pod\x are one file on the players' disks, so the second is a
// duplicate, neither checked nor installed.
// Found once for the whole list from the hashes of the claimed names, so a
// list of a million names is not copied into a set of strings: only the
// entries whose hash repeats (real duplicates, or a rare collision) are
// compared by their folded names.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class TDuplicateEntries {
public:
    // repeated: the hashes (TTempNames::Hash) claimed more than once, sorted.
    explicit TDuplicateEntries(std::vector<std::uint64_t> repeated = {});

    // Takes up the entries in the order the run takes them up; line is the
    // entry's line (a view into the list's text), path its path.
    void Take(std::string_view line, std::string_view path);
    // Call once every entry was taken up; frees the names compared.
    void Seal();

    // Whether the line (the same view of the list's text) repeats an
    // earlier entry's file.
    bool Contains(std::string_view line) const;

private:
    std::vector<std::uint64_t> repeated_;
    std::set<std::string> seen_;      // folded names of entries with a repeated hash
    std::vector<const char*> lines_;  // the duplicates' lines, by address
};
