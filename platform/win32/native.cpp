// Native paths for the tools on Windows: UTF-16 names, converted to and from
// Windows-1252 by the system's own tables.
#include "platform/os.h"
#include "platform/win32/narrow.h"

#include <windows.h>
#include <shellapi.h>

#include <utility>

namespace os {

std::vector<std::filesystem::path> ProgramArguments(int, char**) {
    std::vector<std::filesystem::path> args;
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 1; i < count; ++i) args.emplace_back(std::wstring(wide[i]));
        ::LocalFree(wide);
    }
    return args;
}

codepage::TDecode NativeToCp1252(const std::filesystem::path& name, std::string& out) {
    std::optional<std::string> exact = win32::Exact1252(name.native());
    out = exact ? std::move(*exact) : std::string();
    return exact ? codepage::TDecode::Ok : codepage::TDecode::NotCp1252;
}

std::filesystem::path NativeFromListBytes(std::string_view bytes) {
    std::wstring wide(bytes.size(), L'\0');
    const int n = ::MultiByteToWideChar(1252, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                                        static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return std::filesystem::path(wide);
}

std::string NativeDisplayBytes(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    std::string utf8;
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n > 0) {
        utf8.resize(static_cast<std::size_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    }
    return utf8;
}

StdioFile OpenStdio(const std::filesystem::path& path, StdioMode mode) {
    const wchar_t* how = mode == StdioMode::Read ? L"rb" : mode == StdioMode::Write ? L"wb" : L"ab";
    return StdioFile(::_wfopen(path.c_str(), how));
}

std::error_code RenameReplacing(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

}  // namespace os
