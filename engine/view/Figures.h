// A run's download figures as text, one way for the window and the console:
// "120 / 700 MB · 3,2 MB/s · faltan 2 min" in the window (Spanish),
// "120/700 MB, 3.2 MB/s, 2 min left" on the console. Sizes, speeds and the
// time left are rounded alike; only the words and marks of each differ.
// Sizes count 1024 bytes to the KB, as the menu's limits do. Windows-1252.
#pragma once

#include "engine/view/UpdateView.h"

#include <cstdint>
#include <string>

struct TFiguresWords {
    char decimal;            // between whole units and tenths
    const char* of;          // between the bytes received and the total
    const char* separator;   // between the figures
    const char* paused;      // instead of the speed and the time left
    const char* leftBefore;  // around the time left
    const char* leftAfter;
};
inline constexpr TFiguresWords kSpanishFigures{',', " / ", " \xB7 ", "En pausa", "faltan ", ""};
inline constexpr TFiguresWords kEnglishFigures{'.', "/", ", ", "paused", "", " left"};

// How far the downloads are, then the speed and the time left once known,
// or words.paused instead of both while paused. Empty before anything is
// known.
std::string FormatFigures(const TTransferFigures& figures, const TFiguresWords& words);
// A speed: "1 MB/s", "3,2 MB/s", "500 KB/s".
std::string FormatSpeed(std::int64_t bytesPerSecond, char decimal);
