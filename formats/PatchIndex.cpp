#include "formats/PatchIndex.h"

#include "formats/Decimal.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace {

bool IsLowerHex(std::string_view text, std::size_t digits) {
    return text.size() == digits &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Splits on "|" into exactly count fields; false for any other count.
bool SplitExactly(std::string_view line, std::string_view* fields, std::size_t count) {
    std::size_t n = 0;
    for (;;) {
        const std::size_t bar = line.find('|');
        if (n == count) return false;
        fields[n++] = line.substr(0, bar);
        if (bar == std::string_view::npos) break;
        line.remove_prefix(bar + 1);
    }
    return n == count;
}

// Sums that saturate: sizes come from the list and may be absurd.
std::uint64_t AddSaturating(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

std::string PatchName(std::string_view from, std::string_view to) {
    std::string name = "patches/";
    name.append(from).append("-").append(to).append(".zst");
    return name;
}

std::optional<TPatchLink> ParsePatchLine(std::string_view line) {
    std::string_view fields[5];
    if (!SplitExactly(line, fields, 5)) return std::nullopt;
    if (!IsLowerHex(fields[0], 32) || !IsLowerHex(fields[1], 32) || fields[0] == fields[1]) return std::nullopt;
    if (!IsLowerHex(fields[4], 64)) return std::nullopt;
    const auto patchBytes = ParseDecimal(fields[2]);
    const auto copyBytes = ParseDecimal(fields[3]);
    if (!patchBytes || !copyBytes) return std::nullopt;
    return TPatchLink{std::string(fields[0]), std::string(fields[1]), *patchBytes, *copyBytes, std::string(fields[4])};
}

std::string FormatPatchLine(const TPatchLink& link) {
    return link.from + "|" + link.to + "|" + std::to_string(link.patchBytes) + "|" + std::to_string(link.copyBytes) +
           "|" + link.sha256;
}

// Cheapest prefixes by number of links (Bellman-Ford limited to kMaxChain
// rounds): the cost bound only concerns the total and the last link, so the
// cheapest way to reach that link's start is the one to take.
std::vector<TPatchLink> FindChain(const std::vector<TPatchLink>& links, std::string_view from, std::string_view to) {
    struct TReach {
        std::uint64_t cost = 0;
        std::size_t via = 0;  // the link that reached it
        std::size_t round = 0;
    };
    // reached[k]: the digests reachable with exactly the links of round k.
    std::vector<std::unordered_map<std::string_view, TReach>> reached(kMaxChain);
    std::unordered_map<std::string_view, TReach> start{{from, TReach{}}};
    std::optional<std::pair<std::uint64_t, std::pair<std::size_t, std::size_t>>> best;  // cost, (round, link)
    for (std::size_t k = 0; k < kMaxChain; ++k) {
        const auto& before = k == 0 ? start : reached[k - 1];
        for (std::size_t l = 0; l < links.size(); ++l) {
            const TPatchLink& link = links[l];
            const auto it = before.find(link.from);
            if (it == before.end() || link.from == link.to) continue;
            const std::uint64_t cost = AddSaturating(it->second.cost, link.patchBytes);
            if (link.to == to) {
                if (cost < link.copyBytes && (!best || cost < best->first)) best.emplace(cost, std::make_pair(k, l));
                continue;  // a chain never goes on past its target
            }
            auto [slot, fresh] = reached[k].try_emplace(link.to, TReach{cost, l, k});
            if (!fresh && cost < slot->second.cost) slot->second = TReach{cost, l, k};
        }
    }
    std::vector<TPatchLink> chain;
    if (!best) return chain;
    std::size_t k = best->second.first;
    std::size_t l = best->second.second;
    for (;;) {
        chain.push_back(links[l]);
        if (k == 0) break;
        l = reached[k - 1].at(links[l].from).via;
        --k;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}
