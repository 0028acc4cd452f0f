// The two passes of bench_http, one per library: <wininet.h> and
// <winhttp.h> can't be included together.
#pragma once

#include <string>
#include <vector>

struct BenchPass {
    std::size_t requests = 0;
    unsigned long long bytes = 0;
    double seconds = 0;
    bool ok = true;
};

// Closes a handle of either library on every way out.
template <class Handle, class Close>
struct BenchOwner {
    Handle h;
    Close close;
    BenchOwner(Handle handle, Close closer) : h(handle), close(closer) {}
    BenchOwner(const BenchOwner&) = delete;
    BenchOwner& operator=(const BenchOwner&) = delete;
    ~BenchOwner() {
        if (h) close(h);
    }
};

BenchPass ThroughWinInet(const std::string& host, int port, const std::vector<std::string>& paths);
BenchPass ThroughWinHttp(const std::string& host, int port, const std::vector<std::string>& paths);
