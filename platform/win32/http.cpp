// HTTP through WinInet, which brings the system's proxy settings and its
// URL cache. Each response owns its own internet handle, so no handle
// outlives a download.
#include "platform/os.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
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

// WinInet's own receive timeout is not honoured everywhere (Wine ignores it
// for a body that stops flowing), so the reads run on a thread of their
// own and the caller waits for bytes with a deadline. A stalled reader is
// abandoned; it owns the handles and closes them when its read returns.
struct Transfer {
    // Declared in this order so that the URL handle closes before the
    // internet handle.
    InternetHandle internet;
    InternetHandle url;
    std::mutex lock;
    std::condition_variable changed;
    // Bytes read ahead; the caller takes them from head on. Compacted only
    // when the head has moved far, so taking a block copies only that block.
    std::string pending;
    std::size_t head = 0;
    std::size_t Available() const { return pending.size() - head; }
    bool done = false;
    bool abandoned = false;
    DWORD error = 0;
};

constexpr std::size_t kReadBlock = 1024;
constexpr std::size_t kReadAhead = 1 << 20;

void ReadBody(std::shared_ptr<Transfer> t) {
    char block[kReadBlock];
    for (;;) {
        DWORD got = 0;
        const BOOL ok = InternetReadFile(t->url.h, block, sizeof block, &got);
        const DWORD error = ok ? 0 : GetLastError();
        std::unique_lock<std::mutex> guard(t->lock);
        if (t->abandoned) return;
        if (!ok || got == 0) {
            t->error = error;
            t->done = true;
            t->changed.notify_all();
            return;
        }
        const bool wasEmpty = t->Available() == 0;
        if (wasEmpty) {
            t->pending.clear();
            t->head = 0;
        } else if (t->head >= kReadAhead) {
            t->pending.erase(0, t->head);
            t->head = 0;
        }
        t->pending.append(block, got);
        if (wasEmpty) t->changed.notify_all();
        t->changed.wait(guard, [&] { return t->abandoned || t->Available() < kReadAhead; });
        if (t->abandoned) return;
    }
}

class WinInetResponse final : public HttpResponse {
public:
    explicit WinInetResponse(std::shared_ptr<Transfer> transfer, long long declared)
        : t_(std::move(transfer)), declared_(declared) {
        std::thread(ReadBody, t_).detach();
    }
    ~WinInetResponse() override {
        std::lock_guard<std::mutex> guard(t_->lock);
        t_->abandoned = true;
        t_->changed.notify_all();
    }
    WinInetResponse(const WinInetResponse&) = delete;
    WinInetResponse& operator=(const WinInetResponse&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override {
        std::unique_lock<std::mutex> guard(t_->lock);
        const auto stall = std::chrono::seconds(g_stallSeconds.load());
        if (!t_->changed.wait_for(guard, stall, [&] { return t_->Available() > 0 || t_->done; })) {
            throw EInOutError(ERROR_INTERNET_TIMEOUT, "Download failed: no data for " +
                                                          std::to_string(stall.count()) + " seconds");
        }
        if (t_->Available() == 0) {
            if (t_->error != 0) {
                throw EInOutError(static_cast<int>(t_->error), "Download failed: " +
                                                                   ErrorText(static_cast<int>(t_->error)));
            }
            // A connection that closes early looks like the end of the body;
            // the declared length tells the two apart.
            if (declared_ >= 0 && received_ < static_cast<std::uint64_t>(declared_)) {
                throw EInOutError(ERROR_HANDLE_EOF, "Download failed: the body ended short of its length");
            }
            return 0;
        }
        const bool wasFull = t_->Available() >= kReadAhead;
        const std::size_t n = std::min(count, t_->Available());
        std::memcpy(buffer, t_->pending.data() + t_->head, n);
        t_->head += n;
        received_ += n;
        // Only a reader held back by a full buffer waits for room.
        if (wasFull && t_->Available() < kReadAhead) t_->changed.notify_all();
        return n;
    }

private:
    std::shared_ptr<Transfer> t_;
    long long declared_;
    std::uint64_t received_ = 0;
};

}  // namespace

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    auto response = std::make_shared<Transfer>();
    response->internet.h = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!response->internet.h) return nullptr;
    // A transfer that stalls must end in bounded time.
    DWORD timeout = static_cast<DWORD>(g_stallSeconds.load()) * 1000;
    InternetSetOptionA(response->internet.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(response->internet.h, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(response->internet.h, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
    response->url.h = InternetOpenUrlA(response->internet.h, url.c_str(), nullptr, 0, 0, 0);
    if (!response->url.h) return nullptr;
    // The connection exists only now; set the limit on it as well.
    InternetSetOptionA(response->url.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

    long long declared = -1;
    char length[32] = {};
    DWORD size = sizeof length - 1;
    DWORD index = 0;
    if (HttpQueryInfoA(response->url.h, HTTP_QUERY_CONTENT_LENGTH, length, &size, &index)) {
        char* end = nullptr;
        const long long value = std::strtoll(length, &end, 10);
        if (end != length && value >= 0) declared = value;
    }
    return std::make_unique<WinInetResponse>(std::move(response), declared);
}

void HttpDropCache(const std::string& url) { DeleteUrlCacheEntryA(url.c_str()); }

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
