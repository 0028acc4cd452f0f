// The download figures, worded for the window (Spanish) and the console
// (English) by one rounding of sizes, speeds and the time left.
#include "engine/view/Figures.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Figures, ProgressSpeedAndTimeLeftInSpanishAndEnglish) {
    constexpr std::int64_t KB = 1024, MB = 1024 * KB, GB = 1024 * MB;
    struct Case {
        TTransferFigures figures;
        const char* spanish;
        const char* english;
    } cases[] = {
        {{0, 0, 0, -1, false}, "", ""},
        {{120 * MB, 700 * MB, 0, -1, false}, "120 / 700 MB", "120/700 MB"},
        {{120 * MB, 700 * MB, 3 * MB + MB / 5, 120, false},
         "120 / 700 MB \xB7 3,2 MB/s \xB7 faltan 2 min",
         "120/700 MB, 3.2 MB/s, 2 min left"},
        {{MB / 2, 3 * MB, 600 * KB, 45, false},
         "0,5 / 3 MB \xB7 600 KB/s \xB7 faltan 45 s",
         "0.5/3 MB, 600 KB/s, 45 s left"},
        {{GB, 4 * GB + GB / 2, 2 * MB, 3900, false},
         "1 / 4,5 GB \xB7 2 MB/s \xB7 faltan 1 h 5 min",
         "1/4.5 GB, 2 MB/s, 1 h 5 min left"},
        {{GB, 5 * GB, 2 * MB, 7200, false}, "1 / 5 GB \xB7 2 MB/s \xB7 faltan 2 h", "1/5 GB, 2 MB/s, 2 h left"},
        {{10 * KB, 200 * KB, 500 * KB, 0, false},
         "10 / 200 KB \xB7 500 KB/s \xB7 faltan 0 s",
         "10/200 KB, 500 KB/s, 0 s left"},
        // 9,97 MB reads as 10; minutes round up: 61 s is not "1 min", 3599 s is an hour.
        {{MB, 9 * MB + 990 * KB, MB, 61, false},
         "1 / 10 MB \xB7 1 MB/s \xB7 faltan 2 min",
         "1/10 MB, 1 MB/s, 2 min left"},
        {{MB, 20 * MB, MB, 3599, false}, "1 / 20 MB \xB7 1 MB/s \xB7 faltan 1 h", "1/20 MB, 1 MB/s, 1 h left"},
        // No time left until it is steady; paused shows neither speed nor time.
        {{MB, 20 * MB, 700 * KB, -1, false}, "1 / 20 MB \xB7 700 KB/s", "1/20 MB, 700 KB/s"},
        {{MB, 20 * MB, 700 * KB, 30, true}, "1 / 20 MB \xB7 En pausa", "1/20 MB, paused"},
        {{0, 0, 0, -1, true}, "En pausa", "paused"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatFigures(c.figures, kSpanishFigures), c.spanish) << c.english;
        EXPECT_EQ(FormatFigures(c.figures, kEnglishFigures), c.english);
    }
}

}  // namespace
