// Messages built by appending. (GCC 12 at -O3 warns falsely about
// "literal" + std::string, so messages are not built with operator+.)
#pragma once

#include <string>
#include <string_view>

namespace publish {

template <typename... Parts>
std::string Cat(const Parts&... parts) {
    std::string out;
    (out.append(std::string_view(parts)), ...);
    return out;
}

}  // namespace publish
