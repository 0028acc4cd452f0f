#include "ui/controls/Control.h"

#include "ui/controls/Form.h"

TControl::TControl(TForm& owner, int left, int top, int width, int height, bool visible)
    : owner_(owner), bounds_{left, top, left + width, top + height}, visible_(visible) {
    owner_.AddControl(this);
}

TControl::~TControl() { owner_.RemoveControl(this); }

void TControl::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible_ = visible;
    if (!visible) owner_.ControlHidden(this);
    Invalidate();
}

HCURSOR TControl::Cursor() const { return LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */); }

void TControl::Invalidate() const { owner_.InvalidateArea(bounds_); }

void TControl::Repaint() const { owner_.RepaintArea(bounds_); }
