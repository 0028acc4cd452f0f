// Holds a file open the way a running game holds its data, until told to let
// go: holdfile FILE none|read. Opens FILE for reading with that
// sharing, writes "held" to standard output, and keeps it open until its
// standard input ends (the test closes it, or the test itself ended).
#include "platform/win32/handle.h"

#include <windows.h>

#include <shellapi.h>

#include <string_view>

using os::win32::Handle;

namespace {

struct Arguments {
    Arguments() : argv(::CommandLineToArgvW(::GetCommandLineW(), &argc)) {}
    ~Arguments() { ::LocalFree(argv); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    int argc = 0;
    LPWSTR* argv;
};

}  // namespace

int main() {
    const Arguments args;
    if (args.argv == nullptr || args.argc != 3) return 2;
    const std::wstring_view mode = args.argv[2];
    if (mode != L"none" && mode != L"read") return 2;
    const DWORD share = mode == L"read" ? FILE_SHARE_READ : 0;

    const Handle file(
        ::CreateFileW(args.argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return 1;
    DWORD put = 0;
    if (!::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "held\n", 5, &put, nullptr)) return 1;
    char byte;
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got > 0) {
    }
    return 0;
}
