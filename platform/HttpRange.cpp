// The parts of a ranged request both HTTP backends share.
#include "platform/os.h"

#include <charconv>
#include <limits>
#include <string_view>

namespace os {

// Threat: a forged partial copy's validator carrying "\r\n" would add
// headers of the attacker's choosing to our request.
bool SafeHttpValidator(const std::string& validator) {
    if (validator.empty() || validator.size() > 512) return false;
    for (unsigned char c : validator) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

std::int64_t ParseContentRangeStart(const std::string& value) {
    std::string_view v(value);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    if (v.substr(0, 6) != "bytes ") return -1;
    v.remove_prefix(6);
    std::uint64_t first = 0, last = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), first);
    if (ec != std::errc() || p == v.data() + v.size() || *p != '-') return -1;
    ++p;
    const char* end = v.data() + v.size();
    auto [q, ec2] = std::from_chars(p, end, last);
    if (ec2 != std::errc() || q == end || *q != '/' || last < first) return -1;
    if (first > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return -1;
    return static_cast<std::int64_t>(first);
}

}  // namespace os
