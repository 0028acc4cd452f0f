#include "tools/publish/Glob.h"

#include <algorithm>

namespace publish {

Glob::Glob(std::string_view pattern) : pattern_(pattern) {
    std::replace(pattern_.begin(), pattern_.end(), '/', '\\');
    // Relative paths never start with a separator; "./x" names the same file.
    for (;;) {
        if (pattern_.starts_with("\\")) {
            pattern_.erase(0, 1);
        } else if (pattern_.starts_with(".\\")) {
            pattern_.erase(0, 2);
        } else {
            break;
        }
    }
    while (pattern_.ends_with("\\")) pattern_.pop_back();
}

bool Glob::Matches(std::string_view path) const {
    if (MatchHere(0, path, 0)) return true;
    // A match of a directory above the file.
    for (std::size_t pos = path.find('\\'); pos != std::string_view::npos; pos = path.find('\\', pos + 1)) {
        if (MatchHere(0, path.substr(0, pos), 0)) return true;
    }
    return false;
}

bool Glob::MatchHere(std::size_t p, std::string_view s, std::size_t i) const {
    while (p < pattern_.size()) {
        const char c = pattern_[p];
        if (c == '*') {
            const bool deep = p + 1 < pattern_.size() && pattern_[p + 1] == '*';
            if (deep) {
                std::size_t next = p + 2;
                while (next < pattern_.size() && pattern_[next] == '*') ++next;
                // "**\" may also stand for no directory at all.
                if (next < pattern_.size() && pattern_[next] == '\\' && MatchHere(next + 1, s, i)) return true;
                for (std::size_t k = i; k <= s.size(); ++k) {
                    if (MatchHere(next, s, k)) return true;
                }
                return false;
            }
            for (std::size_t k = i; k <= s.size(); ++k) {
                if (MatchHere(p + 1, s, k)) return true;
                if (k < s.size() && s[k] == '\\') break;
            }
            return false;
        }
        if (i >= s.size()) return false;
        if (c == '?') {
            if (s[i] == '\\') return false;
        } else if (c != s[i]) {
            return false;
        }
        ++p;
        ++i;
    }
    return i == s.size();
}

}  // namespace publish
