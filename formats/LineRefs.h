// Lines of a list kept as 8-byte references into its text rather than
// 16-byte views: the run holds one per pending entry and one per checked
// entry, so a list of a million entries costs 8 MB for each, not 16 (the
// run's memory is bounded by the list's size). A line from outside that
// text is copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

class TLineRefs {
public:
    TLineRefs() = default;
    explicit TLineRefs(std::string_view text) : text_(text) {}

    // Forgets every line; later lines are referred to inside text.
    void Reset(std::string_view text) {
        clear();
        text_ = text;
    }
    void reserve(std::size_t count) { refs_.reserve(count); }
    void push_back(std::string_view line) {
        // Addresses compared as numbers: the line may belong to another text.
        const auto at = reinterpret_cast<std::uintptr_t>(line.data());
        const auto base = reinterpret_cast<std::uintptr_t>(text_.data());
        const bool inside =
            !line.empty() && at >= base && at - base <= text_.size() && line.size() <= text_.size() - (at - base);
        const std::uint64_t offset = inside ? at - base : 0;
        if (inside && offset < kOwned >> 32 && line.size() <= 0xFFFFFFFFu) {
            refs_.push_back(offset << 32 | line.size());
        } else {
            refs_.push_back(kOwned | owned_.size());
            owned_.emplace_back(line);
        }
    }
    std::string_view operator[](std::size_t i) const {
        const std::uint64_t ref = refs_[i];
        if (ref & kOwned) return owned_[static_cast<std::size_t>(ref & ~kOwned)];
        return text_.substr(static_cast<std::size_t>(ref >> 32), static_cast<std::size_t>(ref & 0xFFFFFFFFu));
    }
    std::size_t size() const { return refs_.size(); }
    bool empty() const { return refs_.empty(); }
    void clear() {
        refs_.clear();
        owned_.clear();
    }

private:
    static constexpr std::uint64_t kOwned = std::uint64_t{1} << 63;
    std::string_view text_;
    std::vector<std::uint64_t> refs_;  // offset << 32 | length, or kOwned | index into owned_
    std::deque<std::string> owned_;    // lines from elsewhere; a deque keeps them in place
};
