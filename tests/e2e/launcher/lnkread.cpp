// Prints a shortcut's target and working directory, one per line, as the
// shell reads them back: lnkread FILE.lnk
#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

class TComSession {
public:
    TComSession() : ok_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~TComSession() {
        if (ok_) CoUninitialize();
    }
    TComSession(const TComSession&) = delete;
    TComSession& operator=(const TComSession&) = delete;
    bool Ok() const { return ok_; }

private:
    bool ok_;
};

template <class T>
class TComRef {
public:
    TComRef() = default;
    ~TComRef() {
        if (p_) p_->Release();
    }
    TComRef(const TComRef&) = delete;
    TComRef& operator=(const TComRef&) = delete;
    T* operator->() const { return p_; }
    void** Put() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

int Fail(const char* what, HRESULT hr) {
    std::fprintf(stderr, "lnkread: %s failed (0x%08lx)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lnkread FILE.lnk\n");
        return 2;
    }
    TComSession com;
    if (!com.Ok()) return Fail("CoInitialize", E_FAIL);
    TComRef<IShellLinkA> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.Put());
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    TComRef<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.Put());
    if (FAILED(hr)) return Fail("QueryInterface", hr);

    const std::string name = argv[1];
    const int length = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide.data(), length);
    hr = file->Load(wide.c_str(), STGM_READ);
    if (FAILED(hr)) return Fail("Load", hr);

    char target[MAX_PATH + 1] = "";
    hr = link->GetPath(target, sizeof(target), nullptr, SLGP_RAWPATH);
    if (FAILED(hr)) return Fail("GetPath", hr);
    char dir[MAX_PATH + 1] = "";
    hr = link->GetWorkingDirectory(dir, sizeof(dir));
    if (FAILED(hr)) return Fail("GetWorkingDirectory", hr);
    std::printf("%s\n%s\n", target, dir);
    return 0;
}
