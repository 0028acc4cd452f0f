// The one decimal reader every format and tool goes through: what it takes,
// where it stops at the 64-bit limits, and what is no number at all.
#include "formats/Decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace {

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

struct DigitsCase {
    std::string_view text;
    std::optional<std::uint64_t> value;
};

TEST(Decimal, PlainDigitsUpToTheUnsigned64BitLimit) {
    const DigitsCase cases[] = {
        {"0", 0},
        {"7", 7},
        {"007", 7},  // leading zeros are the caller's to refuse
        {"0000000000000000000000000042", 42},
        {"4294967296", 4294967296ULL},
        {"9223372036854775808", 9223372036854775808ULL},    // 2^63
        {"18446744073709551615", 18446744073709551615ULL},  // 2^64 - 1
        {"18446744073709551616", std::nullopt},             // 2^64
        {"18446744073709551620", std::nullopt},             // past the limit in its last digit
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+1", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1\n", std::nullopt},
        {"12a", std::nullopt},
        {"0x10", std::nullopt},
        {"1e9", std::nullopt},
        {"1.5", std::nullopt},
        {"1,000", std::nullopt},
        {std::string_view("1\0002", 3), std::nullopt},  // 1, NUL, 2: a NUL inside is not the end
        {"\xEF\xBC\x91", std::nullopt},                 // a full-width digit one
        {"\xB9", std::nullopt},                         // superscript one in Windows-1252
    };
    for (const DigitsCase& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << "'" << c.text << "'";
}

struct RangeCase {
    std::string_view text;
    std::int64_t low;
    std::int64_t high;
    std::optional<std::int64_t> value;
};

TEST(Decimal, SignedValuesWithinARange) {
    const RangeCase cases[] = {
        {"5", 1, 10, 5},
        {"+5", 1, 10, 5},
        {"0005", 1, 10, 5},
        {"1", 1, 10, 1},  // both ends belong to the range
        {"10", 1, 10, 10},
        {"0", 1, 10, std::nullopt},
        {"11", 1, 10, std::nullopt},
        {"-5", -10, 10, -5},
        {"-0", -10, 10, 0},
        {"-5", 1, 10, std::nullopt},
        {"-2147483648", INT32_MIN, INT32_MAX, INT32_MIN},
        {"2147483647", INT32_MIN, INT32_MAX, INT32_MAX},
        {"2147483648", INT32_MIN, INT32_MAX, std::nullopt},
        {"-2147483649", INT32_MIN, INT32_MAX, std::nullopt},
        {"9223372036854775807", kMin64, kMax64, kMax64},
        {"-9223372036854775808", kMin64, kMax64, kMin64},  // 2^63 has a negative spelling only
        {"9223372036854775808", kMin64, kMax64, std::nullopt},
        {"-9223372036854775809", kMin64, kMax64, std::nullopt},
        {"18446744073709551615", kMin64, kMax64, std::nullopt},   // fits 64 bits unsigned, not signed
        {"-18446744073709551615", kMin64, kMax64, std::nullopt},  // would wrap to 1
        {"", kMin64, kMax64, std::nullopt},
        {"+", kMin64, kMax64, std::nullopt},
        {"-", kMin64, kMax64, std::nullopt},
        {"++1", kMin64, kMax64, std::nullopt},
        {"+-1", kMin64, kMax64, std::nullopt},
        {"-+1", kMin64, kMax64, std::nullopt},
        {" 1", kMin64, kMax64, std::nullopt},
        {"+ 1", kMin64, kMax64, std::nullopt},
        {"1 ", kMin64, kMax64, std::nullopt},
        {"60s", kMin64, kMax64, std::nullopt},
        {"0x10", kMin64, kMax64, std::nullopt},
    };
    for (const RangeCase& c : cases) {
        EXPECT_EQ(ParseDecimalInRange(c.text, c.low, c.high), c.value)
            << "'" << c.text << "' in [" << c.low << ", " << c.high << "]";
    }
}

}  // namespace
