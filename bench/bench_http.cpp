// bench_http HOST PORT PATHS [ROUNDS [wininet|winhttp]]: fetches every path named in the file
// PATHS (one a line, URL paths from "/") from HOST:PORT over one kept
// connection, through WinInet as the updater opens its URLs, and through
// WinHTTP; each pass reads every body to its end in 64 KiB reads. Prints
// each library's requests, bytes, wall time and time per request (best of
// ROUNDS, default 3, the two libraries alternating), to compare what one
// request costs through each under Wine. Naming a library runs only its
// passes (to count its server requests alone).
#include "bench/bench_http.h"

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

// The updater's way: one internet handle, InternetOpenUrlA per file with
// its flags (WinInet keeps the connection), InternetReadFile to the end.
BenchPass ThroughWinInet(const std::string& host, int port, const std::vector<std::string>& paths) {
    BenchPass pass;
    const auto start = Clock::now();
    BenchOwner internet(InternetOpenA("bench_http", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0),
                        InternetCloseHandle);
    if (!internet.h) return BenchPass{0, 0, 0, false};
    constexpr DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI;
    std::vector<char> buffer(64 * 1024);
    for (const std::string& path : paths) {
        const std::string url = "http://" + host + ":" + std::to_string(port) + path;
        BenchOwner request(InternetOpenUrlA(internet.h, url.c_str(), nullptr, 0, flags, 0), InternetCloseHandle);
        if (!request.h) return BenchPass{pass.requests, pass.bytes, 0, false};
        DWORD got = 0;
        while (InternetReadFile(request.h, buffer.data(), static_cast<DWORD>(buffer.size()), &got) && got > 0) {
            pass.bytes += got;
        }
        ++pass.requests;
    }
    pass.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return pass;
}

namespace {

void Print(const char* name, const BenchPass& best) {
    std::printf("%-8s %zu requests, %llu bytes, %.3f s, %.1f us per request\n", name, best.requests, best.bytes,
                best.seconds, best.requests ? best.seconds * 1e6 / static_cast<double>(best.requests) : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_http HOST PORT PATHS [ROUNDS [wininet|winhttp]]\n");
        return 2;
    }
    const std::string host = argv[1];
    const int port = std::atoi(argv[2]);
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    std::vector<std::string> paths;
    std::ifstream list(argv[3]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) paths.push_back(line);
    }
    if (paths.empty() || port <= 0 || rounds <= 0) {
        std::fprintf(stderr, "bench_http: no paths, or a bad port or round count\n");
        return 2;
    }
    const std::string only = argc > 5 ? argv[5] : "";
    const bool inetToo = only != "winhttp", httpToo = only != "wininet";
    BenchPass inet, http;
    for (int round = 0; round < rounds; ++round) {
        const BenchPass a = inetToo ? ThroughWinInet(host, port, paths) : BenchPass{};
        const BenchPass b = httpToo ? ThroughWinHttp(host, port, paths) : BenchPass{};
        const bool complete = (!inetToo || a.requests == paths.size()) && (!httpToo || b.requests == paths.size());
        if (!a.ok || !b.ok || !complete || (inetToo && httpToo && a.bytes != b.bytes)) {
            std::fprintf(stderr, "bench_http: a pass failed (WinInet %zu requests %llu bytes, WinHTTP %zu, %llu)\n",
                         a.requests, a.bytes, b.requests, b.bytes);
            return 1;
        }
        if (round == 0 || a.seconds < inet.seconds) inet = a;
        if (round == 0 || b.seconds < http.seconds) http = b;
    }
    if (inetToo) Print("WinInet", inet);
    if (httpToo) Print("WinHTTP", http);
    return 0;
}
