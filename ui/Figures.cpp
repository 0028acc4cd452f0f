#include "ui/Figures.h"

#include <cstdio>

namespace {

constexpr std::int64_t kKB = 1024;
constexpr std::int64_t kMB = 1024 * kKB;
constexpr std::int64_t kGB = 1024 * kMB;

struct TUnit {
    std::int64_t size;
    const wchar_t* name;
};

// The unit that a size is read in: the largest that leaves at least one.
TUnit UnitOf(std::int64_t bytes) {
    if (bytes >= kGB) return {kGB, L"GB"};
    if (bytes >= kMB) return {kMB, L"MB"};
    return {kKB, L"KB"};
}

// One decimal below ten units, with a decimal comma ("3,2"); whole units
// from there on ("120").
std::wstring Amount(std::int64_t bytes, TUnit unit) {
    wchar_t text[32];
    const std::int64_t tenths = (bytes * 10 + unit.size / 2) / unit.size;
    if (tenths < 100 && tenths % 10 != 0) {
        std::swprintf(text, 32, L"%lld,%lld", static_cast<long long>(tenths / 10), static_cast<long long>(tenths % 10));
    } else {
        std::swprintf(text, 32, L"%lld", static_cast<long long>((tenths + 5) / 10));
    }
    return text;
}

// Whole seconds below a minute; minutes rounded up from there on, so that
// the last seconds of a minute never read as "0 min".
std::wstring TimeLeftText(std::int64_t seconds) {
    if (seconds < 60) return L"faltan " + std::to_wstring(seconds) + L" s";
    const std::int64_t minutes = (seconds + 59) / 60;
    if (minutes < 60) return L"faltan " + std::to_wstring(minutes) + L" min";
    std::wstring text = L"faltan " + std::to_wstring(minutes / 60) + L" h";
    if (minutes % 60) text += L" " + std::to_wstring(minutes % 60) + L" min";
    return text;
}

const wchar_t kSeparator[] = L" \u00B7 ";

}  // namespace

std::wstring SpeedText(std::int64_t bytesPerSecond) {
    const TUnit unit = bytesPerSecond >= kMB ? TUnit{kMB, L"MB"} : TUnit{kKB, L"KB"};
    return Amount(bytesPerSecond, unit) + L" " + unit.name + L"/s";
}

std::wstring FiguresText(const TTransferFigures& figures) {
    std::wstring text;
    auto append = [&](const std::wstring& part) {
        if (!text.empty()) text += kSeparator;
        text += part;
    };
    if (figures.total > 0) {
        const TUnit unit = UnitOf(figures.total);
        append(Amount(figures.done, unit) + L" / " + Amount(figures.total, unit) + L" " + unit.name);
    }
    if (figures.paused) {
        append(L"En pausa");
        return text;
    }
    if (figures.speed > 0) append(SpeedText(figures.speed));
    if (figures.secondsLeft >= 0) append(TimeLeftText(figures.secondsLeft));
    return text;
}
