#include "engine/state/DuplicateEntries.h"

#include "engine/state/TempNames.h"
#include "formats/ListGrammar.h"
#include "formats/Names.h"

#include <algorithm>
#include <functional>

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// Digests are hex: one digest in either letter case.
bool SameDigest(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Whether a later entry asks for exactly what the first one of its file
// does: the same path byte for byte, the same digests in any letter case,
// the size written alike. Anything else is the list contradicting itself.
bool SameEntry(std::string_view firstLine, std::string_view line) {
    const auto first = ParseEntry(firstLine);
    const auto later = ParseEntry(line);
    return first && later && first->path == later->path && SameDigest(first->digest, later->digest) &&
           first->size == later->size && SameDigest(first->sha256, later->sha256);
}

}  // namespace

TDuplicateEntries::TDuplicateEntries(std::vector<std::uint64_t> repeated) : repeated_(std::move(repeated)) {}

void TDuplicateEntries::Take(std::string_view line, std::string_view path) {
    if (repeated_.empty() || !std::binary_search(repeated_.begin(), repeated_.end(), TTempNames::Hash(path))) return;
    const auto [at, first] = first_.try_emplace(PathKey(path), line);
    if (first) return;
    later_.push_back({line.data(), SameEntry(at->second, line) ? TRepeat::Same : TRepeat::Conflict});
}

void TDuplicateEntries::Seal() {
    // Addresses ordered as numbers: the sections need not follow each other.
    std::sort(later_.begin(), later_.end(),
              [](const TLater& a, const TLater& b) { return std::less<const char*>()(a.line, b.line); });
    first_.clear();
    repeated_.clear();
    repeated_.shrink_to_fit();
}

TDuplicateEntries::TRepeat TDuplicateEntries::Of(std::string_view line) const {
    const auto at = std::lower_bound(
        later_.begin(), later_.end(), line.data(),
        [](const TLater& later, const char* address) { return std::less<const char*>()(later.line, address); });
    return at != later_.end() && at->line == line.data() ? at->repeat : TRepeat::None;
}
