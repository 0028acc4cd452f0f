// Which pending entries can be rebuilt from patches: the links the list's
// [patches] section names, and, for each pending entry whose file the check
// found with other content, the chain from that content's MD5 to the
// entry's. Read once with the list; the install's fetchers ask it per entry.
#pragma once

#include "formats/ListGrammar.h"
#include "formats/PatchIndex.h"

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

class TPatchPlan {
public:
    // The links of the list's patch section; lines that don't parse are
    // ignored, never trusted.
    void Reset(const TListLines& section);
    void Clear();
    // The check found pending entry `pending` with content `local` where the
    // list wants `wanted`: its chain, when there is one, is kept.
    void Found(std::size_t pending, std::string_view local, std::string_view wanted);
    // The chain for pending entry `pending`; empty: fetch its copy.
    const std::vector<TPatchLink>& ChainFor(std::size_t pending) const;
    bool HasLinks() const { return !links_.Empty(); }

private:
    TPatchIndex links_;  // built once per list: searched per pending entry
    std::unordered_map<std::size_t, std::vector<TPatchLink>> chains_;
};
