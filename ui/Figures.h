// The install's download figures as the window shows them, in Spanish:
// "120 / 700 MB · 3,2 MB/s · faltan 2 min" (engine/view/Figures words them).
#pragma once

#include "engine/view/UpdateView.h"

#include <cstdint>
#include <string>

// How far the downloads are, then the speed and the time left once known,
// or "En pausa" instead of both while paused. Sizes count 1024 bytes to the
// KB, as the menu's limits do. Empty before anything is known.
std::wstring FiguresText(const TTransferFigures& figures);
// The idle view's note on the next publication: "Descargando la próxima
// actualización: 120 / 700 MB" (with "En pausa" while paused) while it is
// fetched, "Próxima actualización lista" once all of it is here; empty when
// it ended short (the log says why: the window never shows it as a failure).
std::wstring NextText(const TNextFigures& next, bool paused);
// A limit of the menu ("1 MB/s", "500 KB/s").
std::wstring SpeedText(std::int64_t bytesPerSecond);
