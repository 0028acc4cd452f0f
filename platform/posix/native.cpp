// Native paths for the tools on POSIX: names are bytes, UTF-8 by
// convention, so the list's Windows-1252 is converted only where a name is
// read from the user.
#include "platform/os.h"

#include <cstdio>

#include <fcntl.h>

namespace os {

std::vector<std::filesystem::path> ProgramArguments(int argc, char** argv) {
    std::vector<std::filesystem::path> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(std::string(argv[i]));
    return args;
}

codepage::TDecode NativeToCp1252(const std::filesystem::path& name, std::string& out) {
    return codepage::Utf8ToCp1252(name.native(), out);
}

std::filesystem::path NativeFromListBytes(std::string_view bytes) { return std::filesystem::path(std::string(bytes)); }

std::string NativeDisplayBytes(const std::filesystem::path& path) { return path.native(); }

StdioFile OpenStdio(const std::filesystem::path& path, StdioMode mode) {
    const char* how = mode == StdioMode::Read ? "rb" : mode == StdioMode::Write ? "wb" : "ab";
    StdioFile file(std::fopen(path.c_str(), how));
    if (file && mode == StdioMode::Read) ::posix_fadvise(fileno(file.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

std::error_code RenameReplacing(const std::filesystem::path& source, const std::filesystem::path& target) {
    std::error_code ec;
    std::filesystem::rename(source, target, ec);
    return ec;
}

}  // namespace os
