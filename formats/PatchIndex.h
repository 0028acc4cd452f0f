// The index of patches in the list's [patches] section, shared by the
// publisher that writes it and the client that picks a chain from it.
// A patch turns one whole file content (by MD5) into another: zstd with the
// old content as the reference prefix, stored as patches/<from>-<to>.zst.
// A client several publications behind follows a chain of them, but only
// while the chain costs fewer bytes than the whole copy it replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TPatchLink {
    std::string from, to;      // MD5 of the whole file before and after, 32 lowercase hex digits
    std::uint64_t patchBytes;  // size of the patch file
    std::uint64_t copyBytes;   // size of the whole .bz2 copy of `to` when the patch was written
    std::string sha256;        // of the patch file, 64 lowercase hex digits
};

inline constexpr const char* kPatchSection = "patches";
// Longest chain a client follows.
inline constexpr std::size_t kMaxChain = 4;

// "patches/<from>-<to>.zst", relative to the base URL and the server directory.
std::string PatchName(std::string_view from, std::string_view to);

// from|to|patch bytes|copy bytes|sha256; nullopt when malformed, when from
// equals to, or when the patch is empty. Blanks and control bytes around the
// line are ignored, as everywhere in the list.
std::optional<TPatchLink> ParsePatchLine(std::string_view line);
std::string FormatPatchLine(const TPatchLink& link);

// The links of a list, indexed by the digest each starts from. A run
// searches a chain for every pending entry; scanning every link for each
// was quadratic over a list of a few hundred thousand entries and links.
class TPatchIndex {
public:
    TPatchIndex() = default;
    explicit TPatchIndex(std::vector<TPatchLink> links);

    bool Empty() const { return links_.empty(); }
    // The cheapest chain of links from `from` to `to` whose total patch
    // bytes is below the last link's copy bytes, at most kMaxChain links;
    // empty when none (and when from equals to). Among equally cheap chains
    // the shortest wins, and the list's order settles the rest.
    std::vector<TPatchLink> FindChain(std::string_view from, std::string_view to) const;

private:
    std::vector<TPatchLink> links_;
    std::vector<std::size_t> byFrom_;  // positions in links_, sorted by (from, position)
};

// TPatchIndex(links).FindChain(from, to), for a single search.
std::vector<TPatchLink> FindChain(const std::vector<TPatchLink>& links, std::string_view from, std::string_view to);
