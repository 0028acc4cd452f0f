#include "engine/view/Figures.h"

namespace {

constexpr std::int64_t kKB = 1024;
constexpr std::int64_t kMB = 1024 * kKB;
constexpr std::int64_t kGB = 1024 * kMB;

struct TUnit {
    std::int64_t size;
    const char* name;
};

// The unit that a size is read in: the largest that leaves at least one.
TUnit UnitOf(std::int64_t bytes) {
    if (bytes >= kGB) return {kGB, "GB"};
    if (bytes >= kMB) return {kMB, "MB"};
    return {kKB, "KB"};
}

// One decimal below ten units ("3,2"); whole units from there on ("120").
std::string Amount(std::int64_t bytes, TUnit unit, char decimal) {
    const std::int64_t tenths = (bytes * 10 + unit.size / 2) / unit.size;
    if (tenths < 100 && tenths % 10 != 0) {
        std::string text = std::to_string(tenths / 10);
        text += decimal;
        text += std::to_string(tenths % 10);
        return text;
    }
    return std::to_string((tenths + 5) / 10);
}

// Whole seconds below a minute; minutes rounded up from there on, so that
// the last seconds of a minute never read as "0 min".
std::string TimeLeft(std::int64_t seconds) {
    if (seconds < 60) return std::to_string(seconds) + " s";
    const std::int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60) return std::to_string(minutes) + " min";
    std::string text = std::to_string(minutes / 60) + " h";
    if (minutes % 60) {
        text += ' ';
        text += std::to_string(minutes % 60);
        text += " min";
    }
    return text;
}

}  // namespace

std::string FormatSpeed(std::int64_t bytesPerSecond, char decimal) {
    const TUnit unit = bytesPerSecond >= kMB ? TUnit{kMB, "MB"} : TUnit{kKB, "KB"};
    std::string text = Amount(bytesPerSecond, unit, decimal);
    text += ' ';
    text += unit.name;
    text += "/s";
    return text;
}

std::string FormatFigures(const TTransferFigures& figures, const TFiguresWords& words) {
    std::string text;
    auto append = [&](const std::string& part) {
        if (!text.empty()) text += words.separator;
        text += part;
    };
    if (figures.total > 0) {
        const TUnit unit = UnitOf(figures.total);
        std::string sizes = Amount(figures.done, unit, words.decimal);
        sizes += words.of;
        sizes += Amount(figures.total, unit, words.decimal);
        sizes += ' ';
        sizes += unit.name;
        append(sizes);
    }
    if (figures.paused) {
        append(words.paused);
        return text;
    }
    if (figures.speed > 0) append(FormatSpeed(figures.speed, words.decimal));
    if (figures.secondsLeft >= 0) {
        std::string left = words.leftBefore;
        left += TimeLeft(figures.secondsLeft);
        left += words.leftAfter;
        append(left);
    }
    return text;
}
