// HTTP through libcurl: a driver thread moves the bytes of every transfer
// of a session's family (platform/posix/curl_driver.h), and a response's
// reads take them from its bounded buffer. libcurl honours http_proxy,
// https_proxy and no_proxy by itself.
#include "platform/os.h"

#include "platform/HttpPace.h"
#include "platform/posix/curl_driver.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string_view>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

namespace os {
namespace {

// What a broken transfer's libcurl code means for the player.
TFault FaultOfCurl(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
            return TFault::CannotConnect;
        case CURLE_OPERATION_TIMEDOUT: return TFault::Stalled;
        case CURLE_ABORTED_BY_CALLBACK: return TFault::Stopped;
        case CURLE_WRITE_ERROR: return TFault::DiskFull;
        default: return TFault::Cut;
    }
}

std::atomic<int> g_stallSeconds{60};

// How long one wait on the sockets may last before the stop is asked again.
constexpr int kStopPollMs = 100;
// Prefetched requests a session keeps unopened, at most.
constexpr std::size_t kMostPrefetched = 64;

[[noreturn]] void ThrowStopped() { throw EInOutError(TFault::Stopped, 0, "Download stopped"); }

// The engine hands over URLs as raw bytes (blanks and letters of the list's
// code page included), which WinInet sends as they are. libcurl refuses
// blanks, so such bytes are percent-encoded; a static server decodes them
// back to the same bytes, which is how the published copies are named.
std::string EscapeUrl(const std::string& url) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The CA bundle named by the environment, as the curl tool reads it;
// otherwise libcurl's default, the system's store.
const char* CaBundleFromEnvironment() {
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return nullptr;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

namespace {
class CurlResponse;
}  // namespace

// A session's requests go to the driver of its family: a session and the
// sessions forked from it share one multi handle, so its connections (and
// over HTTP/2 one connection) serve them all.
struct HttpSession::State {
    State(std::string agentText, std::shared_ptr<CurlDriver> pool)
        : agent(std::move(agentText)), driver(std::move(pool)) {}
    std::string agent;
    std::shared_ptr<CurlDriver> driver;
    std::function<bool()> stopped;
    std::function<std::uint64_t()> rateLimit;
    TFailure openFailure;
    // Prefetched requests, in the order they are to be opened.
    std::deque<std::unique_ptr<CurlResponse>> started;
};

namespace {

class CurlResponse final : public HttpResponse {
public:
    CurlResponse(const HttpSession::State& session, std::shared_ptr<CurlDriver> driver)
        : driver_(std::move(driver)),
          stopped_(session.stopped),
          t_(std::make_shared<CurlTransfer>(std::chrono::seconds(g_stallSeconds.load()))) {
        t_->rateLimit = session.rateLimit;
    }
    ~CurlResponse() override {
        // An unfinished transfer loses its connection (HTTP/1.1) or its
        // stream; a finished one has already left it to the next request.
        if (added_) driver_->Remove(t_);
    }
    CurlResponse(const CurlResponse&) = delete;
    CurlResponse& operator=(const CurlResponse&) = delete;

    // Starts the request, without waiting. False when it can't be made.
    bool Start(const std::string& url, const std::string& agent, const HttpOptions& options) {
        url_ = url;
        revalidate_ = options.revalidate;
        ranged_ = options.range != nullptr;
        silence_ = options.silence;
        if (!driver_->Ready() || !t_->easy) return Refused("no connection could be made");
        if (const HttpRange* range = options.range) {
            if (!SafeHttpValidator(range->validator)) return Refused("unsafe validator");
            t_->headers = curl_slist_append(t_->headers, ("Range: bytes=" + std::to_string(range->from) + "-").c_str());
            t_->headers = curl_slist_append(t_->headers, ("If-Range: " + range->validator).c_str());
        }
        if (options.revalidate) {
            t_->headers = curl_slist_append(t_->headers, "Cache-Control: no-cache");
            t_->headers = curl_slist_append(t_->headers, "Pragma: no-cache");
        }
        // The answer's own bound ends a wait for a server that accepted the
        // connection and sends nothing; a transfer under way keeps the stall rule.
        const auto within = std::chrono::milliseconds(g_stallSeconds.load() * 1000L);
        bounded_ = options.answerWithin.count() > 0;
        answer_ = bounded_ ? std::min(options.answerWithin, within) : within;
        const long seconds = static_cast<long>((answer_.count() + 999) / 1000);
        unanswered_ = "no answer within " + std::to_string(seconds) + " s";
        if (silence_ && silence_->Silent()) return Refused(unanswered_ + " (to an earlier request)");
        SetOptions(url, agent, seconds);
        driver_->Add(t_);
        added_ = true;
        return true;
    }

    // Whether Open(url, options) may take this started request as its own.
    bool Answers(const std::string& url, const HttpOptions& options) const {
        return added_ && url == url_ && !ranged_ && !options.range && options.revalidate == revalidate_;
    }

    // Waits until the started response has begun. False when no response
    // comes (no connection, bad URL, no such host, no answer in time).
    bool Await() {
        if (!added_) return false;
        std::unique_lock<std::mutex> lock(t_->lock);
        while (!t_->begun && !t_->done) {
            if (Stopped()) ThrowStopped();
            if (silence_ && silence_->Silent()) return Refused(unanswered_ + " (to another request)");
            const auto now = HttpPace::Clock::now();
            // Time in libcurl's queue (waiting for a free connection) is
            // not the server's silence; the stall rule bounds it all.
            if ((t_->underway && now >= *t_->underway + answer_) || t_->pace.Expired(now)) {
                if (bounded_ && silence_ && t_->underway) silence_->Declare();
                return Refused(unanswered_);
            }
            Wait(lock);
        }
        if (Stopped()) ThrowStopped();
        if (t_->begun || t_->result == CURLE_OK) return true;
        return Refused(curl_easy_strerror(t_->result), static_cast<int>(t_->result));
    }

    // Why Open gave false.
    const TFailure& Failure() const { return failure_; }

    std::size_t Read(void* buffer, std::size_t count) override {
        std::unique_lock<std::mutex> lock(t_->lock);
        while (t_->pos == t_->data.size() && !t_->done) {
            if (Stopped()) ThrowStopped();
            if (t_->pace.Expired(HttpPace::Clock::now())) {
                throw EInOutError(TFault::Stalled, CURLE_OPERATION_TIMEDOUT, t_->pace.Failure());
            }
            Wait(lock);
        }
        if (t_->pos == t_->data.size()) {
            if (t_->result != CURLE_OK) {
                throw EInOutError(FaultOfCurl(t_->result), static_cast<int>(t_->result),
                                  std::string("Download failed: ") + curl_easy_strerror(t_->result));
            }
            return 0;
        }
        const std::size_t n = std::min(count, t_->data.size() - t_->pos);
        std::memcpy(buffer, t_->data.data() + t_->pos, n);
        t_->pos += n;
        if (t_->pos == t_->data.size()) {
            t_->data.clear();
            t_->pos = 0;
        }
        ResumeIfRoom();
        return n;
    }

    int Status() const override {
        std::lock_guard<std::mutex> lock(t_->lock);
        return t_->status;
    }
    std::string Validator() const override {
        std::lock_guard<std::mutex> lock(t_->lock);
        if (!t_->etag.empty() && t_->etag.rfind("W/", 0) != 0) return t_->etag;
        return t_->lastModified;
    }
    std::int64_t RangeStart() const override {
        std::lock_guard<std::mutex> lock(t_->lock);
        return ParseContentRangeStart(t_->contentRange);
    }

private:
    bool Refused(const std::string& why, int code = 0) {
        failure_ = TFailure{TFault::CannotConnect, code, why};
        return false;
    }

    void SetOptions(const std::string& url, const std::string& agent, long connectSeconds) {
        CURL* easy = t_->easy;
        const std::string escaped = EscapeUrl(url);
        curl_easy_setopt(easy, CURLOPT_URL, escaped.c_str());
        curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
        if (t_->headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t_->headers);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectSeconds);
        // HTTP/2 where TLS offers it; to a server known to speak it, a
        // request waits for a connection being made to share it, rather
        // than open one more (see CurlDriver::MayWaitToShare).
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, driver_->MayWaitToShare(CurlDriver::OriginOf(escaped)) ? 1L : 0L);
        t_->Hook();
        // Threat: an attacker answering for the server. Certificates are
        // verified (libcurl's default, never turned off) and an https
        // address may not be redirected to plain http.
        if (const char* bundle = CaBundleFromEnvironment()) curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
        if (url.rfind("https://", 0) == 0) curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    }

    // Waits for the driver, at most until the stop is to be asked again or
    // the stall rule would fail the transfer.
    void Wait(std::unique_lock<std::mutex>& lock) {
        const auto now = HttpPace::Clock::now();
        t_->changed.wait_until(lock, std::min(t_->pace.Deadline(), now + std::chrono::milliseconds(kStopPollMs)));
    }

    // A transfer its full buffer held back goes on once half is read. The
    // time it stood still was the reader's, not the server's: the stall
    // rule starts over.
    void ResumeIfRoom() {
        if (!t_->paused || t_->data.size() - t_->pos > CurlTransfer::kHold / 2) return;
        t_->paused = false;
        t_->pace.Restart(HttpPace::Clock::now());
        driver_->Resume(t_);
    }

    bool Stopped() const { return stopped_ && stopped_(); }

    std::shared_ptr<CurlDriver> driver_;
    std::function<bool()> stopped_;
    std::shared_ptr<CurlTransfer> t_;
    TFailure failure_;  // why Open gave false
    bool added_ = false;
    // What Start was asked, for Answers and Await.
    std::string url_;
    bool revalidate_ = false, ranged_ = false, bounded_ = false;
    std::chrono::milliseconds answer_{0};
    std::string unanswered_;
    HttpSilence* silence_ = nullptr;
};

}  // namespace

HttpSession::HttpSession(const std::string& agent) {
    GlobalInit();
    state_ = std::make_shared<State>(agent, std::make_shared<CurlDriver>());
}
HttpSession::HttpSession(HttpSession&& other) noexcept = default;
HttpSession& HttpSession::operator=(HttpSession&& other) noexcept = default;
HttpSession::~HttpSession() = default;

void HttpSession::SetStop(std::function<bool()> stopped) { state_->stopped = std::move(stopped); }
void HttpSession::SetRateLimit(std::function<std::uint64_t()> bytesPerSecond) {
    state_->rateLimit = std::move(bytesPerSecond);
}

std::unique_ptr<HttpResponse> HttpSession::Open(const std::string& url, const HttpRange* range) {
    HttpOptions options;
    options.range = range;
    return Open(url, options);
}

std::unique_ptr<HttpResponse> HttpSession::Open(const std::string& url, const HttpOptions& options) {
    if (state_->stopped && state_->stopped()) ThrowStopped();
    std::unique_ptr<CurlResponse> response;
    auto& started = state_->started;
    const auto it = std::find_if(started.begin(), started.end(), [&](const auto& r) { return r->Answers(url, options); });
    if (it != started.end()) {
        response = std::move(*it);
        started.erase(started.begin(), it + 1);  // those before it were passed over
    } else {
        response = std::make_unique<CurlResponse>(*state_, state_->driver);
        response->Start(url, state_->agent, options);
    }
    if (!response->Await()) {
        state_->openFailure = response->Failure();
        return nullptr;
    }
    return response;
}

void HttpSession::Prefetch(const std::string& url, const HttpOptions& options) {
    if (options.range) return;
    auto response = std::make_unique<CurlResponse>(*state_, state_->driver);
    if (!response->Start(url, state_->agent, options)) return;
    state_->started.push_back(std::move(response));
    if (state_->started.size() > kMostPrefetched) state_->started.pop_front();
}

TFailure HttpSession::OpenFailure() const { return state_->openFailure; }

HttpSession HttpSession::Fork() const {
    HttpSession forked;
    forked.state_ = std::make_shared<State>(state_->agent, state_->driver);
    return forked;
}

bool HttpSession::Multiplexed() const { return state_->driver->Multiplexed(); }

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    return HttpSession(agent).Open(url);
}

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
