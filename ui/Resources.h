// Resources of the executable other than pictures (those are TPicture, in
// ui/controls/Picture.h), and the conversion of the engine's texts for display.
#pragma once

#include "ui/controls/Handles.h"

#include <windows.h>

#include <string>

// The icon resource of that name at the given size.
TIconHandle LoadIconResource(const wchar_t* name, int size);

// A Windows-1252 byte string (the engine's texts and paths) as UTF-16, so
// that accents show whatever the system's code page.
std::wstring FromWindows1252(const std::string& text);
