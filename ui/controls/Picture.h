// Pictures built into the executable as resources, decoded through GDI+ once
// and kept as 32-bit premultiplied DIBs so that drawing them is a plain GDI
// blit (opaque) or AlphaBlend (with alpha), unscaled.
#pragma once

#include "ui/controls/Handles.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class TPicture {
public:
    // Pixels are premultiplied 0xAARRGGBB, top row first.
    TPicture(int width, int height, const std::vector<std::uint32_t>& pixels);

    // Decodes the RCDATA resource of that name (PNG or BMP). A pixel of the
    // transparent colour, when given, becomes fully transparent.
    static std::shared_ptr<TPicture> FromResource(const wchar_t* name,
                                                  std::optional<COLORREF> transparent = std::nullopt);

    int Width() const { return width_; }
    int Height() const { return height_; }
    bool Opaque() const { return opaque_; }
    // Premultiplied 0xAARRGGBB.
    std::uint32_t Pixel(int x, int y) const { return bits_[static_cast<std::size_t>(y) * width_ + x]; }
    const std::uint32_t* Bits() const { return bits_; }
    HBITMAP Handle() const { return bitmap_.Get(); }

    // Draws the picture with its top-left corner at (x, y), unscaled,
    // touching only pixels inside clip.
    void Draw(HDC dc, int x, int y, const RECT& clip) const;

private:
    int width_;
    int height_;
    bool opaque_ = true;
    TBitmapHandle bitmap_;
    std::uint32_t* bits_ = nullptr;
};

// A 32-bit top-down DIB section; bits receives its pixel memory.
TBitmapHandle CreateDib32(int width, int height, std::uint32_t** bits);
