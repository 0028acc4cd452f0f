// Decimal numbers as the list, the signature file, the install's state and
// the tools' options write them: the one place that reads digits, so every
// reader agrees on what overflows and what is not a number at all. Each
// caller keeps its own format's rules around it (a "+" before a list's
// size, no leading zero in a signature's serial).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// ASCII digits only: no sign, no blank, nothing after them; leading zeros
// allowed. Nullopt for an empty text, any other byte, or a value past
// 2^64 - 1.
std::optional<std::uint64_t> ParseDecimal(std::string_view digits);

// An optional "+" or "-", then digits as ParseDecimal takes them, giving a
// value within [low, high]; nullopt otherwise (a blank, a lone sign, two
// signs, a value outside the range or past the 64-bit limits).
std::optional<std::int64_t> ParseDecimalInRange(std::string_view text, std::int64_t low, std::int64_t high);
