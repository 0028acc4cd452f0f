// Picture controls: TImage draws one picture, TImgBtn three (normal, hover,
// pressed) and reports clicks and the pointer's entering and leaving.
#pragma once

#include "ui/controls/Control.h"
#include "ui/controls/Picture.h"

#include <functional>
#include <memory>

class TImage : public TControl {
public:
    TImage(TForm& owner, int left, int top, int width, int height, bool visible, std::shared_ptr<TPicture> picture);

    const std::shared_ptr<TPicture>& Picture() const { return picture_; }
    // Unscaled at the top-left corner, clipped to the bounds; alpha blends.
    void Paint(HDC dc) const override;
    bool CoversOpaquely(const RECT& area) const override;

private:
    std::shared_ptr<TPicture> picture_;
};

class TImgBtn : public TControl {
public:
    TImgBtn(TForm& owner, int left, int top, int width, int height, bool visible, std::shared_ptr<TPicture> pic,
            std::shared_ptr<TPicture> picUp, std::shared_ptr<TPicture> picDown);

    std::shared_ptr<TPicture> Pic, PicUp, PicDown;
    std::function<void()> OnClick, OnMouseEnter, OnMouseLeave;

    // The picture shown now: PicDown while pressed with the pointer over it,
    // PicUp while the pointer is over it, Pic otherwise.
    const TPicture* Current() const;

    void Paint(HDC dc) const override;
    bool CoversOpaquely(const RECT& area) const override;
    HCURSOR Cursor() const override;
    void MouseEnter() override;
    void MouseLeave() override;
    void MouseDown(TMouseButton button) override;
    void MouseUp(TMouseButton button) override;
    void Click() override;

private:
    bool inside_ = false;
    bool down_ = false;
};
