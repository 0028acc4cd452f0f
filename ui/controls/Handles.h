// Owners for the Win32 and COM handles the window uses: each closes its
// handle exactly once, on every way out.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <utility>

template <class Traits>
class THandle {
public:
    using Type = typename Traits::Type;
    THandle() = default;
    explicit THandle(Type h) : h_(h) {}
    THandle(THandle&& other) noexcept : h_(std::exchange(other.h_, Type{})) {}
    THandle& operator=(THandle&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.h_, Type{}));
        return *this;
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { Reset(); }

    Type Get() const { return h_; }
    explicit operator bool() const { return h_ != Type{}; }
    // Gives the handle up without closing it (the system took ownership).
    Type Release() { return std::exchange(h_, Type{}); }
    void Reset(Type h = Type{}) {
        if (h_ != Type{}) Traits::Close(h_);
        h_ = h;
    }

private:
    Type h_{};
};

struct TBitmapTraits {
    using Type = HBITMAP;
    static void Close(HBITMAP h) { DeleteObject(h); }
};
struct TBrushTraits {
    using Type = HBRUSH;
    static void Close(HBRUSH h) { DeleteObject(h); }
};
struct TRegionTraits {
    using Type = HRGN;
    static void Close(HRGN h) { DeleteObject(h); }
};
struct TMemoryDCTraits {
    using Type = HDC;
    static void Close(HDC h) { DeleteDC(h); }
};
struct TIconTraits {
    using Type = HICON;
    static void Close(HICON h) { DestroyIcon(h); }
};
struct TMenuTraits {
    using Type = HMENU;
    static void Close(HMENU h) { DestroyMenu(h); }
};
struct TWindowTraits {
    using Type = HWND;
    static void Close(HWND h) { DestroyWindow(h); }
};

using TBitmapHandle = THandle<TBitmapTraits>;
using TBrushHandle = THandle<TBrushTraits>;
using TRegionHandle = THandle<TRegionTraits>;
using TMemoryDC = THandle<TMemoryDCTraits>;
using TIconHandle = THandle<TIconTraits>;
using TMenuHandle = THandle<TMenuTraits>;
using TWindowHandle = THandle<TWindowTraits>;

// Selects an object into a DC and puts the previous one back.
class TSelectObject {
public:
    TSelectObject(HDC dc, HGDIOBJ obj) : dc_(dc), old_(SelectObject(dc, obj)) {}
    ~TSelectObject() { SelectObject(dc_, old_); }
    TSelectObject(const TSelectObject&) = delete;
    TSelectObject& operator=(const TSelectObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

// Saves a DC's state (clip region included) and restores it.
class TSaveDC {
public:
    explicit TSaveDC(HDC dc) : dc_(dc), saved_(SaveDC(dc)) {}
    ~TSaveDC() { RestoreDC(dc_, saved_); }
    TSaveDC(const TSaveDC&) = delete;
    TSaveDC& operator=(const TSaveDC&) = delete;

private:
    HDC dc_;
    int saved_;
};

// One WM_PAINT's BeginPaint/EndPaint pair. The paint is ended on every way
// out: a paint left open makes every later repaint of the window fail too.
class TPaintSession {
public:
    explicit TPaintSession(HWND hwnd) : hwnd_(hwnd), dc_(BeginPaint(hwnd, &ps_)) {}
    ~TPaintSession() { EndPaint(hwnd_, &ps_); }
    TPaintSession(const TPaintSession&) = delete;
    TPaintSession& operator=(const TPaintSession&) = delete;

    HDC Dc() const { return dc_; }
    // The part of the window to paint.
    const RECT& Area() const { return ps_.rcPaint; }

private:
    HWND hwnd_;
    PAINTSTRUCT ps_{};
    HDC dc_;
};

// A COM interface pointer that releases its reference.
template <class T>
class TComPtr {
public:
    TComPtr() = default;
    TComPtr(TComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    TComPtr& operator=(TComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;
    ~TComPtr() { Reset(); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For calls that hand out a new reference.
    T** Put() {
        Reset();
        return &p_;
    }
    void Reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};
