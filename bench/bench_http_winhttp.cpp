// bench_http's WinHTTP pass (see bench_http.cpp).
#include "bench/bench_http.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>

// WinHTTP: one session and one connection handle, a request handle per file.
BenchPass ThroughWinHttp(const std::string& host, int port, const std::vector<std::string>& paths) {
    BenchPass pass;
    const auto start = std::chrono::steady_clock::now();
    BenchOwner session(WinHttpOpen(L"bench_http", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                   WINHTTP_NO_PROXY_BYPASS, 0),
                       WinHttpCloseHandle);
    if (!session.h) return BenchPass{0, 0, 0, false};
    const std::wstring wideHost(host.begin(), host.end());
    BenchOwner connection(WinHttpConnect(session.h, wideHost.c_str(), static_cast<INTERNET_PORT>(port), 0),
                          WinHttpCloseHandle);
    if (!connection.h) return BenchPass{0, 0, 0, false};
    std::vector<char> buffer(64 * 1024);
    for (const std::string& path : paths) {
        const std::wstring widePath(path.begin(), path.end());
        BenchOwner request(WinHttpOpenRequest(connection.h, L"GET", widePath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH),
                           WinHttpCloseHandle);
        if (!request.h ||
            !WinHttpSendRequest(request.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !WinHttpReceiveResponse(request.h, nullptr)) {
            return BenchPass{pass.requests, pass.bytes, 0, false};
        }
        DWORD got = 0;
        while (WinHttpReadData(request.h, buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got > 0) {
            pass.bytes += got;
        }
        ++pass.requests;
    }
    pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return pass;
}
