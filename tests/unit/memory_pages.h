// Unreadable memory for the guarded-read tests, on the backend being built.
// Kept apart so that no test source includes <windows.h> and its macros.
#pragma once

#include <cstdint>

namespace pages {

// Makes the page holding address unreadable, as a vanished medium would.
// False when the system refuses.
bool MakeUnreadable(const std::uint8_t* address);
// A fresh page outside any mapped file that can't be read; null on failure.
const volatile std::uint8_t* UnreadableAnonymousPage();
// A fault nobody handles ends the process at once (no crash dialog).
void QuietCrashes();

}  // namespace pages
