// Program entry: COM for the main thread, GDI+, DPI awareness, the one
// window centred on the screen, and the message loop.
#include "ui/Application.h"
#include "ui/UnitMain.h"

#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <gdiplus.h>
#include <ole2.h>

#include <chrono>

namespace {

class TOleSession {
public:
    TOleSession() : ok_(SUCCEEDED(OleInitialize(nullptr))) {}
    ~TOleSession() {
        if (ok_) OleUninitialize();
    }
    TOleSession(const TOleSession&) = delete;
    TOleSession& operator=(const TOleSession&) = delete;

private:
    bool ok_;
};

class TGdiplusSession {
public:
    TGdiplusSession() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    ~TGdiplusSession() {
        if (token_) Gdiplus::GdiplusShutdown(token_);
    }
    TGdiplusSession(const TGdiplusSession&) = delete;
    TGdiplusSession& operator=(const TGdiplusSession&) = delete;

private:
    ULONG_PTR token_ = 0;
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Positions are screen pixels whatever the display's scaling.
    SetProcessDPIAware();
    TOleSession ole;  // single-threaded apartment, which the shortcut needs
    TGdiplusSession gdiplus;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    Application.Title = "CorvelUpdater";

    std::unique_ptr<TFMain> form;
    try {
        form = std::make_unique<TFMain>();
    } catch (...) {
        Application.HandleException();
        return 1;
    }
    form->QuitOnDestroy = true;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - TFMain::kClientWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - TFMain::kClientHeight) / 2;
    SetWindowPos(form->Handle(), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(form->Handle(), SW_SHOW);
    UpdateWindow(form->Handle());

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // Closing the window asked a run still active to stop at its next block
    // or entry; every wait for the server honours the stop within a second,
    // so the run removes its temporaries, keeps its resumable partial copies
    // and ends, and is waited for. The bound only guards against a fault of
    // ours: every file a run manages is replaced atomically, so even a run
    // ended with the process leaves nothing half-written.
    form->StopRun(std::chrono::seconds(30));
    form.reset();
    return 0;
}
