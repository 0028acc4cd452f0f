#include "ui/controls/SmoothLabel.h"

#include <objidl.h>
#include <gdiplus.h>

#include <memory>

namespace {

// Georgia 9 pt at 96 dpi: a 12-pixel character height, in pixels so that the
// text never scales with the display setting.
constexpr Gdiplus::REAL kFontPixels = 12.0f;

Gdiplus::Color ToColor(COLORREF c) { return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c)); }

bool FamilyInstalled(const wchar_t* name) {
    Gdiplus::FontFamily family(name);
    return family.IsAvailable() && family.GetLastStatus() == Gdiplus::Ok;
}

std::wstring ChooseFamily() {
    for (const wchar_t* name : {L"Georgia", L"DejaVu Serif", L"Times New Roman", L"Liberation Serif"})
        if (FamilyInstalled(name)) return name;
    WCHAR name[LF_FACESIZE] = L"";
    if (const Gdiplus::FontFamily* serif = Gdiplus::FontFamily::GenericSerif();
        serif && serif->IsAvailable() && serif->GetFamilyName(name) == Gdiplus::Ok)
        return name;
    // Any installed font at all.
    Gdiplus::InstalledFontCollection installed;
    const INT count = installed.GetFamilyCount();
    if (count > 0) {
        std::unique_ptr<Gdiplus::FontFamily[]> families(new Gdiplus::FontFamily[count]);
        INT found = 0;
        installed.GetFamilies(count, families.get(), &found);
        for (INT i = 0; i < found; ++i)
            if (families[i].GetFamilyName(name) == Gdiplus::Ok && name[0]) return name;
    }
    return L"Georgia";
}

}  // namespace

const std::wstring& TDBAdvSmoothLabel::FontFamilyName() {
    static const std::wstring name = ChooseFamily();
    return name;
}

TDBAdvSmoothLabel::TDBAdvSmoothLabel(TForm& owner, int left, int top, int width, int height, bool visible,
                                     TTextAnchor anchor, bool wordWrap, COLORREF colorStart, COLORREF colorEnd)
    : TControl(owner, left, top, width, height, visible),
      anchor_(anchor),
      wordWrap_(wordWrap),
      colorStart_(colorStart),
      colorEnd_(colorEnd) {}

TDBAdvSmoothLabel::~TDBAdvSmoothLabel() = default;

void TDBAdvSmoothLabel::SetCaption(const std::wstring& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    Invalidate();
}

void TDBAdvSmoothLabel::Paint(HDC dc) const {
    if (caption_.empty()) return;
    Gdiplus::Graphics graphics(dc);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(Left()), static_cast<Gdiplus::REAL>(Top()),
                                static_cast<Gdiplus::REAL>(Width()), static_cast<Gdiplus::REAL>(Height()));
    // Inside the bounds and the area being painted.
    RECT clipBox;
    GetClipBox(dc, &clipBox);
    graphics.SetClip(layout);
    graphics.IntersectClip(
        Gdiplus::Rect(clipBox.left, clipBox.top, clipBox.right - clipBox.left, clipBox.bottom - clipBox.top));

    if (!font_) {
        const Gdiplus::FontFamily family(FontFamilyName().c_str());
        font_ = std::make_unique<Gdiplus::Font>(&family, kFontPixels, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    }
    const Gdiplus::Font& font = *font_;
    Gdiplus::StringFormat format;
    format.SetAlignment(anchor_ == TTextAnchor::BottomLeft ? Gdiplus::StringAlignmentNear
                                                           : Gdiplus::StringAlignmentFar);
    format.SetLineAlignment(Gdiplus::StringAlignmentFar);
    if (!wordWrap_) format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);

    // The gradient spans the text's own box, top to bottom.
    Gdiplus::RectF box;
    graphics.MeasureString(caption_.c_str(), static_cast<INT>(caption_.size()), &font, layout, &format, &box);
    if (box.Height < 1.0f || box.Width < 1.0f) box = layout;
    box.Y -= 0.5f;
    box.Height += 1.0f;
    Gdiplus::LinearGradientBrush brush(box, ToColor(colorStart_), ToColor(colorEnd_),
                                       Gdiplus::LinearGradientModeVertical);
    brush.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    graphics.DrawString(caption_.c_str(), static_cast<INT>(caption_.size()), &font, layout, &format, &brush);
}
