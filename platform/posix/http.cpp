// HTTP through libcurl, pulled block by block like WinInet's reads: the
// transfer is driven by a multi handle only while the caller asks for bytes.
// libcurl honours http_proxy, https_proxy and no_proxy by itself.
#include "platform/os.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace os {
namespace {

std::atomic<int> g_stallSeconds{60};

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

class CurlResponse final : public HttpResponse {
public:
    CurlResponse() : multi_(curl_multi_init()), easy_(curl_easy_init()) {}
    ~CurlResponse() override {
        if (multi_ && easy_ && added_) curl_multi_remove_handle(multi_, easy_);
        if (easy_) curl_easy_cleanup(easy_);
        if (multi_) curl_multi_cleanup(multi_);
    }
    CurlResponse(const CurlResponse&) = delete;
    CurlResponse& operator=(const CurlResponse&) = delete;

    // Starts the request and waits until the response has begun. False
    // when no response comes (no connection, bad URL, no such host).
    bool Open(const std::string& agent, const std::string& url) {
        if (!multi_ || !easy_) return false;
        const long stall = g_stallSeconds.load();
        const std::string escaped = EscapeUrl(url);
        curl_easy_setopt(easy_, CURLOPT_URL, escaped.c_str());
        curl_easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
        curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, stall);
        // Fewer than one byte per second for the stall time ends the transfer.
        curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, stall);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlResponse::OnData);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlResponse::OnHeader);
        curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
        // Threat: an attacker answering for the server. Certificates are
        // verified (libcurl's default, never turned off) and an https
        // address may not be redirected to plain http.
        if (const char* bundle = CaBundleFromEnvironment()) curl_easy_setopt(easy_, CURLOPT_CAINFO, bundle);
        if (url.rfind("https://", 0) == 0) curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return false;
        added_ = true;
        while (!begun_ && !done_) Pump();
        if (done_ && result_ != CURLE_OK && !begun_) return false;
        return true;
    }

    std::size_t Read(void* buffer, std::size_t count) override {
        while (pos_ == data_.size() && !done_) {
            data_.clear();
            pos_ = 0;
            Pump();
        }
        if (pos_ == data_.size()) {
            if (result_ != CURLE_OK) {
                throw EInOutError(static_cast<int>(result_),
                                  std::string("Download failed: ") + curl_easy_strerror(result_));
            }
            return 0;
        }
        const std::size_t n = std::min(count, data_.size() - pos_);
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    static std::size_t OnData(char* ptr, std::size_t size, std::size_t nmemb, void* user) {
        auto* self = static_cast<CurlResponse*>(user);
        self->begun_ = true;
        self->data_.append(ptr, size * nmemb);
        return size * nmemb;
    }
    static std::size_t OnHeader(char*, std::size_t size, std::size_t nmemb, void* user) {
        auto* self = static_cast<CurlResponse*>(user);
        // The first header line means the server answered. Only a final
        // response counts (an interim 1xx or a redirect is followed on).
        long code = 0;
        curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 && !(code >= 300 && code < 400)) self->begun_ = true;
        return size * nmemb;
    }

    void Pump() {
        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg == CURLMSG_DONE) {
                done_ = true;
                result_ = msg->data.result;
            }
        }
        if (!done_ && running == 0) done_ = true;
        if (!done_ && data_.size() == pos_) curl_multi_poll(multi_, nullptr, 0, 200, nullptr);
    }

    CURLM* multi_;
    CURL* easy_;
    bool added_ = false;
    bool begun_ = false;
    bool done_ = false;
    CURLcode result_ = CURLE_OK;
    std::string data_;
    std::size_t pos_ = 0;
};

}  // namespace

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    GlobalInit();
    auto response = std::make_unique<CurlResponse>();
    if (!response->Open(agent, url)) return nullptr;
    return response;
}

// libcurl keeps no cache between transfers.
void HttpDropCache(const std::string&) {}

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
