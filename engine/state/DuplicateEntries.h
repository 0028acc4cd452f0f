// Entries that name a file an earlier entry of the list already names.
// Pod\x and pod\x are one file on the players' disks: the list asks for two
// files the disk can't hold apart, so the later one is a failed entry,
// neither checked nor installed. The same entry listed again (the same path
// byte for byte, the same contents) asks for nothing new: it is skipped
// quietly.
// Found once for the whole list from the hashes of the claimed names, so a
// list of a million names is not copied into a set of strings: only the
// entries whose hash repeats (real duplicates, or a rare collision) are
// compared by their folded names.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class TDuplicateEntries {
public:
    // How an entry relates to the earlier entries of its file.
    enum class TRepeat {
        None,      // the first entry of its file
        Same,      // the first one's path, digest, size and SHA-256 again: skipped quietly
        Conflict,  // another spelling, or other contents, of that file: a failed entry
    };

    // repeated: the hashes (TTempNames::Hash) claimed more than once, sorted.
    explicit TDuplicateEntries(std::vector<std::uint64_t> repeated = {});

    // Takes up the entries in the order the run takes them up; line is the
    // entry's line (a view into the list's text, valid until Seal), path
    // its path.
    void Take(std::string_view line, std::string_view path);
    // Call once every entry was taken up; frees the names compared.
    void Seal();

    // How the line (the same view of the list's text) repeats an earlier
    // entry's file.
    TRepeat Of(std::string_view line) const;

private:
    struct TLater {
        const char* line;  // by address
        TRepeat repeat;
    };

    std::vector<std::uint64_t> repeated_;
    std::map<std::string, std::string_view> first_;  // folded name -> the line of its first entry
    std::vector<TLater> later_;                      // the repeats, sorted by Seal
};
