#include "engine/DuplicateEntries.h"

#include "engine/TempNames.h"
#include "formats/Names.h"

#include <algorithm>
#include <functional>

TDuplicateEntries::TDuplicateEntries(std::vector<std::uint64_t> repeated) : repeated_(std::move(repeated)) {}

void TDuplicateEntries::Take(std::string_view line, std::string_view path) {
    if (repeated_.empty() || !std::binary_search(repeated_.begin(), repeated_.end(), TTempNames::Hash(path))) return;
    if (!seen_.insert(PathKey(path)).second) lines_.push_back(line.data());
}

void TDuplicateEntries::Seal() {
    // Addresses ordered as numbers: the sections need not follow each other.
    std::sort(lines_.begin(), lines_.end(), std::less<const char*>());
    seen_.clear();
    repeated_.clear();
    repeated_.shrink_to_fit();
}

bool TDuplicateEntries::Contains(std::string_view line) const {
    return std::binary_search(lines_.begin(), lines_.end(), line.data(), std::less<const char*>());
}
