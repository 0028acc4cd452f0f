#include "ui/controls/Image.h"

TImage::TImage(TForm& owner, int left, int top, int width, int height, bool visible, std::shared_ptr<TPicture> picture)
    : TControl(owner, left, top, width, height, visible), picture_(std::move(picture)) {}

void TImage::Paint(HDC dc) const {
    if (picture_) picture_->Draw(dc, Left(), Top(), BoundsRect());
}

namespace {

// An opaque picture drawn at the control's corner hides the part of area
// that it and the bounds both cover.
bool PictureCovers(const TPicture* picture, const TControl& control, const RECT& area) {
    if (!picture || !picture->Opaque()) return false;
    const RECT drawn{control.Left(), control.Top(), control.Left() + picture->Width(),
                     control.Top() + picture->Height()};
    RECT covered;
    IntersectRect(&covered, &drawn, &control.BoundsRect());
    return area.left >= covered.left && area.top >= covered.top && area.right <= covered.right &&
           area.bottom <= covered.bottom && area.left < area.right && area.top < area.bottom;
}

}  // namespace

bool TImage::CoversOpaquely(const RECT& area) const { return PictureCovers(picture_.get(), *this, area); }

TImgBtn::TImgBtn(TForm& owner, int left, int top, int width, int height, bool visible, std::shared_ptr<TPicture> pic,
                 std::shared_ptr<TPicture> picUp, std::shared_ptr<TPicture> picDown)
    : TControl(owner, left, top, width, height, visible),
      Pic(std::move(pic)),
      PicUp(std::move(picUp)),
      PicDown(std::move(picDown)) {}

const TPicture* TImgBtn::Current() const {
    if (inside_ && down_) return PicDown.get();
    if (inside_) return PicUp.get();
    return Pic.get();
}

void TImgBtn::Paint(HDC dc) const {
    if (const TPicture* picture = Current()) picture->Draw(dc, Left(), Top(), BoundsRect());
}

bool TImgBtn::CoversOpaquely(const RECT& area) const { return PictureCovers(Current(), *this, area); }

HCURSOR TImgBtn::Cursor() const { return LoadCursorW(nullptr, MAKEINTRESOURCEW(32649) /* IDC_HAND */); }

void TImgBtn::MouseEnter() {
    inside_ = true;
    Invalidate();
    if (OnMouseEnter) OnMouseEnter();
}

void TImgBtn::MouseLeave() {
    inside_ = false;
    Invalidate();
    if (OnMouseLeave) OnMouseLeave();
}

void TImgBtn::MouseDown(TMouseButton button) {
    if (button != TMouseButton::Left) return;
    down_ = true;
    Invalidate();
}

void TImgBtn::MouseUp(TMouseButton button) {
    if (button != TMouseButton::Left) return;
    down_ = false;
    Invalidate();
}

void TImgBtn::Click() {
    if (OnClick) OnClick();
}
