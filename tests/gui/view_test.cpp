// The views of the window, the frame animation, the end-of-install notice
// and the bars, checked on the window's own rendering.
#include "GuiFixture.h"

#include <objidl.h>
#include <gdiplus.h>

#include <string>

namespace {

struct TViewState {
    bool ImgBtn1, ImgBtn2, Image5, Image4, Bar2, Label1, Label2, Image6, Image7, Image8, Bar1, CheckFiles1;
};

TViewState StateOf(const TFMain& f) {
    return {f.ImgBtn1.Visible(),
            f.ImgBtn2.Visible(),
            f.Image5.Visible(),
            f.Image4.Visible(),
            f.ALProgressBar2.Visible(),
            f.DBAdvSmoothLabel1.Visible(),
            f.DBAdvSmoothLabel2.Visible(),
            f.Image6.Visible(),
            f.Image7.Visible(),
            f.Image8.Visible(),
            f.ALProgressBar1.Visible(),
            f.CheckFiles1.Enabled()};
}

bool MenuItemGreyed(const TFMain& f, const TMenuItem& item) {
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_STATE;
    EXPECT_TRUE(GetMenuItemInfoW(f.PopupMenu1.Handle(), item.Id(), FALSE, &info));
    return (info.fState & MFS_DISABLED) != 0;
}

// Whether the picture of a control shows on the rendering (its opaque pixels
// all unchanged) or not (most of them changed).
bool Drawn(const TPixels& screen, const TImage& image) {
    return OpaqueMatch(screen, *image.Picture(), image.Left(), image.Top(), image.BoundsRect()) == 1.0;
}
bool Drawn(const TPixels& screen, const TImgBtn& button, const TPicture& picture) {
    return OpaqueMatch(screen, picture, button.Left(), button.Top(), button.BoundsRect()) == 1.0;
}
bool Absent(const TPixels& screen, const TPicture& picture, int left, int top, const RECT& clip) {
    return OpaqueMatch(screen, picture, left, top, clip) < 0.5;
}

using TViewTest = TFMainTest;

TEST_F(TViewTest, InitialViewShowsPlayAndCheckWithEmptyLabelsAndNoAnimation) {
    const TViewState s = StateOf(*form);
    EXPECT_TRUE(s.ImgBtn1 && s.ImgBtn2 && s.Label1 && s.Label2 && s.CheckFiles1);
    EXPECT_FALSE(s.Image5 || s.Image4 || s.Bar2 || s.Image6 || s.Image7 || s.Image8 || s.Bar1);
    EXPECT_FALSE(form->Image10.Visible());
    EXPECT_TRUE(form->DBAdvSmoothLabel1.Caption().empty());
    EXPECT_TRUE(form->DBAdvSmoothLabel2.Caption().empty());
    EXPECT_TRUE(form->Timer1.Enabled());
    EXPECT_EQ(form->Timer1.Interval(), 50u);
    EXPECT_FALSE(form->Timer3.Enabled() || form->Timer4.Enabled() || form->Timer5.Enabled());
    EXPECT_FALSE(MenuItemGreyed(*form, form->CheckFiles1));
    EXPECT_EQ(form->ALProgressBar2.Position(), 100);
    EXPECT_EQ(form->ALProgressBar2.Max(), 100);
    EXPECT_EQ(form->ALProgressBar1.Position(), 0);

    const TPixels screen = form->Render();
    ASSERT_EQ(screen.Width, 995);
    ASSERT_EQ(screen.Height, 524);
    const auto& art = form->Art();
    EXPECT_TRUE(Drawn(screen, form->ImgBtn1, *art.PlayNormal));
    EXPECT_TRUE(Drawn(screen, form->ImgBtn2, *art.CheckNormal));
    EXPECT_TRUE(Drawn(screen, form->ImgBtn3, *art.ExitNormal));
    EXPECT_TRUE(Drawn(screen, form->ImgBtn11, *art.MinNormal));
    EXPECT_TRUE(Drawn(screen, form->ImgBtn4, *art.WebNormal));
    EXPECT_TRUE(Drawn(screen, form->ImgBtn5, *art.ForumNormal));
    EXPECT_TRUE(Absent(screen, *art.Skull, 378, 393, form->Image5.BoundsRect()));
    EXPECT_TRUE(Absent(screen, *art.Trough, 12, 481, form->Image4.BoundsRect()));
    // Where nothing is drawn the background picture shows, pixel for pixel.
    for (const POINT p : {POINT{100, 100}, POINT{500, 250}, POINT{980, 300}, POINT{2, 200}})
        EXPECT_EQ(screen.At(p.x, p.y), art.Background->Pixel(p.x, p.y) & 0xFFFFFFu) << p.x << "," << p.y;
}

TEST_F(TViewTest, UpdateViewReplacesButtonsByStatusBarAndOrnament) {
    form->Image10.Show();
    form->BeginUpdateView();
    const TViewState s = StateOf(*form);
    EXPECT_TRUE(s.Image5 && s.Image4 && s.Bar2 && s.Label1 && s.Label2);
    EXPECT_FALSE(s.ImgBtn1 || s.ImgBtn2 || s.Image6 || s.Image7 || s.Image8 || s.Bar1 || s.CheckFiles1);
    EXPECT_FALSE(form->Image10.Visible());
    EXPECT_TRUE(form->Timer3.Enabled());
    EXPECT_FALSE(form->Timer4.Enabled() || form->Timer5.Enabled());
    EXPECT_TRUE(MenuItemGreyed(*form, form->CheckFiles1));

    const TPixels screen = form->Render();
    const auto& art = form->Art();
    EXPECT_TRUE(Drawn(screen, form->Image5));
    // The trough shows around the bar, the bar is full (100 of 100).
    RECT troughOnly = form->Image4.BoundsRect();
    troughOnly.right = form->ALProgressBar2.Left();
    EXPECT_EQ(OpaqueMatch(screen, *art.Trough, 12, 481, troughOnly), 1.0);
    RECT belowOrnament = form->ALProgressBar2.BoundsRect();
    belowOrnament.top = form->Image5.BoundsRect().bottom;
    EXPECT_EQ(OpaqueMatch(screen, *art.BarTotal, 22, 488, belowOrnament), 1.0);
    EXPECT_TRUE(Absent(screen, *art.CheckNormal, 679, 464, form->ImgBtn2.BoundsRect()));
    // Only the parts of the play button that the ornament leaves uncovered.
    RECT playLeft{356, 416, 378, 506};
    EXPECT_TRUE(Absent(screen, *art.PlayNormal, 356, 416, playLeft));
}

TEST_F(TViewTest, IdleViewHidesStatusAndKeepsTheNotice) {
    form->BeginUpdateView();
    form->Timer3Timer();
    form->Timer4Timer();
    form->ShowUpdateFinished(false);
    form->EndUpdateView(TFailure{});
    const TViewState s = StateOf(*form);
    EXPECT_TRUE(s.ImgBtn1 && s.ImgBtn2 && s.CheckFiles1);
    EXPECT_FALSE(s.Image5 || s.Image4 || s.Bar2 || s.Label1 || s.Label2 || s.Image6 || s.Image7 || s.Image8 || s.Bar1);
    EXPECT_FALSE(form->Timer3.Enabled() || form->Timer4.Enabled() || form->Timer5.Enabled());
    EXPECT_FALSE(MenuItemGreyed(*form, form->CheckFiles1));
    EXPECT_TRUE(form->Image10.Visible());

    const TPixels screen = form->Render();
    EXPECT_TRUE(Drawn(screen, form->ImgBtn1, *form->Art().PlayNormal));
    EXPECT_TRUE(Drawn(screen, form->Image10));
}

TEST_F(TViewTest, FramesCycleOneAtATimeAndHandOnToTheNextTimer) {
    form->BeginUpdateView();
    const auto& frame = *form->Art().Frame;
    struct Step {
        void (TFMain::*tick)();
        const TImage* shown;
        int timer;  // 3, 4 or 5: the one left enabled
    };
    const Step steps[] = {{&TFMain::Timer3Timer, &form->Image6, 4},
                          {&TFMain::Timer4Timer, &form->Image7, 5},
                          {&TFMain::Timer5Timer, &form->Image8, 3},
                          {&TFMain::Timer3Timer, &form->Image6, 4}};
    for (const Step& step : steps) {
        (form.get()->*step.tick)();
        for (const TImage* image : {&form->Image6, &form->Image7, &form->Image8})
            EXPECT_EQ(image->Visible(), image == step.shown);
        EXPECT_EQ(form->Timer3.Enabled(), step.timer == 3);
        EXPECT_EQ(form->Timer4.Enabled(), step.timer == 4);
        EXPECT_EQ(form->Timer5.Enabled(), step.timer == 5);
        EXPECT_EQ(form->Timer3.Interval(), 300u);

        // The one picture shows at the frame's place, clipped to 177 x 153.
        const TPixels screen = form->Render();
        EXPECT_TRUE(Drawn(screen, *step.shown));
        for (const TImage* image : {&form->Image6, &form->Image7, &form->Image8}) {
            if (image == step.shown) continue;
            RECT own = image->BoundsRect();  // the part that the shown frame leaves alone
            RECT shown = step.shown->BoundsRect();
            if (own.left < shown.left)
                own.right = shown.left;
            else
                own.left = shown.right;
            EXPECT_TRUE(Absent(screen, frame, image->Left(), image->Top(), own));
        }
    }
    // Ending the view during a frame hides it; the next run starts at Timer3.
    form->Timer4Timer();
    form->EndUpdateView(TFailure{});
    EXPECT_FALSE(form->Image6.Visible() || form->Image7.Visible() || form->Image8.Visible());
    form->BeginUpdateView();
    EXPECT_TRUE(form->Timer3.Enabled());
    EXPECT_FALSE(form->Timer4.Enabled() || form->Timer5.Enabled());
    EXPECT_FALSE(form->Image6.Visible() || form->Image7.Visible() || form->Image8.Visible());
}

TEST_F(TViewTest, FinishedInstallShowsBalloonBringsWindowBackAndShowsNotice) {
    EXPECT_FALSE(IsWindowVisible(form->Handle()));
    form->BeginUpdateView();
    notifications.clear();
    form->ShowUpdateFinished(false);
    EXPECT_TRUE(form->Image10.Visible());
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    // The balloon still shown is withdrawn first, then the new one.
    ASSERT_EQ(notifications.size(), 2u);
    EXPECT_EQ(notifications[0].Message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(notifications[0].Flags & NIF_INFO, static_cast<UINT>(NIF_INFO));
    EXPECT_TRUE(notifications[0].Info.empty());
    EXPECT_EQ(notifications[1].Message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(notifications[1].InfoTitle, L"Corvel - Updater");
    EXPECT_EQ(notifications[1].Info,
              L"Todos los archivos han sido actualizados!\rDisfruta tu estad\u00EDa en nuestro servidor!");
    EXPECT_EQ(notifications[1].InfoFlags & 3u, static_cast<DWORD>(NIIF_INFO));
    EXPECT_EQ(notifications[1].Timeout, 10000u);

    // The notice is clipped to its 350 columns.
    const TPixels screen = form->Render();
    EXPECT_TRUE(Drawn(screen, form->Image10));
    RECT beyond{937, 300, 995, 375};
    EXPECT_TRUE(Absent(screen, *form->Art().Notice, 587, 300, beyond));
}

TEST_F(TViewTest, FailedInstallShowsNoBalloonButStillTheNoticeAndTheWindow) {
    form->BeginUpdateView();
    // Minimised to the tray first: the window comes back.
    form->ImgBtn11Click();
    ASSERT_TRUE(IsIconic(form->Handle()));
    notifications.clear();
    form->ShowUpdateFinished(true);
    EXPECT_TRUE(notifications.empty());
    EXPECT_FALSE(IsIconic(form->Handle()));
    EXPECT_TRUE(IsWindowVisible(form->Handle()));
    EXPECT_TRUE(form->Image10.Visible());
}

// The idle view after a failed run says why, in the status line's place,
// until the next run; a stopped or successful run leaves nothing there.
TEST_F(TViewTest, AFailedRunLeavesItsReasonInTheIdleView) {
    const struct {
        TFailure failure;
        const wchar_t* shown;
    } cases[] = {
        {{TFault::DiskFull, 112, "", "", "", 0, std::uint64_t{120} << 20}, L"Falta espacio: se necesitan 120 MB m\u00E1s"},
        {{TFault::InUse, 32, "", "data\\mapa1.map", "gc.exe", 77}, L"Cierra gc.exe y pulsa Comprobar Archivos"},
        {{TFault::InUse, 32, "", "data\\mapa1.map"}, L"Archivo en uso: cierra el juego y pulsa Comprobar Archivos"},
        {{TFault::DigestMismatch, 0, "", "data\\mapa1.map"}, L"mapa1.map lleg\u00F3 da\u00F1ado"},
        {{TFault::NotTrusted, 0, "", ""}, L"Lista de archivos sin firma v\u00E1lida"},
        {{TFault::NotTrusted, 0, "", "CorvelUpdater.exe"}, L"Firma no v\u00E1lida: CorvelUpdater.exe"},
        {{TFault::Stopped, 0, ""}, nullptr},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        form->BeginUpdateView();
        form->EndUpdateView(c.failure);
        if (c.shown) {
            EXPECT_TRUE(form->DBAdvSmoothLabel1.Visible());
            EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), c.shown);
        } else {
            EXPECT_FALSE(form->DBAdvSmoothLabel1.Visible());
        }
        EXPECT_FALSE(form->DBAdvSmoothLabel2.Visible());
        EXPECT_TRUE(form->ImgBtn1.Visible());
    }
}

TEST_F(TViewTest, NoticeGoesWhenThePointerEntersAnyButton) {
    const TControl* buttons[] = {&form->ImgBtn1, &form->ImgBtn2, &form->ImgBtn3,
                                 &form->ImgBtn4, &form->ImgBtn5, &form->ImgBtn11};
    for (const TControl* button : buttons) {
        form->ShowUpdateFinished(true);
        Mouse(WM_MOUSEMOVE, 500, 250);  // bare background: nothing happens
        EXPECT_TRUE(form->Image10.Visible());
        Mouse(WM_MOUSEMOVE, button->Left() + button->Width() / 2, button->Top() + button->Height() / 2);
        EXPECT_FALSE(form->Image10.Visible()) << "button at " << button->Left();
        // Leaving does not bring it back.
        Mouse(WM_MOUSEMOVE, 500, 250);
        EXPECT_FALSE(form->Image10.Visible());
    }
    // Entering the notice itself does not dismiss it.
    form->ShowUpdateFinished(true);
    Mouse(WM_MOUSEMOVE, 600, 320);
    EXPECT_TRUE(form->Image10.Visible());
}

TEST_F(TViewTest, TotalBarFillFollowsThePositionRule) {
    form->BeginUpdateView();
    const auto& bar = *form->Art().BarTotal;
    const std::uint32_t back = 0x110D0A;  // the bar's background colour
    auto fillOnScreen = [&] {
        const TPixels screen = form->Render();
        const int y = 488 + 7;
        int x = 22;
        while (x < 962 && screen.At(x, y) == (bar.Pixel(x - 22, 7) & 0xFFFFFFu)) ++x;
        for (int rest = x; rest < 962; ++rest) EXPECT_EQ(screen.At(rest, y), back) << rest;
        return x - 22;
    };
    EXPECT_EQ(fillOnScreen(), 940);  // 100 of 100 at the start
    form->SyncProgressMax(1, 8);
    EXPECT_EQ(form->ALProgressBar2.Max(), 8);
    // 100 > 8: ignored, and the fill is wider than the bar, so full.
    form->SyncTotalProgress(100);
    EXPECT_EQ(form->ALProgressBar2.Position(), 100);
    EXPECT_EQ(fillOnScreen(), 940);
    form->SyncTotalProgress(1);  // 117.5 -> 118 (even)
    EXPECT_EQ(fillOnScreen(), 118);
    form->SyncTotalProgress(3);  // 352.5 -> 352 (even)
    EXPECT_EQ(fillOnScreen(), 352);
    form->SyncTotalProgress(0);
    EXPECT_EQ(fillOnScreen(), 0);
    form->SyncTotalProgress(-1);  // below the minimum: ignored
    EXPECT_EQ(form->ALProgressBar2.Position(), 0);
    form->SyncTotalProgress(8);
    EXPECT_EQ(fillOnScreen(), 940);
    form->SyncTotalProgress(9);  // above the maximum: ignored, stays full
    EXPECT_EQ(form->ALProgressBar2.Position(), 8);
    EXPECT_EQ(fillOnScreen(), 940);
    // A maximum of 0 shows no fill whatever the position; 1 is then ignored.
    form->SyncTotalProgress(0);
    form->SyncProgressMax(1, 0);
    form->SyncTotalProgress(1);
    EXPECT_EQ(form->ALProgressBar2.Position(), 0);
    EXPECT_EQ(fillOnScreen(), 0);
}

TEST_F(TViewTest, FileBarOperationsChangeOnlyTheHiddenFileBar) {
    form->BeginUpdateView();
    const TPixels before = form->Render();
    form->SyncProgressMax(0, 1000);
    form->SyncFileProgress(300);
    EXPECT_EQ(form->ALProgressBar1.Max(), 1000);
    EXPECT_EQ(form->ALProgressBar1.Position(), 300);
    form->SyncExtractProgress(700);
    EXPECT_EQ(form->ALProgressBar1.Position(), 700);
    form->SyncProgressMax(2, 5);  // any other selector sets nothing
    EXPECT_EQ(form->ALProgressBar1.Max(), 1000);
    EXPECT_EQ(form->ALProgressBar2.Max(), 100);
    EXPECT_FALSE(form->ALProgressBar1.Visible());
    const TPixels after = form->Render();
    EXPECT_EQ(DifferingPixels(before, after, RECT{0, 0, 995, 524}), 0);
}

TEST_F(TViewTest, StatusLinesDrawTheirTextsAccentsIncluded) {
    form->BeginUpdateView();
    const RECT line1 = form->DBAdvSmoothLabel1.BoundsRect();
    const RECT line2 = form->DBAdvSmoothLabel2.BoundsRect();
    const TPixels blank = form->Render();

    // Georgia, or where it is missing an installed serif, is drawn.
    EXPECT_TRUE(Gdiplus::FontFamily(TDBAdvSmoothLabel::FontFamilyName().c_str()).IsAvailable());
    form->SyncStatus(TRunPhase::Failed, "Actualizaci\xF3n Fallida", "system\\data\\a.dat");  // Windows-1252
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), L"Actualizaci\u00F3n Fallida");
    EXPECT_EQ(form->DBAdvSmoothLabel2.Caption(), L"system\\data\\a.dat");
    const TPixels accented = form->Render();
    EXPECT_GT(DifferingPixels(blank, accented, line1), 100);
    EXPECT_GT(DifferingPixels(blank, accented, line2), 100);
    // Nothing is drawn outside the labels.
    RECT above{0, 0, 995, 462};
    EXPECT_EQ(DifferingPixels(blank, accented, above), 0);

    // The accent itself is drawn: the same text without it differs.
    form->SyncStatus(TRunPhase::Failed, "Actualizacion Fallida", "");
    const TPixels plain = form->Render();
    EXPECT_GT(DifferingPixels(plain, accented, line1), 0);
    EXPECT_EQ(DifferingPixels(blank, plain, line2), 0);  // empty detail: blank

    form->SyncStatus(TRunPhase::Idle, "", "");
    EXPECT_EQ(DifferingPixels(blank, form->Render(), RECT{0, 0, 995, 524}), 0);
}

TEST_F(TViewTest, StatusTextIsShadedFromLightTopToDarkerBottomAndAnchored) {
    form->BeginUpdateView();
    const TPixels blank = form->Render();
    form->SyncStatus(TRunPhase::Searching, "Buscando Actualizaciones...", "Hdlbk\\Hdlbk.dat");
    const TPixels text = form->Render();
    // Per row, the greenest text pixel: the gradient runs from green 0xD8 at
    // the top of the text to 0x87 at its bottom.
    auto rowsOf = [&](const RECT& r) {
        std::vector<int> rows;
        int left = r.right, right = r.left;
        for (int y = r.top; y < r.bottom; ++y) {
            int best = -1;
            for (int x = r.left; x < r.right; ++x) {
                if (text.At(x, y) == blank.At(x, y)) continue;
                left = std::min(left, x);
                right = std::max(right, x);
                best = std::max<int>(best, (text.At(x, y) >> 8) & 0xFF);
            }
            if (best >= 0) rows.push_back(best);
        }
        return std::make_tuple(rows, left, right);
    };
    auto [rows1, left1, right1] = rowsOf(form->DBAdvSmoothLabel1.BoundsRect());
    ASSERT_GE(rows1.size(), 6u);
    EXPECT_GT(rows1[1], rows1[rows1.size() - 2]);
    EXPECT_GT(rows1.front(), 0);
    // Line 1 anchored left, line 2 right.
    EXPECT_LE(left1, form->DBAdvSmoothLabel1.Left() + 3);
    auto [rows2, left2, right2] = rowsOf(form->DBAdvSmoothLabel2.BoundsRect());
    ASSERT_FALSE(rows2.empty());
    EXPECT_GE(right2, form->DBAdvSmoothLabel2.BoundsRect().right - 4);
    EXPECT_GT(left2, form->DBAdvSmoothLabel2.Left() + 100);
}

TEST_F(TViewTest, EveryCaptionChangeIsPaintedAndACaptionAlwaysLooksTheSame) {
    // The labels keep their text drawn between paints: a caption that changed
    // must never show the text it replaced.
    form->BeginUpdateView();
    const RECT line1 = form->DBAdvSmoothLabel1.BoundsRect();
    const RECT line2 = form->DBAdvSmoothLabel2.BoundsRect();
    const RECT all{0, 0, 995, 524};
    const TPixels blank = form->Render();
    form->SyncStatus(TRunPhase::Checking, "Comprobando...", " d00\\f0001.txt");
    const TPixels first = form->Render();
    form->SyncStatus(TRunPhase::Checking, "Comprobando...", " d00\\f0002.txt");
    const TPixels second = form->Render();
    EXPECT_GT(DifferingPixels(first, second, line2), 0);
    EXPECT_EQ(DifferingPixels(first, second, line1), 0);
    EXPECT_GT(DifferingPixels(blank, second, line1), 100);

    // Back to an earlier caption: exactly its first rendering.
    form->SyncStatus(TRunPhase::Checking, "Comprobando...", " d00\\f0001.txt");
    EXPECT_EQ(DifferingPixels(first, form->Render(), all), 0);

    // Changed while hidden: shown with the new caption.
    form->DBAdvSmoothLabel2.Hide();
    form->DBAdvSmoothLabel2.SetCaption(L" d00\\f0002.txt");
    form->DBAdvSmoothLabel2.Show();
    EXPECT_EQ(DifferingPixels(second, form->Render(), all), 0);
}

TEST_F(TViewTest, TheWindowShowsWhatItRendersAsStatusAndBarChange) {
    // A frame repaints the parts that changed, each from the topmost control
    // that hides it: the screen must still match the whole rendering.
    form->BeginUpdateView();
    ShowWindow(form->Handle(), SW_SHOWNOACTIVATE);
    const RECT band{10, 440, 985, 515};  // both lines and the bar, inside the outline
    auto differingOnScreen = [&] {
        UpdateWindow(form->Handle());
        const TPixels rendering = form->Render();
        std::uint32_t* bits = nullptr;
        const TBitmapHandle shot = CreateDib32(rendering.Width, rendering.Height, &bits);
        TMemoryDC shotDC(CreateCompatibleDC(nullptr));
        {
            const TSelectObject select(shotDC.Get(), shot.Get());
            HDC window = GetDC(form->Handle());
            BitBlt(shotDC.Get(), 0, 0, rendering.Width, rendering.Height, window, 0, 0, SRCCOPY);
            ReleaseDC(form->Handle(), window);
            GdiFlush();
        }
        TPixels shown = rendering;
        shown.Data.assign(bits, bits + rendering.Data.size());
        return DifferingPixels(rendering, shown, band);
    };
    EXPECT_EQ(differingOnScreen(), 0);
    form->SyncStatus(TRunPhase::Checking, "Comprobando...", " d00\\f0001.txt");
    form->SyncTotalProgress(40);
    EXPECT_EQ(differingOnScreen(), 0);
    // Far apart: the detail line and the bar only.
    form->SyncStatus(TRunPhase::Checking, "Comprobando...", " d00\\f0002.txt");
    form->SyncTotalProgress(41);
    EXPECT_EQ(differingOnScreen(), 0);
    // The bar going back shows the trough's ground again.
    form->SyncProgressMax(1, 1000);
    form->SyncTotalProgress(5);
    EXPECT_EQ(differingOnScreen(), 0);
    form->SyncStatus(TRunPhase::Idle, "", "");
    EXPECT_EQ(differingOnScreen(), 0);
}

TEST_F(TViewTest, OutlineCutsEveryKeyColouredPixelAndNothingElse) {
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(form->Handle(), region), ERROR);
    const TPicture& bg = *form->Art().Background;
    ASSERT_EQ(bg.Width(), 993);
    ASSERT_EQ(bg.Height(), 521);
    const std::uint32_t key = bg.Pixel(0, 0);
    EXPECT_EQ(key & 0xFFFFFFu, 0x09FF00u);  // RGB 9,255,0
    int wrong = 0;
    int holes = 0;
    for (int y = 0; y < 524; ++y) {
        for (int x = 0; x < 995; ++x) {
            const bool picture = x < 993 && y < 521;
            const bool expected = picture && bg.Pixel(x, y) != key;
            holes += picture && !expected;
            if ((PtInRegion(region, x, y) != FALSE) != expected) ++wrong;
        }
    }
    DeleteObject(region);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(holes, 2 * 993 + 3 * 993);  // at least the top and bottom bands
}

}  // namespace
