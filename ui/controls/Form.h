// A borderless top-level window that composes its background and its
// windowless controls into one back buffer and hit-tests the mouse itself:
// PNG alpha over the background, no flicker, and a whole-window rendering
// that tests can read pixel by pixel.
#pragma once

#include "ui/controls/Control.h"
#include "ui/controls/Handles.h"

#include <windows.h>

#include <cstdint>
#include <vector>

class TTimer;

// A rendering of the client area: 0x00RRGGBB, top row first.
struct TPixels {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Data;
    std::uint32_t At(int x, int y) const { return Data[static_cast<std::size_t>(y) * Width + x] & 0xFFFFFFu; }
};

class TForm {
public:
    TForm() = default;
    virtual ~TForm();
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    HWND Handle() const { return hwnd_; }
    // Destroys the window; with QuitOnDestroy the message loop then ends.
    void Close();
    bool QuitOnDestroy = false;

    // The brush that paints the client area behind the controls.
    void SetBackgroundBrush(TBrushHandle brush);

    // Composes background and visible controls, in creation order, for the
    // given client area into dc.
    void PaintTo(HDC dc, const RECT& area) const;
    // The whole client area as the screen gets it.
    TPixels Render() const;

    void InvalidateArea(const RECT& area);
    // Repaints the area now, or at the end of the paint batch in progress.
    void RepaintArea(const RECT& area);
    // Inside a batch, repaints wait for its end: many changes, one repaint.
    void BeginPaintBatch() { ++paintBatch_; }
    void EndPaintBatch();
    // The topmost visible control at a client point, or null for the bare
    // background.
    TControl* ControlAt(int x, int y) const;

protected:
    // Creates the window hidden, with a client area of width x height.
    void CreateHandle(const wchar_t* caption, int width, int height, HICON icon, HICON smallIcon);
    // Destroys the window; derived forms call it before their controls go.
    void DestroyHandle();

    // Every message of the window; errors leaving it are reported by the
    // caller through the error box.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Mouse events of the bare background (not over a visible control).
    virtual void FormMouseDown(TMouseButton, int, int) {}
    virtual void FormMouseMove(int, int) {}
    virtual void FormMouseUp(TMouseButton, int, int) {}
    // The window is being destroyed (WM_DESTROY).
    virtual void FormDestroy() {}

private:
    friend class TControl;
    friend class TTimer;
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    void AddControl(TControl* control) { controls_.push_back(control); }
    void RemoveControl(TControl* control);
    void ControlHidden(TControl* control);
    unsigned AddTimer(TTimer* timer);
    void RemoveTimer(TTimer* timer);

    void Paint();
    void MouseMove(int x, int y);
    void MouseDown(TMouseButton button, int x, int y);
    void MouseUp(TMouseButton button, int x, int y);
    void CaptureLost();
    void SetHot(TControl* control);

    HWND hwnd_ = nullptr;
    std::vector<TControl*> controls_;
    std::vector<TTimer*> timers_;
    unsigned nextTimerId_ = 1;
    TBrushHandle background_;
    TBitmapHandle backBuffer_;
    TMemoryDC backDC_;
    HGDIOBJ backOld_ = nullptr;
    TControl* hot_ = nullptr;
    TControl* pressed_ = nullptr;
    bool formCapture_ = false;
    bool trackingLeave_ = false;
    int paintBatch_ = 0;
};

// One paint batch for a scope.
class TPaintBatch {
public:
    explicit TPaintBatch(TForm& form) : form_(form) { form_.BeginPaintBatch(); }
    ~TPaintBatch() { form_.EndPaintBatch(); }
    TPaintBatch(const TPaintBatch&) = delete;
    TPaintBatch& operator=(const TPaintBatch&) = delete;

private:
    TForm& form_;
};
