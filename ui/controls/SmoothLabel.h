// A label drawn with GDI+: anti-aliased text filled with a vertical gradient
// from the start colour at the top of the text to the end colour at its
// bottom, on a transparent background, anchored at a corner of its bounds.
#pragma once

#include "ui/controls/Control.h"

#include <memory>
#include <string>

namespace Gdiplus {
class Font;
}

enum class TTextAnchor { BottomLeft, BottomRight };

class TDBAdvSmoothLabel : public TControl {
public:
    TDBAdvSmoothLabel(TForm& owner, int left, int top, int width, int height, bool visible, TTextAnchor anchor,
                      bool wordWrap, COLORREF colorStart, COLORREF colorEnd);
    ~TDBAdvSmoothLabel() override;

    const std::wstring& Caption() const { return caption_; }
    void SetCaption(const std::wstring& caption);

    void Paint(HDC dc) const override;

    // The family the labels draw with: Georgia, else an installed serif,
    // else any installed font, so that a text is never left undrawn.
    static const std::wstring& FontFamilyName();

private:
    std::wstring caption_;
    TTextAnchor anchor_;
    bool wordWrap_;
    COLORREF colorStart_;
    COLORREF colorEnd_;
    // Made at the first paint and kept: making it looks the family up and
    // loads the face again, which under Wine cost more than drawing the
    // text in every frame of a check.
    mutable std::unique_ptr<Gdiplus::Font> font_;
};
