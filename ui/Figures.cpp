#include "ui/Figures.h"

#include "engine/view/Figures.h"
#include "ui/Resources.h"

std::wstring SpeedText(std::int64_t bytesPerSecond) {
    return FromWindows1252(FormatSpeed(bytesPerSecond, kSpanishFigures.decimal));
}

std::wstring FiguresText(const TTransferFigures& figures) {
    return FromWindows1252(FormatFigures(figures, kSpanishFigures));
}
