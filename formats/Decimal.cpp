#include "formats/Decimal.h"

#include <limits>

std::optional<std::uint64_t> ParseDecimal(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::int64_t> ParseDecimalInRange(std::string_view text, std::int64_t low, std::int64_t high) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    const std::optional<std::uint64_t> magnitude = ParseDecimal(text);
    if (!magnitude) return std::nullopt;
    // 2^63 has a negative spelling only.
    constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (*magnitude > kLimit + (negative ? 1 : 0)) return std::nullopt;
    // Modulo 2^64, so -2^63 comes out without an overflow on the way.
    const auto value = static_cast<std::int64_t>(negative ? 0 - *magnitude : *magnitude);
    if (value < low || value > high) return std::nullopt;
    return value;
}
