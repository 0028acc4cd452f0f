#include "formats/Misc.h"

std::string ReplaceAll(const std::string& source, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) return source;
    std::string result;
    std::size_t from = 0;
    for (std::size_t at; (at = source.find(pattern, from)) != std::string::npos; from = at + pattern.size()) {
        result.append(source, from, at - from);
        result += replacement;
    }
    result.append(source, from, std::string::npos);
    return result;
}
