#include "ui/Resources.h"

TIconHandle LoadIconResource(const wchar_t* name, int size) {
    return TIconHandle(
        static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), name, IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
}

std::wstring FromWindows1252(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}
