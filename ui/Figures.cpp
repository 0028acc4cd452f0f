#include "ui/Figures.h"

#include "engine/view/Figures.h"
#include "ui/Resources.h"

std::wstring SpeedText(std::int64_t bytesPerSecond) {
    return FromWindows1252(FormatSpeed(bytesPerSecond, kSpanishFigures.decimal));
}

std::wstring FiguresText(const TTransferFigures& figures) {
    return FromWindows1252(FormatFigures(figures, kSpanishFigures));
}

std::wstring NextText(const TNextFigures& next, bool paused) {
    if (next.going) {
        TTransferFigures figures;
        figures.done = next.staged;
        figures.total = next.needed;
        figures.paused = paused;
        return L"Descargando la pr\u00F3xima actualizaci\u00F3n: " + FiguresText(figures);
    }
    return next.shortOf ? std::wstring() : L"Pr\u00F3xima actualizaci\u00F3n lista";
}
