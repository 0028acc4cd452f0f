// Fuzzes the patch index: the [patches] lines a server sends, and the chain
// search over them. The input is a list's text up to a NUL byte, then links
// in a compact form (4 bytes each, over eight digests) so that the fuzzer
// reaches graphs with chains, cycles and ties quickly. Every chain found
// must be one the plain scan over all links finds too, and a valid chain.
#include "engine/patch/PatchPlan.h"
#include "formats/ListGrammar.h"
#include "formats/PatchIndex.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

std::uint64_t Add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// The search as it was before the links were indexed: every link scanned
// at every depth. The index must find exactly its chains.
std::vector<TPatchLink> ScanAll(const std::vector<TPatchLink>& links, std::string_view from, std::string_view to) {
    struct Reach {
        std::uint64_t cost = 0;
        std::size_t link = SIZE_MAX;
        const Reach* previous = nullptr;
    };
    if (from == to) return {};
    std::map<std::string_view, std::uint64_t> best{{from, 0}};
    std::vector<std::map<std::string_view, Reach>> layers;
    layers.reserve(kMaxChain);
    layers.emplace_back().emplace(from, Reach{});
    const Reach* bestEnd = nullptr;
    std::uint64_t bestTotal = 0;
    std::size_t bestLink = 0;
    for (std::size_t depth = 1; depth <= kMaxChain && !layers.back().empty(); ++depth) {
        const auto& current = layers.back();
        std::map<std::string_view, Reach> next;
        for (std::size_t i = 0; i < links.size(); ++i) {
            const auto state = current.find(links[i].from);
            if (state == current.end() || links[i].from == links[i].to) continue;
            const std::uint64_t cost = Add(state->second.cost, links[i].patchBytes);
            if (links[i].to == to) {
                if (cost < links[i].copyBytes && (bestEnd == nullptr || cost < bestTotal)) {
                    bestEnd = &state->second;
                    bestTotal = cost;
                    bestLink = i;
                }
                continue;
            }
            const auto known = best.find(links[i].to);
            if (known != best.end() && known->second <= cost) continue;
            best[links[i].to] = cost;
            next[links[i].to] = Reach{cost, i, &state->second};
        }
        if (depth == kMaxChain) break;
        layers.push_back(std::move(next));
    }
    if (bestEnd == nullptr) return {};
    std::vector<TPatchLink> chain{links[bestLink]};
    for (const Reach* r = bestEnd; r->link != SIZE_MAX; r = r->previous) chain.push_back(links[r->link]);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

bool Same(const std::vector<TPatchLink>& a, const std::vector<TPatchLink>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TPatchLink& x, const TPatchLink& y) {
        return x.from == y.from && x.to == y.to && x.patchBytes == y.patchBytes && x.copyBytes == y.copyBytes &&
               x.sha256 == y.sha256;
    });
}

void CheckChain(const std::vector<TPatchLink>& chain, std::string_view from, std::string_view to) {
    if (chain.empty()) return;
    Check(chain.size() <= kMaxChain && chain.front().from == from && chain.back().to == to, "chain ends");
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        Check(i == 0 || chain[i - 1].to == chain[i].from, "chain is broken");
        total = Add(total, chain[i].patchBytes);
    }
    Check(total < chain.back().copyBytes, "chain costs the copy");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = std::min(bytes.find('\0'), bytes.size());
    const std::string text(bytes.substr(0, nul));
    const TListLines section = FindListSection(ListText(text), kPatchSection);

    std::vector<TPatchLink> listed;
    section.ForEach([&](std::string_view line) {
        const auto link = ParsePatchLine(line);
        if (!link) return;
        // Only a patch's own name can be built from a line.
        const std::string name = PatchName(link->from, link->to);
        Check(name.find_first_not_of("patches/0123456789abcdef-.zst") == std::string::npos, "a name not a patch's");
        const auto again = ParsePatchLine(FormatPatchLine(*link));
        Check(again && Same({*link}, {*again}), "a link does not read back");
        listed.push_back(*link);
    });

    std::vector<TPatchLink> links = listed;
    const std::string sha(64, '5');
    // At most 32: the scan it is compared with is slow by design.
    for (std::size_t i = nul + 1; i + 4 <= size && links.size() < listed.size() + 32; i += 4) {
        const std::string from(32, "01234567"[data[i] & 7]), to(32, "01234567"[(data[i] >> 3) & 7]);
        // High bits of the first byte make patches large enough to saturate a total.
        const std::uint64_t patch =
            (data[i] & 0x40) ? std::numeric_limits<std::uint64_t>::max() - data[i + 1] : std::uint64_t{data[i + 1]} + 1;
        links.push_back(TPatchLink{from, to, patch, std::uint64_t{data[i + 2]} | std::uint64_t{data[i + 3]} << 8, sha});
    }

    // Every pair among the first digests the links name.
    std::set<std::string> digests;
    for (const TPatchLink& link : links) {
        for (const std::string* d : {&link.from, &link.to})
            if (digests.size() < 6) digests.insert(*d);
    }
    const TPatchIndex index(links);
    TPatchPlan plan;
    plan.Reset(section);
    Check(plan.HasLinks() == !listed.empty(), "the plan lost links");
    std::size_t pending = 0;
    for (const std::string& from : digests) {
        for (const std::string& to : digests) {
            const std::vector<TPatchLink> chain = index.FindChain(from, to);
            Check(Same(chain, ScanAll(links, from, to)), "the index found another chain than the scan");
            CheckChain(chain, from, to);
            plan.Found(pending, from, to);
            Check(Same(plan.ChainFor(pending), ScanAll(listed, from, to)), "the plan found another chain");
            ++pending;
        }
    }
    return 0;
}
