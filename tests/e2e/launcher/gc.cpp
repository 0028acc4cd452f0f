// Stand-in for the game client: writes the directory it was started in and
// its command line to gc_started.txt there, then exits. A window program, so
// that Wine opens no console for it.
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char dir[MAX_PATH + 1] = "";
    if (GetCurrentDirectoryA(sizeof(dir), dir) == 0) return 1;
    const std::string text = std::string(dir) + "\r\n" + GetCommandLineA() + "\r\n";
    // Written under another name and renamed, so a reader never sees half.
    std::FILE* f = std::fopen("gc_started.tmp", "wb");
    if (!f) return 1;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written) return 1;
    return MoveFileExA("gc_started.tmp", "gc_started.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
