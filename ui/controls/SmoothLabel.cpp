#include "ui/controls/SmoothLabel.h"

#include "platform/errors.h"

#include "ui/controls/Picture.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>

namespace {

// Georgia 9 pt at 96 dpi: a 12-pixel character height, in pixels so that the
// text never scales with the display setting.
constexpr Gdiplus::REAL kFontPixels = 12.0f;

Gdiplus::Color ToColor(COLORREF c) { return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c)); }

std::uint32_t Premultiplied(std::uint32_t argb) {
    const std::uint32_t a = argb >> 24;
    const auto channel = [a](std::uint32_t c) { return (c * a + 127) / 255; };
    return (a << 24) | (channel((argb >> 16) & 0xFF) << 16) | (channel((argb >> 8) & 0xFF) << 8) |
           channel(argb & 0xFF);
}

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
    pictureCurrent_ = false;
    Invalidate();
}

void TDBAdvSmoothLabel::Paint(HDC dc) const {
    if (caption_.empty() || Width() <= 0 || Height() <= 0) return;
    if (!pictureCurrent_) RenderCaption();
    // Only the part being painted.
    RECT clipBox, area;
    if (GetClipBox(dc, &clipBox) == ERROR || !IntersectRect(&area, &clipBox, &BoundsRect())) return;
    const TSelectObject select(pictureDC_.Get(), picture_.Get());
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, pictureDC_.Get(),
               area.left - Left(), area.top - Top(), area.right - area.left, area.bottom - area.top, blend);
}

void TDBAdvSmoothLabel::RenderCaption() const {
    if (!picture_) {
        picture_ = CreateDib32(Width(), Height(), &pictureBits_);
        pictureDC_.Reset(CreateCompatibleDC(nullptr));
        if (!pictureDC_) throw Exception("No se pudo crear un contexto de dibujo");
    }
    std::memset(pictureBits_, 0, static_cast<std::size_t>(Width()) * Height() * sizeof(std::uint32_t));
    {
        // GDI+ draws into the picture's memory, unpremultiplied: over the
        // cleared picture each pixel is then the text's colour and coverage.
        Gdiplus::Bitmap target(Width(), Height(), Width() * 4, PixelFormat32bppARGB,
                               reinterpret_cast<BYTE*>(pictureBits_));
        Gdiplus::Graphics graphics(&target);
        graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        // Laid out where the label is, so that text and gradient fall on the
        // same pixels as when drawn onto the window.
        graphics.TranslateTransform(static_cast<Gdiplus::REAL>(-Left()), static_cast<Gdiplus::REAL>(-Top()));
        const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(Left()), static_cast<Gdiplus::REAL>(Top()),
                                    static_cast<Gdiplus::REAL>(Width()), static_cast<Gdiplus::REAL>(Height()));

        if (!font_) {
            const Gdiplus::FontFamily family(FontFamilyName().c_str());
            font_ = std::make_unique<Gdiplus::Font>(&family, kFontPixels, Gdiplus::FontStyleRegular,
                                                    Gdiplus::UnitPixel);
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
    // AlphaBlend takes premultiplied pixels; rounded to nearest, as GDI+
    // itself premultiplies what it draws onto a device context.
    const std::size_t count = static_cast<std::size_t>(Width()) * Height();
    for (std::size_t i = 0; i < count; ++i) pictureBits_[i] = Premultiplied(pictureBits_[i]);
    pictureCurrent_ = true;
}
