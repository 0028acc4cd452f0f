// The kinds of control and the helpers of the window: the bar's fill rule,
// the error box text, the outline region, the image button's pictures and
// clicks, dragging the window, and a bare form's timers and error report.
#include "GuiFixture.h"

#include <climits>
#include <stdexcept>

namespace {

TEST(ProgressFillWidth, RoundsHalfToEvenAndHandlesEmptyLargeAndInvertedRanges) {
    EXPECT_EQ(ProgressFillWidth(0, 8, 1, 940), 118);     // 117.5
    EXPECT_EQ(ProgressFillWidth(0, 8, 3, 940), 352);     // 352.5
    EXPECT_EQ(ProgressFillWidth(0, 3, 2, 940), 627);     // 626.67
    EXPECT_EQ(ProgressFillWidth(0, 100, 50, 225), 112);  // 112.5
    EXPECT_EQ(ProgressFillWidth(0, 100, 0, 940), 0);
    EXPECT_EQ(ProgressFillWidth(5, 5, 9, 940), 0);
    EXPECT_EQ(ProgressFillWidth(0, INT_MAX, INT_MAX, 940), 940);
    EXPECT_EQ(ProgressFillWidth(INT_MIN, INT_MAX, 0, 940), 470);  // a hair over 470
    EXPECT_EQ(ProgressFillWidth(0, 10, 50, 940), 4700);           // maximum lowered below the position
    EXPECT_EQ(ProgressFillWidth(0, -10, 5, 940), 470);            // the distance counts
}

TEST(ErrorBoxText, AppendsAFullStopAfterCharactersBeyondIt) {
    EXPECT_EQ(ErrorBoxText("Acceso denegado"), "Acceso denegado.");
    EXPECT_EQ(ErrorBoxText("error 5"), "error 5.");
    EXPECT_EQ(ErrorBoxText("Listo."), "Listo.");
    EXPECT_EQ(ErrorBoxText("¿Qué?!"), "¿Qué?!");  // '!' comes before '.'
    EXPECT_EQ(ErrorBoxText("ruta -"), "ruta -");
    EXPECT_EQ(ErrorBoxText("ruta/"), "ruta/.");          // '/' comes after '.'
    EXPECT_EQ(ErrorBoxText("estad\xED"), "estad\xED.");  // high characters too
    EXPECT_EQ(ErrorBoxText(""), "");
}

// A picture with the key colour at (0,0), a frame, and holes inside.
TEST(CreateOutlineRegion, CutsExactlyTheKeyColouredPixels) {
    const int w = 37;
    const int h = 23;
    const std::uint32_t key = 0xFF09FF00;
    std::vector<std::uint32_t> pixels(w * h, 0xFF102030);
    auto at = [&](int x, int y) -> std::uint32_t& { return pixels[y * w + x]; };
    for (int x = 0; x < w; ++x) at(x, 0) = at(x, h - 1) = key;
    for (int y = 0; y < h; ++y) at(0, y) = at(w - 1, y) = key;
    at(10, 10) = key;                                 // a single hole
    for (int x = 5; x < 30; x += 2) at(x, 15) = key;  // a comb
    at(20, 5) = 0xFE09FF00;                           // not the key (alpha differs)
    at(21, 5) = 0xFF09FF01;                           // nor this
    TRegionHandle region = CreateOutlineRegion(pixels.data(), w, h);
    for (int y = -1; y <= h; ++y)
        for (int x = -1; x <= w; ++x) {
            const bool inside = x >= 0 && y >= 0 && x < w && y < h && at(x, y) != key;
            EXPECT_EQ(PtInRegion(region.Get(), x, y) != FALSE, inside) << x << "," << y;
        }
}
using TControlsTest = TFMainTest;

TEST_F(TControlsTest, ImageButtonShowsHoverPressedAndNormalPictures) {
    const auto& art = form->Art();
    const TImgBtn& b = form->ImgBtn2;
    const int x = b.Left() + 100;
    const int y = b.Top() + 20;
    auto shows = [&](const TPicture& pic) {
        return OpaqueMatch(form->Render(), pic, b.Left(), b.Top(), b.BoundsRect()) == 1.0;
    };
    EXPECT_TRUE(shows(*art.CheckNormal));
    Mouse(WM_MOUSEMOVE, x, y);
    EXPECT_EQ(b.Current(), art.CheckHover.get());
    EXPECT_TRUE(shows(*art.CheckHover));
    Mouse(WM_LBUTTONDOWN, x, y);
    EXPECT_EQ(b.Current(), art.CheckDown.get());
    EXPECT_TRUE(shows(*art.CheckDown));
    // Moving off while held shows the normal picture; back on, pressed.
    Mouse(WM_MOUSEMOVE, 500, 250);
    EXPECT_EQ(b.Current(), art.CheckNormal.get());
    Mouse(WM_MOUSEMOVE, x, y);
    EXPECT_EQ(b.Current(), art.CheckDown.get());
    Mouse(WM_LBUTTONUP, x, y);
    EXPECT_EQ(b.Current(), art.CheckHover.get());
    EXPECT_EQ(runs.size(), 1u);  // the click
    Mouse(WM_MOUSEMOVE, 500, 250);
    EXPECT_EQ(b.Current(), art.CheckNormal.get());
}

TEST_F(TControlsTest, AClickNeedsTheLeftButtonPressedAndReleasedOverTheButton) {
    const TImgBtn& web = form->ImgBtn4;
    const int x = web.Left() + 10;
    const int y = web.Top() + 10;
    Mouse(WM_MOUSEMOVE, x, y);
    Mouse(WM_LBUTTONDOWN, x, y);
    Mouse(WM_MOUSEMOVE, 500, 250);
    Mouse(WM_LBUTTONUP, 500, 250);  // released elsewhere
    EXPECT_TRUE(addresses.empty());
    Mouse(WM_LBUTTONDOWN, 500, 250);  // pressed elsewhere
    Mouse(WM_MOUSEMOVE, x, y);
    Mouse(WM_LBUTTONUP, x, y);
    EXPECT_TRUE(addresses.empty());
    Mouse(WM_RBUTTONDOWN, x, y);  // another button
    Mouse(WM_RBUTTONUP, x, y);
    EXPECT_TRUE(addresses.empty());
    Click(x, y);
    EXPECT_EQ(addresses.size(), 1u);
}
RECT WindowRect(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    return r;
}

TEST_F(TControlsTest, DraggingTheBackgroundMovesTheWindowWithThePressedPoint) {
    const RECT start = WindowRect(form->Handle());
    Mouse(WM_LBUTTONDOWN, 500, 250);
    Mouse(WM_MOUSEMOVE, 510, 245);
    RECT r = WindowRect(form->Handle());
    EXPECT_EQ(r.left - start.left, 10);
    EXPECT_EQ(r.top - start.top, -5);
    // The window moved, so the same client point is the new pointer place.
    Mouse(WM_MOUSEMOVE, 500, 250);
    Mouse(WM_LBUTTONUP, 500, 250);
    Mouse(WM_MOUSEMOVE, 530, 280);  // released: no more moving
    EXPECT_EQ(WindowRect(form->Handle()).left, r.left);

    // The right button drags too.
    const RECT before = WindowRect(form->Handle());
    Mouse(WM_RBUTTONDOWN, 500, 250);
    Mouse(WM_MOUSEMOVE, 503, 254);
    Mouse(WM_RBUTTONUP, 503, 254);
    r = WindowRect(form->Handle());
    EXPECT_EQ(r.left - before.left, 3);
    EXPECT_EQ(r.top - before.top, 4);

    // A press on a control does not drag.
    const RECT still = WindowRect(form->Handle());
    Mouse(WM_LBUTTONDOWN, form->ImgBtn3.Left() + 5, form->ImgBtn3.Top() + 5);
    Mouse(WM_MOUSEMOVE, 600, 300);
    Mouse(WM_LBUTTONUP, 600, 300);
    EXPECT_EQ(WindowRect(form->Handle()).left, still.left);
    EXPECT_EQ(WindowRect(form->Handle()).top, still.top);
}

TEST_F(TControlsTest, MenuHasItsItemsInOrderAndPicturesOnTheLastThree) {
    HMENU menu = form->PopupMenu1.Handle();
    ASSERT_EQ(GetMenuItemCount(menu), 12);
    // clang-format off
    const wchar_t* captions[] = {L"Web", L"Foro", L"", L"Comprobar Archivos", L"Pausar descarga", L"Limitar descarga",
                                 L"Canal", L"", L"Maximizar", L"Minimizar", L"", L"Cerrar"};
    // clang-format on
    for (int i = 0; i < 12; ++i) {
        wchar_t text[64] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STRING | MIIM_ID;
        info.dwTypeData = text;
        info.cch = 64;
        ASSERT_TRUE(GetMenuItemInfoW(menu, i, TRUE, &info));
        if (!*captions[i]) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR) << i;
            continue;
        }
        EXPECT_STREQ(text, captions[i]);
        const TMenuItem* item = form->PopupMenu1.Find(info.wID);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->Bitmap() != nullptr, i >= 8) << i;
    }
    EXPECT_EQ(form->Maximise1.Bitmap(), form->Art().MenuRestore);
    EXPECT_EQ(form->Minimise1.Bitmap(), form->Art().MenuMinimise);
    EXPECT_EQ(form->Close1.Bitmap(), form->Art().MenuClose);
}

// The menu asks its owner to measure and draw the pictures: every item gets
// the same picture column, and a picture's light grey ground lets the item's
// own background (here a highlight colour) show through.
TEST_F(TControlsTest, MenuPicturesAreDrawnOverTheItemBackgroundWithTheirGroundTransparent) {
    const TPopupMenu& menu = form->PopupMenu1;
    MEASUREITEMSTRUCT measure{};
    measure.CtlType = ODT_MENU;
    measure.itemData = form->Home1.Id();
    ASSERT_TRUE(menu.OwnerMessage(WM_MEASUREITEM, reinterpret_cast<LPARAM>(&measure)));
    EXPECT_EQ(measure.itemWidth, 24u);
    EXPECT_EQ(measure.itemHeight, 0u);
    measure.itemData = form->Close1.Id();
    ASSERT_TRUE(menu.OwnerMessage(WM_MEASUREITEM, reinterpret_cast<LPARAM>(&measure)));
    EXPECT_EQ(measure.itemWidth, 24u);
    EXPECT_EQ(measure.itemHeight, 24u);

    std::uint32_t* bits = nullptr;
    TBitmapHandle target = CreateDib32(30, 30, &bits);
    TMemoryDC dc(CreateCompatibleDC(nullptr));
    TSelectObject select(dc.Get(), target.Get());
    const std::uint32_t highlight = 0x3399FF;
    std::fill(bits, bits + 900, highlight);
    DRAWITEMSTRUCT draw{};
    draw.CtlType = ODT_MENU;
    draw.itemData = form->Close1.Id();
    draw.hDC = dc.Get();
    draw.rcItem = RECT{3, 3, 27, 27};
    ASSERT_TRUE(menu.OwnerMessage(WM_DRAWITEM, reinterpret_cast<LPARAM>(&draw)));
    GdiFlush();
    const TPicture& picture = *form->Art().MenuClose;
    int ground = 0;
    int drawn = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            const std::uint32_t source = picture.Pixel(x, y);
            const std::uint32_t shown = bits[(y + 3) * 30 + x + 3] & 0xFFFFFFu;
            if ((source >> 24) == 0) {
                ++ground;
                EXPECT_EQ(shown, highlight) << x << "," << y;
            } else if ((source >> 24) == 0xFF) {
                ++drawn;
                EXPECT_EQ(shown, source & 0xFFFFFFu) << x << "," << y;
            }
        }
    EXPECT_GT(ground, 200);
    EXPECT_GT(drawn, 20);
    // Outside the item nothing changed.
    EXPECT_EQ(bits[0] & 0xFFFFFFu, highlight);
}

// A form of the control library alone, without the launcher window.
class TBareForm : public TForm {
public:
    explicit TBareForm(TErrorReport report) : TForm(std::move(report)) {}
    void Create() { CreateHandle(L"bare form", 40, 30, nullptr, nullptr); }
};

TEST(TBareFormTimers, TicksReachOnlyTheirEnabledTimerAndErrorsGoToTheFormsOwnReport) {
    std::vector<std::string> reported;
    TBareForm form([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reported.push_back(e.what());
        }
    });
    // The application's box must see nothing: the form has its own report.
    std::vector<std::string> boxes;
    const auto savedBox = Application.ErrorBox;
    Application.ErrorBox = [&](const std::string& text) { boxes.push_back(text); };

    int aTicks = 0;
    int bTicks = 0;
    TTimer a(form, 10);
    TTimer b(form, 10);
    a.OnTimer = [&] { ++aTicks; };
    b.OnTimer = [&] {
        ++bTicks;
        throw std::runtime_error("b failed");
    };
    a.SetEnabled(true);  // before the window: armed when the window comes
    form.Create();
    ASSERT_NE(form.Handle(), nullptr);
    EXPECT_NE(a.Id(), b.Id());

    // A tick reaches its own timer only; a disabled timer's tick runs nothing.
    SendMessageW(form.Handle(), WM_TIMER, b.Id(), 0);
    EXPECT_EQ(bTicks, 0);
    b.SetEnabled(true);
    SendMessageW(form.Handle(), WM_TIMER, b.Id(), 0);
    b.SetEnabled(false);
    EXPECT_EQ(bTicks, 1);
    EXPECT_EQ(reported, std::vector<std::string>{"b failed"});

    // Armed before the window existed, a ticks for real.
    EXPECT_TRUE(PumpUntil([&] { return aTicks >= 2; }, std::chrono::seconds(10)));
    a.SetEnabled(false);
    const int ticks = aTicks;
    SendMessageW(form.Handle(), WM_TIMER, a.Id(), 0);
    EXPECT_EQ(aTicks, ticks);
    EXPECT_EQ(bTicks, 1);
    EXPECT_TRUE(boxes.empty());
    Application.ErrorBox = savedBox;
}

}  // namespace
