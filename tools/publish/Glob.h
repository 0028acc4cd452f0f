// Shell-style patterns for --critical, matched against a list path.
#pragma once

#include <string>
#include <string_view>

namespace publish {

// A pattern over a relative path in Windows-1252. "/" and "\" both separate
// directory names. "*" matches any run of characters within one name, "?" one
// character of a name, "**" any run that may cross separators ("**/" also
// matches no directory at all). A pattern that matches a directory matches
// every file below it. Matching is case-sensitive, as the list is.
class Glob {
public:
    explicit Glob(std::string_view pattern);

    // path uses "\" between names, as in the list.
    bool Matches(std::string_view path) const;

    const std::string& Pattern() const { return pattern_; }

private:
    bool MatchHere(std::size_t p, std::string_view path, std::size_t s) const;

    std::string pattern_;  // separators turned into "\", leading ones removed
};

}  // namespace publish
