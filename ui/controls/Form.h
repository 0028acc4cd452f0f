// A borderless top-level window that composes its background and its
// windowless controls into one back buffer and hit-tests the mouse itself:
// PNG alpha over the background, no flicker, and a whole-window rendering
// that tests can read pixel by pixel.
#pragma once

#include "ui/controls/Control.h"
#include "ui/controls/ErrorReport.h"
#include "ui/controls/Handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

// A rendering of the client area: 0x00RRGGBB, top row first.
struct TPixels {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Data;
    std::uint32_t At(int x, int y) const { return Data[static_cast<std::size_t>(y) * Width + x] & 0xFFFFFFu; }
};

class TForm {
public:
    // report receives every error that leaves a message of the window.
    explicit TForm(TErrorReport report) : report_(std::move(report)) {}
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

    // Window timers by id (TTimer is their usual owner): the form keeps
    // each one's interval, state and callback, arms the enabled ones on its
    // window (also when the window comes after them), and runs the callback
    // of the one that ticks while it is enabled.
    unsigned AddTimer(unsigned interval, std::function<void()> onTick);
    void EnableTimer(unsigned id, bool enabled);
    void RemoveTimer(unsigned id);

protected:
    // Creates the window hidden, with a client area of width x height.
    void CreateHandle(const wchar_t* caption, int width, int height, HICON icon, HICON smallIcon);
    // Destroys the window; derived forms call it before their controls go.
    void DestroyHandle();

    // Every message of the window; errors leaving it go to the report.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Mouse events of the bare background (not over a visible control).
    virtual void FormMouseDown(TMouseButton, int, int) {}
    virtual void FormMouseMove(int, int) {}
    virtual void FormMouseUp(TMouseButton, int, int) {}
    // The window is being destroyed (WM_DESTROY).
    virtual void FormDestroy() {}

private:
    friend class TControl;  // Control <-> Form is a composite: the form draws its controls and routes the mouse
    struct TTimerSlot {
        unsigned Interval;
        bool Enabled;
        std::function<void()> OnTick;
    };
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    void AddControl(TControl* control) { controls_.push_back(control); }
    void RemoveControl(TControl* control);
    void ControlHidden(TControl* control);
    void ArmTimer(unsigned id, const TTimerSlot& slot);

    void Paint();
    // The rectangles of the update region, or none when it is one rectangle
    // or too fragmented to be worth painting apart.
    std::vector<RECT> UpdateParts() const;
    void MouseMove(int x, int y);
    void MouseDown(TMouseButton button, int x, int y);
    void MouseUp(TMouseButton button, int x, int y);
    void CaptureLost();
    void SetHot(TControl* control);

    TErrorReport report_;
    HWND hwnd_ = nullptr;
    std::vector<TControl*> controls_;
    std::map<unsigned, TTimerSlot> timers_;
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
