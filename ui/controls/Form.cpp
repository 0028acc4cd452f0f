#include "ui/controls/Form.h"

#include "platform/errors.h"
#include "ui/controls/Picture.h"

#include <windowsx.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

const wchar_t kWindowClass[] = L"TCorvelForm";

void RegisterFormClass(WNDPROC proc) {
    static const bool registered = [proc] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
        wc.lpszClassName = kWindowClass;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

}  // namespace

TForm::~TForm() { DestroyHandle(); }

void TForm::CreateHandle(const wchar_t* caption, int width, int height, HICON icon, HICON smallIcon) {
    RegisterFormClass(&TForm::WindowProc);
    // Borderless; the minimise box lets the taskbar minimise it. Alpha
    // blending at full opacity, as the layout asks.
    CreateWindowExW(WS_EX_LAYERED, kWindowClass, caption, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, width, height,
                    nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd_) throw Exception("No se pudo crear la ventana");
    SetLayeredWindowAttributes(hwnd_, 0, 255, LWA_ALPHA);
    if (icon) SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    if (smallIcon) SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    for (const auto& [id, slot] : timers_) ArmTimer(id, slot);
}

void TForm::DestroyHandle() {
    if (hwnd_) DestroyWindow(hwnd_);
}

void TForm::Close() { DestroyHandle(); }

void TForm::SetBackgroundBrush(TBrushHandle brush) {
    background_ = std::move(brush);
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
}

LRESULT CALLBACK TForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* form = static_cast<TForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!form) return DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        form->hwnd_ = nullptr;
        form->hot_ = form->pressed_ = nullptr;
        form->formCapture_ = form->trackingLeave_ = false;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    LRESULT result = 0;
    RunReported(form->report_, [&] { result = form->HandleMessage(message, wParam, lParam); });
    return result;
}

LRESULT TForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: Paint(); return 0;
        case WM_ERASEBKGND: return 1;  // the back buffer paints everything
        case WM_MOUSEMOVE: MouseMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_LBUTTONDOWN: MouseDown(TMouseButton::Left, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_RBUTTONDOWN: MouseDown(TMouseButton::Right, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_MBUTTONDOWN: MouseDown(TMouseButton::Middle, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_LBUTTONUP: MouseUp(TMouseButton::Left, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_RBUTTONUP: MouseUp(TMouseButton::Right, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_MBUTTONUP: MouseUp(TMouseButton::Middle, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)); return 0;
        case WM_MOUSELEAVE:
            trackingLeave_ = false;
            if (!pressed_ && !formCapture_) SetHot(nullptr);
            return 0;
        case WM_CAPTURECHANGED:
            if (reinterpret_cast<HWND>(lParam) != hwnd_) CaptureLost();
            return 0;
        case WM_SETCURSOR:
            if (LOWORD(lParam) == HTCLIENT) {
                POINT p;
                GetCursorPos(&p);
                ScreenToClient(hwnd_, &p);
                TControl* control = ControlAt(p.x, p.y);
                SetCursor(control ? control->Cursor() : LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)));
                return TRUE;
            }
            break;
        case WM_TIMER: {
            // A tick already queued when its timer was disabled runs nothing.
            const auto found = timers_.find(static_cast<unsigned>(wParam));
            if (found != timers_.end() && found->second.Enabled && found->second.OnTick) {
                // A copy: the callback may remove its own timer.
                const std::function<void()> onTick = found->second.OnTick;
                onTick();
            }
            return 0;
        }
        case WM_DESTROY:
            FormDestroy();
            if (QuitOnDestroy) PostQuitMessage(0);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void TForm::PaintTo(HDC dc, const RECT& area) const {
    TSaveDC saved(dc);
    IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
    // Nothing below the topmost control that hides the whole area is seen.
    auto first = controls_.begin();
    bool covered = false;
    for (auto it = controls_.end(); it != controls_.begin();) {
        --it;
        if ((*it)->Visible() && (*it)->CoversOpaquely(area)) {
            first = it;
            covered = true;
            break;
        }
    }
    if (!covered) {
        // The pattern is anchored at the client area's top-left corner.
        SetBrushOrgEx(dc, 0, 0, nullptr);
        FillRect(dc, &area, background_ ? background_.Get() : static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    for (auto it = first; it != controls_.end(); ++it) {
        const TControl* control = *it;
        RECT overlap;
        if (!control->Visible() || !IntersectRect(&overlap, &control->BoundsRect(), &area)) continue;
        TSaveDC controlSaved(dc);
        IntersectClipRect(dc, overlap.left, overlap.top, overlap.right, overlap.bottom);
        control->Paint(dc);
    }
}

TPixels TForm::Render() const {
    RECT client{};
    if (hwnd_) GetClientRect(hwnd_, &client);
    TPixels out;
    out.Width = client.right;
    out.Height = client.bottom;
    if (out.Width <= 0 || out.Height <= 0) return out;
    std::uint32_t* bits = nullptr;
    TBitmapHandle bitmap = CreateDib32(out.Width, out.Height, &bits);
    TMemoryDC dc(CreateCompatibleDC(nullptr));
    {
        TSelectObject select(dc.Get(), bitmap.Get());
        PaintTo(dc.Get(), client);
        GdiFlush();
    }
    out.Data.assign(bits, bits + static_cast<std::size_t>(out.Width) * out.Height);
    return out;
}

std::vector<RECT> TForm::UpdateParts() const {
    // A frame of a run changes a few controls far apart (a status line, the
    // bar): their bounding box would repaint everything between them.
    constexpr DWORD kMostParts = 8;
    TRegionHandle update(CreateRectRgn(0, 0, 0, 0));
    if (!update || GetUpdateRgn(hwnd_, update.Get(), FALSE) != COMPLEXREGION) return {};
    const DWORD size = GetRegionData(update.Get(), 0, nullptr);
    if (size < sizeof(RGNDATAHEADER)) return {};
    std::vector<std::byte> data(size);
    auto* region = reinterpret_cast<RGNDATA*>(data.data());
    if (GetRegionData(update.Get(), size, region) != size || region->rdh.nCount > kMostParts) return {};
    const auto* rects = reinterpret_cast<const RECT*>(region->Buffer);
    return std::vector<RECT>(rects, rects + region->rdh.nCount);
}

void TForm::Paint() {
    std::vector<RECT> parts = UpdateParts();  // before BeginPaint empties the update region
    const TPaintSession paint(hwnd_);
    const HDC dc = paint.Dc();
    if (parts.empty()) parts.push_back(paint.Area());
    RECT client;
    GetClientRect(hwnd_, &client);
    if (!backBuffer_) {
        std::uint32_t* bits = nullptr;
        backBuffer_ = CreateDib32(client.right, client.bottom, &bits);
        backDC_.Reset(CreateCompatibleDC(dc));
        backOld_ = SelectObject(backDC_.Get(), backBuffer_.Get());
    }
    for (const RECT& area : parts) {
        PaintTo(backDC_.Get(), area);
        BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, backDC_.Get(), area.left,
               area.top, SRCCOPY);
    }
}

void TForm::InvalidateArea(const RECT& area) {
    if (hwnd_) InvalidateRect(hwnd_, &area, FALSE);
}

void TForm::RepaintArea(const RECT& area) {
    if (!hwnd_) return;
    InvalidateRect(hwnd_, &area, FALSE);
    if (paintBatch_ == 0) UpdateWindow(hwnd_);
}

void TForm::EndPaintBatch() {
    if (--paintBatch_ == 0 && hwnd_) UpdateWindow(hwnd_);
}

TControl* TForm::ControlAt(int x, int y) const {
    const POINT p{x, y};
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it)
        if ((*it)->Visible() && PtInRect(&(*it)->BoundsRect(), p)) return *it;
    return nullptr;
}

void TForm::RemoveControl(TControl* control) {
    if (hot_ == control) hot_ = nullptr;
    if (pressed_ == control) pressed_ = nullptr;
    controls_.erase(std::remove(controls_.begin(), controls_.end(), control), controls_.end());
}

void TForm::ControlHidden(TControl* control) {
    // A hidden control no longer has the pointer over it.
    if (hot_ == control) {
        hot_ = nullptr;
        control->MouseLeave();
    }
}

unsigned TForm::AddTimer(unsigned interval, std::function<void()> onTick) {
    const unsigned id = nextTimerId_++;
    timers_.emplace(id, TTimerSlot{interval, false, std::move(onTick)});
    return id;
}

void TForm::EnableTimer(unsigned id, bool enabled) {
    const auto found = timers_.find(id);
    if (found == timers_.end() || found->second.Enabled == enabled) return;
    found->second.Enabled = enabled;
    if (enabled)
        ArmTimer(id, found->second);
    else if (hwnd_)
        KillTimer(hwnd_, id);
}

void TForm::RemoveTimer(unsigned id) {
    EnableTimer(id, false);
    timers_.erase(id);
}

void TForm::ArmTimer(unsigned id, const TTimerSlot& slot) {
    if (slot.Enabled && hwnd_) SetTimer(hwnd_, id, slot.Interval, nullptr);
}

void TForm::SetHot(TControl* control) {
    if (control == hot_) return;
    TControl* previous = hot_;
    hot_ = control;
    if (previous) previous->MouseLeave();
    if (control) control->MouseEnter();
}

void TForm::MouseMove(int x, int y) {
    if (!trackingLeave_) {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, hwnd_, 0};
        trackingLeave_ = TrackMouseEvent(&track) != FALSE;
    }
    TControl* hit = ControlAt(x, y);
    SetHot(hit);
    // A left-button drag holds the capture and follows the pointer anywhere;
    // otherwise only the bare background moves the window.
    if (formCapture_ || (!pressed_ && !hit)) FormMouseMove(x, y);
}

void TForm::MouseDown(TMouseButton button, int x, int y) {
    if (TControl* hit = ControlAt(x, y)) {
        if (button == TMouseButton::Left) {
            pressed_ = hit;
            SetCapture(hwnd_);
        }
        hit->MouseDown(button);
        return;
    }
    // Only the left button captures the mouse.
    if (button == TMouseButton::Left) {
        formCapture_ = true;
        SetCapture(hwnd_);
    }
    FormMouseDown(button, x, y);
}

void TForm::MouseUp(TMouseButton button, int x, int y) {
    if (button == TMouseButton::Left && pressed_) {
        TControl* control = pressed_;
        pressed_ = nullptr;
        ReleaseCapture();
        control->MouseUp(button);
        if (ControlAt(x, y) == control) control->Click();
        return;
    }
    if (button == TMouseButton::Left && formCapture_) {
        formCapture_ = false;
        ReleaseCapture();
        FormMouseUp(button, x, y);
        return;
    }
    if (TControl* hit = ControlAt(x, y))
        hit->MouseUp(button);
    else
        FormMouseUp(button, x, y);
}

void TForm::CaptureLost() {
    if (pressed_) {
        TControl* control = std::exchange(pressed_, nullptr);
        control->MouseUp(TMouseButton::Left);
    }
    if (formCapture_) {
        formCapture_ = false;
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(hwnd_, &p);
        FormMouseUp(TMouseButton::Left, p.x, p.y);
    }
}
