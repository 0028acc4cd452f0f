// HTTP through WinInet, which brings the system's proxy settings and its
// URL cache. Each response owns its own internet handle, so no handle
// outlives a download.
#include "platform/os.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace os {
namespace {

std::atomic<int> g_stallSeconds{60};

struct InternetHandle {
    HINTERNET h = nullptr;
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : h(handle) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() {
        if (h) InternetCloseHandle(h);
    }
};

class WinInetResponse final : public HttpResponse {
public:
    std::size_t Read(void* buffer, std::size_t count) override {
        DWORD got = 0;
        const DWORD want = count > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(count);
        if (!InternetReadFile(url_.h, buffer, want, &got)) {
            const DWORD code = GetLastError();
            throw EInOutError(static_cast<int>(code), "Download failed: " + ErrorText(static_cast<int>(code)));
        }
        received_ += got;
        // A connection that closes early looks like the end of the body;
        // the declared length tells the two apart.
        if (got == 0 && declared_ >= 0 && received_ < static_cast<std::uint64_t>(declared_)) {
            throw EInOutError(ERROR_HANDLE_EOF, "Download failed: the body ended short of its length");
        }
        return got;
    }

    // Declared in this order so that the URL handle closes before the
    // internet handle.
    InternetHandle internet_;
    InternetHandle url_;
    long long declared_ = -1;
    std::uint64_t received_ = 0;
};

}  // namespace

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    auto response = std::make_unique<WinInetResponse>();
    response->internet_.h = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!response->internet_.h) return nullptr;
    // A transfer that stalls must end in bounded time.
    DWORD timeout = static_cast<DWORD>(g_stallSeconds.load()) * 1000;
    InternetSetOptionA(response->internet_.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(response->internet_.h, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(response->internet_.h, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    response->url_.h = InternetOpenUrlA(response->internet_.h, url.c_str(), nullptr, 0, 0, 0);
    if (!response->url_.h) return nullptr;

    char length[32] = {};
    DWORD size = sizeof length - 1;
    DWORD index = 0;
    if (HttpQueryInfoA(response->url_.h, HTTP_QUERY_CONTENT_LENGTH, length, &size, &index)) {
        char* end = nullptr;
        const long long value = std::strtoll(length, &end, 10);
        if (end != length && value >= 0) response->declared_ = value;
    }
    return response;
}

void HttpDropCache(const std::string& url) { DeleteUrlCacheEntryA(url.c_str()); }

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
