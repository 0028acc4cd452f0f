#include "ui/controls/TrayIcon.h"

#include "ui/controls/PopupMenu.h"

#include <algorithm>

namespace {

const wchar_t kTrayClass[] = L"TCorvelTrayIcon";
constexpr UINT kIconMessage = WM_APP + 1;
constexpr UINT kIconId = 1;

template <std::size_t N>
void CopyTruncated(wchar_t (&target)[N], const std::wstring& text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::copy_n(text.data(), n, target);
    target[n] = L'\0';
}

}  // namespace

TCoolTrayIcon::TCoolTrayIcon(HICON icon, std::wstring hint, TErrorReport report)
    : Notify([](DWORD message, NOTIFYICONDATAW& data) { return Shell_NotifyIconW(message, &data); }),
      icon_(icon),
      hint_(std::move(hint)),
      report_(std::move(report)),
      taskbarCreated_(RegisterWindowMessageW(L"TaskbarCreated")) {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &TCoolTrayIcon::WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kTrayClass;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
    // A hidden top-level window, so that the tray menu can take the
    // foreground and closes when the user clicks elsewhere.
    window_.Reset(CreateWindowExW(WS_EX_TOOLWINDOW, kTrayClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr));
    SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TCoolTrayIcon::~TCoolTrayIcon() {
    HideIcon();
    SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
}

NOTIFYICONDATAW TCoolTrayIcon::Data(UINT flags) const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_.Get();
    data.uID = kIconId;
    data.uFlags = flags;
    data.uCallbackMessage = kIconMessage;
    data.hIcon = icon_;
    CopyTruncated(data.szTip, hint_);
    return data;
}

void TCoolTrayIcon::ShowIcon() {
    NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    Notify(NIM_ADD, data);
    shown_ = true;
}

void TCoolTrayIcon::HideIcon() {
    if (!shown_) return;
    NOTIFYICONDATAW data = Data(0);
    Notify(NIM_DELETE, data);
    shown_ = false;
}

void TCoolTrayIcon::ShowBalloonHint(const std::wstring& title, const std::wstring& text, DWORD iconKind, UINT timeout) {
    NOTIFYICONDATAW data = Data(NIF_INFO);
    CopyTruncated(data.szInfoTitle, title.substr(0, 63));
    CopyTruncated(data.szInfo, text.substr(0, 255));
    data.dwInfoFlags = iconKind;
    data.uTimeout = timeout;
    Notify(NIM_MODIFY, data);
}

void TCoolTrayIcon::HideBalloonHint() {
    // An empty balloon text withdraws the balloon being shown.
    NOTIFYICONDATAW data = Data(NIF_INFO);
    Notify(NIM_MODIFY, data);
}

void TCoolTrayIcon::ApplicationMinimized() {
    if (MinimizeToTray) HideMainForm();
}

void TCoolTrayIcon::HideMainForm() {
    if (MainWindow) ShowWindow(MainWindow, SW_HIDE);
}

void TCoolTrayIcon::IconMessage(UINT mouseMessage) {
    switch (mouseMessage) {
        case WM_LBUTTONUP:
            if (OnClick) OnClick();
            break;
        case WM_RBUTTONDOWN:
            if (PopupMenu) {
                POINT p;
                GetCursorPos(&p);
                // The menu's owner must be in the foreground, or the menu stays
                // open when the user clicks elsewhere.
                SetForegroundWindow(window_.Get());
                PopupMenu->Popup(p.x, p.y, window_.Get());
                PostMessageW(window_.Get(), WM_NULL, 0, 0);
            }
            break;
        default: break;
    }
}

LRESULT CALLBACK TCoolTrayIcon::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* tray = reinterpret_cast<TCoolTrayIcon*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (tray && message == kIconMessage) {
        RunReported(tray->report_, [&] { tray->IconMessage(static_cast<UINT>(lParam)); });
        return 0;
    }
    // The open tray menu asks its owner to draw the item pictures.
    if (tray && tray->PopupMenu && (message == WM_MEASUREITEM || message == WM_DRAWITEM) &&
        tray->PopupMenu->OwnerMessage(message, lParam))
        return TRUE;
    // The taskbar was recreated (the shell restarted): put the icon back.
    if (tray && message == tray->taskbarCreated_ && tray->shown_) {
        NOTIFYICONDATAW data = tray->Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
        tray->Notify(NIM_ADD, data);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
