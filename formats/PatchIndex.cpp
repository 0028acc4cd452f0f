#include "formats/PatchIndex.h"

#include "formats/Decimal.h"
#include "formats/ListGrammar.h"

#include <algorithm>
#include <limits>
#include <map>

namespace {

bool IsLowerHex(std::string_view text, std::size_t digits) {
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Threat: the sizes come from the server; a huge one must not wrap a
// chain's total below the copy's size.
std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

constexpr std::size_t kStart = std::numeric_limits<std::size_t>::max();

// One way of reaching a digest: its cost, and the link that arrived there
// from the previous layer's state (kStart at the start).
struct Reach {
    std::uint64_t cost = 0;
    std::size_t link = kStart;
    const Reach* previous = nullptr;
};

}  // namespace

std::string PatchName(std::string_view from, std::string_view to) {
    std::string name = "patches/";
    name.append(from);
    name += '-';
    name.append(to);
    name += ".zst";
    return name;
}

// Threat: a line from the server naming a path or a number we would misread;
// only the exact shape is taken, as a name built from it can then only be
// a patch's.
std::optional<TPatchLink> ParsePatchLine(std::string_view line) {
    line = TrimListLine(line);
    std::string_view fields[5];
    for (std::size_t i = 0; i < 5; ++i) {
        const std::size_t bar = line.find('|');
        if ((bar == std::string_view::npos) != (i == 4)) return std::nullopt;
        fields[i] = line.substr(0, bar);
        if (bar != std::string_view::npos) line.remove_prefix(bar + 1);
    }
    const auto patchBytes = ParseDecimal(fields[2]);
    const auto copyBytes = ParseDecimal(fields[3]);
    if (!IsLowerHex(fields[0], 32) || !IsLowerHex(fields[1], 32) || !IsLowerHex(fields[4], 64) || !patchBytes ||
        !copyBytes || *patchBytes == 0 || fields[0] == fields[1]) {
        return std::nullopt;
    }
    return TPatchLink{std::string(fields[0]), std::string(fields[1]), *patchBytes, *copyBytes, std::string(fields[4])};
}

std::string FormatPatchLine(const TPatchLink& link) {
    std::string line = link.from;
    line += '|';
    line += link.to;
    line += '|';
    line += std::to_string(link.patchBytes);
    line += '|';
    line += std::to_string(link.copyBytes);
    line += '|';
    line += link.sha256;
    return line;
}

TPatchIndex::TPatchIndex(std::vector<TPatchLink> links) : links_(std::move(links)), byFrom_(links_.size()) {
    for (std::size_t i = 0; i < byFrom_.size(); ++i) byFrom_[i] = i;
    std::sort(byFrom_.begin(), byFrom_.end(), [this](std::size_t a, std::size_t b) {
        const int order = links_[a].from.compare(links_[b].from);
        return order < 0 || (order == 0 && a < b);
    });
}

// Layer k holds the digests first reached, or reached more cheaply than
// before, in k links; a state beaten by one with fewer links is dropped,
// so no chain runs through a cycle. Links into `to` end a chain rather than
// extend one: each is judged by its own copy bytes. A layer takes its links
// in the list's order, which settles ties.
std::vector<TPatchLink> TPatchIndex::FindChain(std::string_view from, std::string_view to) const {
    if (from == to) return {};
    std::map<std::string_view, std::uint64_t> best{{from, 0}};
    // Reserved: states point at their predecessors in earlier layers.
    std::vector<std::map<std::string_view, Reach>> layers;
    layers.reserve(kMaxChain);
    layers.emplace_back().emplace(from, Reach{});
    const Reach* bestEnd = nullptr;
    std::uint64_t bestTotal = 0;
    std::size_t bestLink = 0;
    std::vector<std::size_t> leaving;  // the links from the current layer's digests
    for (std::size_t depth = 1; depth <= kMaxChain && !layers.back().empty(); ++depth) {
        const auto& current = layers.back();
        leaving.clear();
        for (const auto& state : current) {
            auto it =
                std::lower_bound(byFrom_.begin(), byFrom_.end(), state.first,
                                 [this](std::size_t i, std::string_view digest) { return links_[i].from < digest; });
            for (; it != byFrom_.end() && links_[*it].from == state.first; ++it) leaving.push_back(*it);
        }
        std::sort(leaving.begin(), leaving.end());
        std::map<std::string_view, Reach> next;
        for (const std::size_t i : leaving) {
            const TPatchLink& link = links_[i];
            const Reach& state = current.find(link.from)->second;
            if (link.from == link.to) continue;
            const std::uint64_t cost = SaturatingAdd(state.cost, link.patchBytes);
            if (link.to == to) {
                if (cost < link.copyBytes && (bestEnd == nullptr || cost < bestTotal)) {
                    bestEnd = &state;
                    bestTotal = cost;
                    bestLink = i;
                }
                continue;
            }
            const auto known = best.find(link.to);
            if (known != best.end() && known->second <= cost) continue;
            best[link.to] = cost;
            next[link.to] = Reach{cost, i, &state};
        }
        if (depth == kMaxChain) break;
        layers.push_back(std::move(next));
    }
    if (bestEnd == nullptr) return {};
    std::vector<TPatchLink> chain{links_[bestLink]};
    for (const Reach* r = bestEnd; r->link != kStart; r = r->previous) chain.push_back(links_[r->link]);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

std::vector<TPatchLink> FindChain(const std::vector<TPatchLink>& links, std::string_view from, std::string_view to) {
    return TPatchIndex(links).FindChain(from, to);
}
