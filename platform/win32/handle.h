// The one owner of a kernel handle for the Windows backend: closed on every
// way out, moved but never copied.
#pragma once

#include <windows.h>

#include <utility>

namespace os::win32 {

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(other.release()) {}
    ~Handle() {
        if (valid()) ::CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&&) = delete;
    // Both of the system's "no handle" values count as none.
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, nullptr); }

private:
    HANDLE h_;
};

}  // namespace os::win32
