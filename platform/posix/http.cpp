// HTTP through libcurl, pulled block by block like WinInet's reads: the
// transfer is driven by the session's multi handle only while the caller
// asks for bytes. libcurl honours http_proxy, https_proxy and no_proxy by
// itself.
#include "platform/os.h"

#include "platform/HttpPace.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
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

// A multi handle keeps the connections its transfers leave open: each
// request is an easy handle added to the session's multi handle, so the next
// request to the same server goes over the same connection.
struct HttpSession::State {
    explicit State(std::string agentText) : agent(std::move(agentText)), multi(curl_multi_init()) {}
    ~State() {
        if (multi) curl_multi_cleanup(multi);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    std::string agent;
    CURLM* multi;
    std::function<bool()> stopped;
    std::function<std::uint64_t()> rateLimit;
    TFailure openFailure;
};

namespace {

class CurlResponse final : public HttpResponse {
public:
    explicit CurlResponse(std::shared_ptr<HttpSession::State> session)
        : session_(std::move(session)),
          stopped_(session_->stopped),
          easy_(curl_easy_init()),
          pace_(std::chrono::seconds(g_stallSeconds.load()), HttpPace::Clock::now()) {}
    ~CurlResponse() override {
        // Removing an unfinished transfer closes its connection; a finished
        // one leaves it to the session for the next request.
        if (easy_ && added_) curl_multi_remove_handle(session_->multi, easy_);
        if (easy_) curl_easy_cleanup(easy_);
    }
    CurlResponse(const CurlResponse&) = delete;
    CurlResponse& operator=(const CurlResponse&) = delete;

    // Starts the request and waits until the response has begun. False
    // when no response comes (no connection, bad URL, no such host, no
    // answer within the stall window).
    bool Open(const std::string& url, const HttpOptions& options) {
        if (!session_->multi || !easy_) return Refused("no connection could be made");
        if (const HttpRange* range = options.range) {
            if (!SafeHttpValidator(range->validator)) return Refused("unsafe validator");
            headers_.Append("Range: bytes=" + std::to_string(range->from) + "-");
            headers_.Append("If-Range: " + range->validator);
        }
        if (options.revalidate) {
            headers_.Append("Cache-Control: no-cache");
            headers_.Append("Pragma: no-cache");
        }
        if (headers_.list) curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_.list);
        // The answer's own bound ends a wait for a server that accepted the
        // connection and sends nothing; a transfer under way keeps the stall rule.
        const auto within = std::chrono::milliseconds(g_stallSeconds.load() * 1000L);
        const auto answer = options.answerWithin.count() > 0 ? std::min(options.answerWithin, within) : within;
        const auto answerBy = HttpPace::Clock::now() + answer;
        const long stall = static_cast<long>((answer.count() + 999) / 1000);
        const std::string escaped = EscapeUrl(url);
        curl_easy_setopt(easy_, CURLOPT_URL, escaped.c_str());
        curl_easy_setopt(easy_, CURLOPT_USERAGENT, session_->agent.c_str());
        curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, stall);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlResponse::OnData);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlResponse::OnHeader);
        curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
        if (session_->rateLimit) {
            curl_easy_setopt(easy_, CURLOPT_SOCKOPTFUNCTION, &CurlResponse::OnSocket);
            curl_easy_setopt(easy_, CURLOPT_SOCKOPTDATA, session_.get());
        }
        // A stop also ends the transfer inside libcurl's own loop.
        if (stopped_) {
            curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &CurlResponse::OnProgress);
            curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
            curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
        }
        // Threat: an attacker answering for the server. Certificates are
        // verified (libcurl's default, never turned off) and an https
        // address may not be redirected to plain http.
        if (const char* bundle = CaBundleFromEnvironment()) curl_easy_setopt(easy_, CURLOPT_CAINFO, bundle);
        if (url.rfind("https://", 0) == 0) curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        if (curl_multi_add_handle(session_->multi, easy_) != CURLM_OK) return false;
        added_ = true;
        while (!begun_ && !done_) {
            Pump();
            if (Stopped()) ThrowStopped();
            const auto now = HttpPace::Clock::now();
            if (!begun_ && !done_ && (pace_.Expired(now) || now >= answerBy)) {
                return Refused("no answer within " + std::to_string(stall) + " s");
            }
        }
        if (Stopped()) ThrowStopped();
        if (done_ && result_ != CURLE_OK && !begun_) return Refused(curl_easy_strerror(result_));
        return true;
    }

    std::size_t Read(void* buffer, std::size_t count) override {
        while (pos_ == data_.size() && !done_) {
            data_.clear();
            pos_ = 0;
            Pump();
            if (Stopped()) ThrowStopped();
            if (pace_.Expired(HttpPace::Clock::now())) {
                throw EInOutError(TFault::Stalled, CURLE_OPERATION_TIMEDOUT, "Download failed: less than 1 KiB in " +
                                                                std::to_string(g_stallSeconds.load()) + " seconds");
            }
        }
        if (pos_ == data_.size()) {
            if (result_ != CURLE_OK) {
                throw EInOutError(FaultOfCurl(result_), static_cast<int>(result_),
                                  std::string("Download failed: ") + curl_easy_strerror(result_));
            }
            return 0;
        }
        const std::size_t n = std::min(count, data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }

    int Status() const override {
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        return static_cast<int>(code);
    }
    std::string Validator() const override {
        if (!etag_.empty() && etag_.rfind("W/", 0) != 0) return etag_;
        return lastModified_;
    }
    std::int64_t RangeStart() const override { return ParseContentRangeStart(contentRange_); }

private:
    // The request's extra headers, freed with the response.
    struct HeaderList {
        curl_slist* list = nullptr;
        HeaderList() = default;
        HeaderList(const HeaderList&) = delete;
        HeaderList& operator=(const HeaderList&) = delete;
        ~HeaderList() { curl_slist_free_all(list); }
        void Append(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
    };

    bool Refused(const std::string& why) {
        session_->openFailure = TFailure{TFault::CannotConnect, static_cast<int>(result_), why};
        return false;
    }

    static std::size_t OnData(char* ptr, std::size_t size, std::size_t nmemb, void* user) {
        auto* self = static_cast<CurlResponse*>(user);
        self->begun_ = true;
        self->data_.append(ptr, size * nmemb);
        self->pace_.Add(size * nmemb, HttpPace::Clock::now());
        return size * nmemb;
    }
    // A new connection of a limited run: a receive buffer of about 1/16 s
    // of the limit (4 KiB to 256 KiB), set before it connects.
    static int OnSocket(void* user, curl_socket_t socket, curlsocktype purpose) {
        if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
        const std::uint64_t limit = static_cast<HttpSession::State*>(user)->rateLimit();
        if (limit == 0) return CURL_SOCKOPT_OK;
        const int size = static_cast<int>(std::clamp<std::uint64_t>(limit / 16, 4096, 262144));
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        return CURL_SOCKOPT_OK;
    }
    static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<CurlResponse*>(user)->Stopped() ? 1 : 0;
    }
    static std::size_t OnHeader(char* ptr, std::size_t size, std::size_t nmemb, void* user) {
        auto* self = static_cast<CurlResponse*>(user);
        self->KeepHeader(std::string_view(ptr, size * nmemb));
        // The first header line means the server answered. Only a final
        // response counts (an interim 1xx or a redirect is followed on).
        long code = 0;
        curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 && !(code >= 300 && code < 400)) self->begun_ = true;
        return size * nmemb;
    }

    // The validator and range of the final answer: a redirect's own
    // headers are forgotten when the next status line comes.
    void KeepHeader(std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (line.rfind("HTTP/", 0) == 0) {
            etag_.clear();
            lastModified_.clear();
            contentRange_.clear();
            return;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return;
        std::string name(line.substr(0, colon));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (name == "etag")
            etag_ = value;
        else if (name == "last-modified")
            lastModified_ = value;
        else if (name == "content-range")
            contentRange_ = value;
    }

    void Pump() {
        CURLM* multi = session_->multi;
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
                done_ = true;
                result_ = msg->data.result;
            }
        }
        if (!done_ && running == 0) done_ = true;
        if (!done_ && data_.size() == pos_) curl_multi_poll(multi, nullptr, 0, kStopPollMs, nullptr);
    }

    bool Stopped() const { return stopped_ && stopped_(); }

    std::shared_ptr<HttpSession::State> session_;
    std::function<bool()> stopped_;
    HeaderList headers_;  // outlives the easy handle that points at it
    CURL* easy_;
    HttpPace pace_;
    bool added_ = false;
    bool begun_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    std::string data_;
    std::size_t pos_ = 0;
    std::string etag_, lastModified_, contentRange_;
};

}  // namespace

HttpSession::HttpSession(const std::string& agent) {
    GlobalInit();
    state_ = std::make_shared<State>(agent);
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
    auto response = std::make_unique<CurlResponse>(state_);
    if (!response->Open(url, options)) return nullptr;
    return response;
}

TFailure HttpSession::OpenFailure() const { return state_->openFailure; }

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    return HttpSession(agent).Open(url);
}

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
