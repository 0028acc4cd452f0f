// The window's settings for its install, in a small file beside the updater
// (CorvelUpdater.ini in the install directory): one line, "limit=N", the
// download limit in bytes per second that the tray menu last chose.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

// The limits that the menu offers, in its order: none, 2 MB/s, 1 MB/s, 500 KB/s.
inline constexpr std::array<std::uint64_t, 4> kRateLimitChoices = {0, 2u << 20, 1u << 20, 500u << 10};

// The limit that the file's text holds; 0 (no limit) when the text is
// damaged or holds a limit that the menu doesn't offer.
std::uint64_t ParseRateLimit(const std::string& text);
std::string RateLimitText(std::uint64_t limit);

// 0 when the file is missing or unreadable.
std::uint64_t ReadRateLimit(const std::filesystem::path& file);
// Writes a temporary beside the file and renames it over the file, so that
// a reader never sees half of it. False when either step failed.
bool WriteRateLimit(const std::filesystem::path& file, std::uint64_t limit);
