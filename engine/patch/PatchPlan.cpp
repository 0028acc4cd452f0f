#include "engine/patch/PatchPlan.h"

void TPatchPlan::Reset(const TListLines& section) {
    Clear();
    std::vector<TPatchLink> links;
    section.ForEach([&links](std::string_view line) {
        if (auto link = ParsePatchLine(line)) links.push_back(std::move(*link));
    });
    links_ = TPatchIndex(std::move(links));
}

void TPatchPlan::Clear() {
    links_ = TPatchIndex();
    chains_.clear();
}

void TPatchPlan::Found(std::size_t pending, std::string_view local, std::string_view wanted) {
    if (links_.Empty() || local.empty()) return;
    std::vector<TPatchLink> chain = links_.FindChain(local, wanted);
    if (!chain.empty()) chains_[pending] = std::move(chain);
}

const std::vector<TPatchLink>& TPatchPlan::ChainFor(std::size_t pending) const {
    static const std::vector<TPatchLink> kNone;
    const auto it = chains_.find(pending);
    return it == chains_.end() ? kNone : it->second;
}
