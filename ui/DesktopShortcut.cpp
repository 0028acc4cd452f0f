#include "ui/DesktopShortcut.h"

#include "platform/errors.h"
#include "platform/os.h"
#include "ui/controls/Handles.h"

#include <windows.h>

#include <shlobj.h>

#include <string>

namespace {

std::string SystemErrorText(HRESULT code) {
    std::string text = os::SystemMessage(static_cast<int>(code));
    if (text.empty()) {
        char hex[32];
        wsprintfA(hex, "Error de OLE %08X", static_cast<unsigned>(code));
        text = hex;
    }
    return text;
}

}  // namespace

void WriteDesktopShortcut() {
    // Wide calls throughout: the install folder and the user's desktop may
    // have names the ANSI code page can't spell.
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return;
    path.resize(n);
    const std::wstring directory = path.substr(0, path.find_last_of(L"\\:") + 1);

    TComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.Put()));
    if (FAILED(hr)) throw Exception(SystemErrorText(hr));
    TComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.Put()));
    if (FAILED(hr)) throw Exception(SystemErrorText(hr));
    link->SetPath(path.c_str());
    link->SetWorkingDirectory(directory.c_str());

    LPITEMIDLIST items = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOPDIRECTORY, &items) != S_OK || !items) return;
    wchar_t desktop[MAX_PATH + 1] = L"";
    const BOOL found = SHGetPathFromIDListW(items, desktop);
    CoTaskMemFree(items);
    if (!found) return;
    const std::wstring shortcut = std::wstring(desktop) + L"\\Drakmoor - Corvel.lnk";
    file->Save(shortcut.c_str(), FALSE);
}
