// A label drawn with GDI+: anti-aliased text filled with a vertical gradient
// from the start colour at the top of the text to the end colour at its
// bottom, on a transparent background, anchored at a corner of its bounds.
//
// The text is drawn once per caption into a premultiplied picture of the
// label's size, which every paint then blends: under Wine, GDI+ lays out and
// rasterises each glyph again on every DrawString (about half a millisecond
// per label), and a check repaints the status line at display rate while its
// caption stays the same.
#pragma once

#include "ui/controls/Control.h"
#include "ui/controls/Handles.h"

#include <cstdint>

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
    // The caption as drawn, premultiplied 0xAARRGGBB; made by the first
    // paint after a caption change.
    void RenderCaption() const;
    mutable TBitmapHandle picture_;
    mutable TMemoryDC pictureDC_;
    mutable std::uint32_t* pictureBits_ = nullptr;
    mutable bool pictureCurrent_ = false;
    // Made at the first paint and kept: making it looks the family up and
    // loads the face again, which under Wine cost more than drawing the
    // text in every frame of a check.
    mutable std::unique_ptr<Gdiplus::Font> font_;
};
