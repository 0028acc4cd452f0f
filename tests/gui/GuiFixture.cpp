#include "GuiFixture.h"

#include <objidl.h>
#include <gdiplus.h>
#include <ole2.h>

namespace {

// COM (single-threaded) and GDI+ for the test thread, as the program's entry
// sets them up; the pointer is parked away from the test windows.
class TGuiEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        SetProcessDPIAware();
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        // One icon stays in the notification area for the whole program, so
        // that Wine's stand-alone tray window is not shown and hidden again
        // (seconds each without a window manager) as each test's window
        // adds and removes its own.
        keeper_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        NOTIFYICONDATAW data = KeeperIcon();
        Shell_NotifyIconW(NIM_ADD, &data);
    }
    void TearDown() override {
        NOTIFYICONDATAW data = KeeperIcon();
        Shell_NotifyIconW(NIM_DELETE, &data);
        DestroyWindow(keeper_);
        Gdiplus::GdiplusShutdown(token_);
        OleUninitialize();
    }

private:
    NOTIFYICONDATAW KeeperIcon() const {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof(data);
        data.hWnd = keeper_;
        data.uID = 1;
        data.uFlags = NIF_ICON;
        data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512) /* IDI_APPLICATION */);
        return data;
    }

    ULONG_PTR token_ = 0;
    HWND keeper_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(new TGuiEnvironment);

}  // namespace

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        PumpPending();
        if (pred()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left, 20)), QS_ALLINPUT);
    }
}

void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

double OpaqueMatch(const TPixels& screen, const TPicture& picture, int left, int top, const RECT& clip) {
    int opaque = 0;
    int same = 0;
    for (int y = 0; y < picture.Height(); ++y) {
        for (int x = 0; x < picture.Width(); ++x) {
            const POINT p{left + x, top + y};
            if (!PtInRect(&clip, p) || p.x >= screen.Width || p.y >= screen.Height) continue;
            const std::uint32_t pixel = picture.Pixel(x, y);
            if ((pixel >> 24) != 0xFF) continue;
            ++opaque;
            if (screen.At(p.x, p.y) == (pixel & 0xFFFFFFu)) ++same;
        }
    }
    return opaque ? static_cast<double>(same) / opaque : 0.0;
}

int DifferingPixels(const TPixels& a, const TPixels& b, const RECT& area) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (a.At(x, y) != b.At(x, y)) ++count;
    return count;
}

void TFMainTest::SetUp() {
    savedErrorBox_ = Application.ErrorBox;
    Application.ErrorBox = [this](const std::string& text) { errorBoxes.push_back(text); };
    form = std::make_unique<TFMain>();
    ASSERT_NE(form->Handle(), nullptr);
    SetWindowPos(form->Handle(), nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    form->StartRunFn = [this](GFilesThread& run) {
        runs.push_back({run.BaseUrl, run.ForceCheck, run.FreeOnTerminate});
        heldRuns.emplace_back(&run);
    };
    form->RunProgramFn = [this](const std::string& commandLine) { programs.push_back(commandLine); };
    form->OpenAddressFn = [this](const std::string& address) { addresses.push_back(address); };
    form->CoolTrayIcon1.Notify = [this](DWORD message, NOTIFYICONDATAW& data) {
        notifications.push_back({message, data.uFlags, data.szInfoTitle, data.szInfo, data.dwInfoFlags, data.uTimeout});
        // Passed on, so that no icon outlives its test.
        Shell_NotifyIconW(message, &data);
        return TRUE;
    };
}

void TFMainTest::TearDown() {
    form.reset();
    heldRuns.clear();
    PumpPending();
    Application.ErrorBox = savedErrorBox_;
}

void TFMainTest::Mouse(UINT message, int x, int y) {
    WPARAM keys = message == WM_LBUTTONDOWN ? MK_LBUTTON : message == WM_RBUTTONDOWN ? MK_RBUTTON : 0;
    SendMessageW(form->Handle(), message, keys, MAKELPARAM(x, y));
}

void TFMainTest::Click(int x, int y) {
    Mouse(WM_MOUSEMOVE, x, y);
    Mouse(WM_LBUTTONDOWN, x, y);
    if (form->Handle()) Mouse(WM_LBUTTONUP, x, y);
}

void TFMainTest::ClickControl(const TControl& control) {
    Click(control.Left() + control.Width() / 2, control.Top() + control.Height() / 2);
}
