#include "engine/patch/PatchPlan.h"

void TPatchPlan::Reset(const TListLines& section) {
    Clear();
    section.ForEach([this](std::string_view line) {
        if (auto link = ParsePatchLine(line)) links_.push_back(std::move(*link));
    });
}

void TPatchPlan::Clear() {
    links_.clear();
    chains_.clear();
}

void TPatchPlan::Found(std::size_t pending, std::string_view local, std::string_view wanted) {
    if (links_.empty() || local.empty()) return;
    std::vector<TPatchLink> chain = FindChain(links_, local, wanted);
    if (!chain.empty()) chains_[pending] = std::move(chain);
}

const std::vector<TPatchLink>& TPatchPlan::ChainFor(std::size_t pending) const {
    static const std::vector<TPatchLink> kNone;
    const auto it = chains_.find(pending);
    return it == chains_.end() ? kNone : it->second;
}
