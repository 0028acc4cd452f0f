// Base of the windowless controls. A control owns no window: its form draws
// the visible controls in creation order into one back buffer and routes the
// mouse to the topmost visible control under the pointer.
#pragma once

#include <windows.h>

#include <functional>

class TForm;

enum class TMouseButton { Left, Right, Middle };

class TControl {
public:
    // Registers the control with its form; creation order is drawing order.
    TControl(TForm& owner, int left, int top, int width, int height, bool visible);
    virtual ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    int Left() const { return bounds_.left; }
    int Top() const { return bounds_.top; }
    int Width() const { return bounds_.right - bounds_.left; }
    int Height() const { return bounds_.bottom - bounds_.top; }
    const RECT& BoundsRect() const { return bounds_; }

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }

    // Draws the control; the DC's clip already keeps it inside its bounds.
    virtual void Paint(HDC dc) const = 0;
    // Whether Paint gives every pixel of area opaque colour, so that what
    // lies below needs no drawing there.
    virtual bool CoversOpaquely(const RECT&) const { return false; }
    virtual HCURSOR Cursor() const;

    // Mouse events, sent by the form. MouseUp(Left) follows every left press
    // on the control (with the capture, also outside it); Click follows it
    // when the release happened over the control.
    virtual void MouseEnter() {}
    virtual void MouseLeave() {}
    virtual void MouseDown(TMouseButton) {}
    virtual void MouseUp(TMouseButton) {}
    virtual void Click() {}

    // Marks the control's area for the next paint.
    void Invalidate() const;
    // Redraws the control's area at once.
    void Repaint() const;

protected:
    TForm& owner_;

private:
    RECT bounds_;
    bool visible_;
};
