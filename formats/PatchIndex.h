// The index of patches published beside the copies: the [patches] section
// of the list, one link per line (from md5, to md5, patch bytes, the size of
// the `to` copy, the patch's SHA-256). The publisher writes it and the run
// reads it through these functions, so both agree on the grammar; a client
// several publications behind follows a chain of links.
// Threat: a line is only a hint of what to download; every patch is checked
// against its size and SHA-256 and its result against the entry, so a bad
// line costs at most one failed attempt before the whole copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TPatchLink {
    std::string from, to;
    std::uint64_t patchBytes = 0, copyBytes = 0;
    std::string sha256;
};

inline constexpr const char* kPatchSection = "patches";
// Links a chain may have at most: each costs a request and a pass over the file.
inline constexpr std::size_t kMaxChain = 4;

// "patches/<from>-<to>.zst", relative to the server directory.
std::string PatchName(std::string_view from, std::string_view to);
// A link from a line of the section; nullopt when malformed (and for a link
// from a digest to itself).
std::optional<TPatchLink> ParsePatchLine(std::string_view line);
std::string FormatPatchLine(const TPatchLink& link);
// The cheapest chain of links from `from` to `to` whose total patch bytes is
// below the last link's copy bytes, at most kMaxChain links; empty when none.
std::vector<TPatchLink> FindChain(const std::vector<TPatchLink>& links, std::string_view from, std::string_view to);
