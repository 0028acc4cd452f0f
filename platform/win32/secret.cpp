#include "platform/secret.h"

#include "platform/os.h"

#include <windows.h>

#include <cstring>

namespace os {
namespace {

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }

private:
    HANDLE h_;
};

std::string LastError() { return ErrorText(static_cast<int>(GetLastError())); }

}  // namespace

std::string CreateSecretFile(const std::filesystem::path& path, std::string_view content) {
    // CREATE_NEW refuses an existing name. The file inherits the folder's
    // access list: keep the key in a folder only its owner can read.
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return LastError();
    std::string problem;
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size()) {
        problem = LastError();
    }
    if (problem.empty() && !FlushFileBuffers(file.get())) problem = LastError();
    if (problem.empty() && !CloseHandle(file.release())) problem = LastError();
    if (!problem.empty()) {
        if (file.get() != INVALID_HANDLE_VALUE) CloseHandle(file.release());
        DeleteFileW(path.c_str());
    }
    return problem;
}

std::string ReadSecretFile(const std::filesystem::path& path, std::string& content) {
    content.clear();
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return LastError();
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return "not a regular file";
    char buffer[4097];
    DWORD total = 0;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer + total, sizeof buffer - total, &n, nullptr)) return LastError();
        if (n == 0) break;
        total += n;
        if (total == sizeof buffer) return "too large for a key file";
    }
    content.assign(buffer, total);
    SecureZeroMemory(buffer, sizeof buffer);
    return {};
}

}  // namespace os
