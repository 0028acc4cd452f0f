// What every fuzz target shares: a broken promise aborts, naming itself, so
// that libFuzzer (or the replay under ctest) stops at the input that broke
// it; and the input read as control bytes first, then the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

inline void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

class TFuzzInput {
public:
    TFuzzInput(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
    // The next byte, 0 once none is left.
    std::uint8_t Byte() {
        if (rest_.empty()) return 0;
        const auto byte = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return byte;
    }
    // Up to n bytes.
    std::string_view Take(std::size_t n) {
        const std::string_view taken = rest_.substr(0, n);
        rest_.remove_prefix(taken.size());
        return taken;
    }
    std::string_view Rest() const { return rest_; }

private:
    std::string_view rest_;
};
