// The window's settings for its install, in a small file beside the updater
// (CorvelUpdater.ini in the install directory), one "key=value" line each:
// "limit=N", the download limit in bytes per second that the tray menu last
// chose, first (a launcher that knows only the limit reads the first line);
// then "channel=NAME" when the player follows a channel, none for "Estable".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

// The limits that the menu offers, in its order: none, 2 MB/s, 1 MB/s, 500 KB/s.
inline constexpr std::array<std::uint64_t, 4> kRateLimitChoices = {0, 2u << 20, 1u << 20, 500u << 10};

struct TSettings {
    std::uint64_t limit = 0;
    // Empty: the live publication.
    std::string channel;
};

// What the file's text holds: a limit the menu doesn't offer, a channel
// name that can't be one, or a damaged line reads as its default (no limit,
// the live publication); lines of other keys are skipped.
TSettings ParseSettings(const std::string& text);
std::string SettingsText(const TSettings& settings);
// The limit alone, as ParseSettings reads it.
std::uint64_t ParseRateLimit(const std::string& text);

// The defaults when the file is missing or unreadable.
TSettings ReadSettings(const std::filesystem::path& file);
// Writes a temporary beside the file and renames it over the file, so that
// a reader never sees half of it. False when either step failed.
bool WriteSettings(const std::filesystem::path& file, const TSettings& settings);
