// libbz2's header. On Windows it includes <windows.h> only to spell WINAPI;
// the portable modules that use it must not get the Windows headers and
// their macros, so that one word is given here instead.
#pragma once

#ifdef _WIN32
#define _WINDOWS_
#define WINAPI __stdcall
#endif
#include <bzlib.h>
#ifdef _WIN32
#undef WINAPI
#undef _WINDOWS_
#endif
