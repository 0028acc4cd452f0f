#include "formats/EmbeddedKey.h"

#include <algorithm>

std::vector<std::string> EmbeddedKeys(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kDigits = 64;
    const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::vector<std::string> keys;
    for (std::size_t at = text.find(kEmbeddedKeyMarker); at != std::string_view::npos;
         at = text.find(kEmbeddedKeyMarker, at)) {
        at += kEmbeddedKeyMarker.size();
        // The reader's own copy of the marker is followed by no key.
        const std::string_view digits = text.substr(at, kDigits);
        if (digits.size() == kDigits && std::all_of(digits.begin(), digits.end(), isHex)) keys.emplace_back(digits);
    }
    return keys;
}
