#include "ui/Artwork.h"

#include "platform/errors.h"
#include "ui/Resources.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

// The menu pictures' ground, made transparent.
constexpr COLORREF kMenuGround = RGB(212, 208, 200);

}  // namespace

TArtwork::TArtwork()
    : Background(TPicture::FromResource(L"BACKGROUND")),
      Frame(TPicture::FromResource(L"FRAME")),
      Trough(TPicture::FromResource(L"TROUGH")),
      BarTotal(TPicture::FromResource(L"BAR_TOTAL")),
      BarFile(TPicture::FromResource(L"BAR_FILE")),
      Skull(TPicture::FromResource(L"SKULL")),
      Notice(TPicture::FromResource(L"NOTICE")),
      CheckNormal(TPicture::FromResource(L"BTN_CHECK_NORMAL")),
      CheckHover(TPicture::FromResource(L"BTN_CHECK_HOVER")),
      CheckDown(TPicture::FromResource(L"BTN_CHECK_DOWN")),
      PlayNormal(TPicture::FromResource(L"BTN_PLAY_NORMAL")),
      PlayHover(TPicture::FromResource(L"BTN_PLAY_HOVER")),
      PlayDown(TPicture::FromResource(L"BTN_PLAY_DOWN")),
      ExitNormal(TPicture::FromResource(L"BTN_EXIT_NORMAL")),
      ExitDown(TPicture::FromResource(L"BTN_EXIT_DOWN")),
      MinNormal(TPicture::FromResource(L"BTN_MIN_NORMAL")),
      MinDown(TPicture::FromResource(L"BTN_MIN_DOWN")),
      WebNormal(TPicture::FromResource(L"BTN_WEB_NORMAL")),
      WebDown(TPicture::FromResource(L"BTN_WEB_DOWN")),
      ForumNormal(TPicture::FromResource(L"BTN_FORUM_NORMAL")),
      ForumDown(TPicture::FromResource(L"BTN_FORUM_DOWN")),
      MenuRestore(TPicture::FromResource(L"MENU_RESTORE", kMenuGround)),
      MenuMinimise(TPicture::FromResource(L"MENU_MINIMISE", kMenuGround)),
      MenuClose(TPicture::FromResource(L"MENU_CLOSE", kMenuGround)),
      Icon(LoadIconResource(L"MAINICON", 32)),
      SmallIcon(LoadIconResource(L"MAINICON", 16)) {}

TRegionHandle CreateOutlineRegion(const std::uint32_t* pixels, int width, int height) {
    std::vector<RECT> runs;
    if (width > 0 && height > 0) {
        const std::uint32_t key = pixels[0];
        for (int y = 0; y < height; ++y) {
            const std::uint32_t* row = pixels + static_cast<std::size_t>(y) * width;
            int x = 0;
            while (x < width) {
                while (x < width && row[x] == key) ++x;
                const int start = x;
                while (x < width && row[x] != key) ++x;
                if (x > start) runs.push_back(RECT{start, y, x, y + 1});
            }
        }
    }
    // Rows top to bottom, runs left to right: the banded order that
    // ExtCreateRegion takes as it is.
    std::vector<std::byte> data(sizeof(RGNDATAHEADER) + runs.size() * sizeof(RECT));
    auto* region = reinterpret_cast<RGNDATA*>(data.data());
    region->rdh.dwSize = sizeof(RGNDATAHEADER);
    region->rdh.iType = RDH_RECTANGLES;
    region->rdh.nCount = static_cast<DWORD>(runs.size());
    region->rdh.nRgnSize = static_cast<DWORD>(runs.size() * sizeof(RECT));
    region->rdh.rcBound = RECT{0, 0, width, height};
    if (!runs.empty()) std::memcpy(region->Buffer, runs.data(), runs.size() * sizeof(RECT));
    TRegionHandle result(ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()), region));
    if (!result) throw Exception("No se pudo crear la forma de la ventana");
    return result;
}
