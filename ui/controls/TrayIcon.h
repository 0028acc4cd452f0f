// An icon in the notification area: hint, popup menu on a right press, a
// click reported at the left button's release, balloons, and minimising the
// main window to the tray (window and taskbar button hidden, icon kept).
#pragma once

#include "ui/controls/ErrorReport.h"
#include "ui/controls/Handles.h"

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

class TPopupMenu;

class TCoolTrayIcon {
public:
    // report receives every error that leaves a handler of the icon.
    TCoolTrayIcon(HICON icon, std::wstring hint, TErrorReport report);
    // Removes the icon from the notification area.
    ~TCoolTrayIcon();
    TCoolTrayIcon(const TCoolTrayIcon&) = delete;
    TCoolTrayIcon& operator=(const TCoolTrayIcon&) = delete;

    // Every Shell_NotifyIconW call goes through here; tests record them.
    std::function<BOOL(DWORD message, NOTIFYICONDATAW& data)> Notify;

    HWND MainWindow = nullptr;
    TPopupMenu* PopupMenu = nullptr;
    bool MinimizeToTray = true;
    std::function<void()> OnClick;

    void ShowIcon();
    void HideIcon();

    // Title up to 63 characters, text up to 255, an NIIF_* icon kind, a
    // time-out in milliseconds.
    void ShowBalloonHint(const std::wstring& title, const std::wstring& text, DWORD iconKind, UINT timeout);
    void HideBalloonHint();

    // The main window was minimised: with MinimizeToTray it and its taskbar
    // button are hidden, and only the icon remains.
    void ApplicationMinimized();
    // Hides the main window (and so its taskbar button).
    void HideMainForm();

    // A notification-area mouse message for the icon (the callback's lParam).
    void IconMessage(UINT mouseMessage);
    // The helper window that receives the icon's messages.
    HWND Handle() const { return window_.Get(); }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    NOTIFYICONDATAW Data(UINT flags) const;

    HICON icon_;
    std::wstring hint_;
    TErrorReport report_;
    TWindowHandle window_;
    UINT taskbarCreated_;
    bool shown_ = false;
};
