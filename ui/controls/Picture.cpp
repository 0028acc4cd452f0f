#include "ui/controls/Picture.h"

#include "platform/errors.h"
#include "platform/win32/narrow.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <string>

namespace {

struct TGlobalFree {
    void operator()(void* h) const { GlobalFree(h); }
};

}  // namespace

TBitmapHandle CreateDib32(int width, int height, std::uint32_t** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* memory = nullptr;
    TBitmapHandle bitmap(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &memory, nullptr, 0));
    if (!bitmap || !memory) throw Exception("No se pudo crear un mapa de bits");
    *bits = static_cast<std::uint32_t*>(memory);
    return bitmap;
}

TPicture::TPicture(int width, int height, const std::vector<std::uint32_t>& pixels) : width_(width), height_(height) {
    bitmap_ = CreateDib32(width, height, &bits_);
    std::memcpy(bits_, pixels.data(), pixels.size() * sizeof(std::uint32_t));
    for (std::uint32_t p : pixels) {
        if ((p >> 24) != 0xFF) {
            opaque_ = false;
            break;
        }
    }
    GdiFlush();
}

std::shared_ptr<TPicture> TPicture::FromResource(const wchar_t* name, std::optional<COLORREF> transparent) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) throw Exception("Falta el recurso " + os::win32::Shown1252(name));
    const DWORD size = SizeofResource(module, info);

    // GDI+ reads pictures from a stream; the stream owns a copy of the bytes.
    std::unique_ptr<void, TGlobalFree> global(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!global) throw Exception("Memoria insuficiente");
    std::memcpy(GlobalLock(global.get()), data, size);
    GlobalUnlock(global.get());
    TComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(global.get(), TRUE, stream.Put()))) throw Exception("Memoria insuficiente");
    global.release();  // the stream frees it

    Gdiplus::Bitmap decoded(stream.Get());
    if (decoded.GetLastStatus() != Gdiplus::Ok)
        throw Exception("No se pudo leer la imagen " + os::win32::Shown1252(name));
    const int width = static_cast<int>(decoded.GetWidth());
    const int height = static_cast<int>(decoded.GetHeight());
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    Gdiplus::BitmapData locked{};
    locked.Width = width;
    locked.Height = height;
    locked.Stride = width * 4;
    locked.PixelFormat = PixelFormat32bppPARGB;
    locked.Scan0 = pixels.data();
    Gdiplus::Rect all(0, 0, width, height);
    if (decoded.LockBits(&all, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf, PixelFormat32bppPARGB,
                         &locked) != Gdiplus::Ok)
        throw Exception("No se pudo leer la imagen " + os::win32::Shown1252(name));
    decoded.UnlockBits(&locked);

    if (transparent) {
        const std::uint32_t key =
            0xFF000000u | (GetRValue(*transparent) << 16) | (GetGValue(*transparent) << 8) | GetBValue(*transparent);
        for (auto& p : pixels)
            if (p == key) p = 0;
    }
    return std::make_shared<TPicture>(width, height, pixels);
}

void TPicture::Draw(HDC dc, int x, int y, const RECT& clip) const {
    RECT picture{x, y, x + width_, y + height_};
    RECT area;
    if (!IntersectRect(&area, &picture, &clip)) return;
    TMemoryDC source(CreateCompatibleDC(dc));
    TSelectObject select(source.Get(), bitmap_.Get());
    const int w = area.right - area.left;
    const int h = area.bottom - area.top;
    if (opaque_) {
        BitBlt(dc, area.left, area.top, w, h, source.Get(), area.left - x, area.top - y, SRCCOPY);
    } else {
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(dc, area.left, area.top, w, h, source.Get(), area.left - x, area.top - y, w, h, blend);
    }
}
