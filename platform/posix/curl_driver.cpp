#include "platform/posix/curl_driver.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace os {
namespace {

// How long one wait on the sockets may last before the commands are looked
// at again (curl_multi_wakeup cuts it short when one is posted).
constexpr int kPollMs = 100;

std::size_t OnData(char* ptr, std::size_t size, std::size_t nmemb, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    const std::size_t n = size * nmemb;
    std::lock_guard<std::mutex> guard(t->lock);
    // A reader that doesn't keep up holds its transfer back rather than
    // have the driver buffer the whole body for it.
    if (t->data.size() - t->pos >= CurlTransfer::kHold) {
        t->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    t->begun = true;
    t->data.append(ptr, n);
    t->pace.Add(n, HttpPace::Clock::now());
    t->changed.notify_all();
    return n;
}

std::size_t OnHeader(char* ptr, std::size_t size, std::size_t nmemb, void* user) {
    auto* t = static_cast<CurlTransfer*>(user);
    long code = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &code);
    const std::string_view line(ptr, size * nmemb);
    if (line.rfind("HTTP/", 0) == 0 && t->driver) {
        long version = 0;
        curl_easy_getinfo(t->easy, CURLINFO_HTTP_VERSION, &version);
        const char* url = nullptr;
        curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &url);
        t->driver->Answered(CurlDriver::OriginOf(url ? url : ""), version >= CURL_HTTP_VERSION_2_0);
    }
    std::lock_guard<std::mutex> guard(t->lock);
    t->KeepHeader(line);
    t->status = static_cast<int>(code);
    // The blank line after the headers means the server has answered, and
    // the reader may ask for the validator and range. Only a final answer
    // counts (an interim 1xx or a redirect is followed on).
    const bool ended = line == "\r\n" || line == "\n";
    if (ended && code >= 200 && !(code >= 300 && code < 400)) {
        t->begun = true;
        t->changed.notify_all();
    }
    return size * nmemb;
}

void MarkUnderway(CurlTransfer& t) {
    std::lock_guard<std::mutex> guard(t.lock);
    if (!t.underway) t.underway = HttpPace::Clock::now();
}

// A request about to be sent over a connection, new or kept.
int OnPrereq(void* user, char*, char*, int, int) {
    MarkUnderway(*static_cast<CurlTransfer*>(user));
    return CURL_PREREQFUNC_OK;
}

// A new connection for a transfer. In a limited run it gets a receive
// buffer of about 1/16 s of the limit (4 KiB to 256 KiB), set before it
// connects.
int OnSocket(void* user, curl_socket_t socket, curlsocktype purpose) {
    if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
    MarkUnderway(*static_cast<CurlTransfer*>(user));
    const auto& rateLimit = static_cast<CurlTransfer*>(user)->rateLimit;
    const std::uint64_t limit = rateLimit ? rateLimit() : 0;
    if (limit == 0) return CURL_SOCKOPT_OK;
    const int size = static_cast<int>(std::clamp<std::uint64_t>(limit / 16, 4096, 262144));
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return CURL_SOCKOPT_OK;
}

}  // namespace

CurlTransfer::CurlTransfer(std::chrono::seconds stallWindow)
    : easy(curl_easy_init()), pace(stallWindow, HttpPace::Clock::now()) {}

CurlTransfer::~CurlTransfer() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
}

void CurlTransfer::Hook() {
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &OnSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnPrereq);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
}

void CurlTransfer::KeepHeader(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.rfind("HTTP/", 0) == 0) {
        etag.clear();
        lastModified.clear();
        contentRange.clear();
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
        etag = value;
    else if (name == "last-modified")
        lastModified = value;
    else if (name == "content-range")
        contentRange = value;
}

CurlDriver::CurlDriver() : multi_(curl_multi_init()) {
    if (!multi_) return;
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxHostConnections);
    // Finished transfers leave the multi handle at once, and libcurl sizes
    // its cache of idle connections by the transfers it holds: between two
    // requests it would close connections it is about to open again.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kKeptConnections);
    thread_ = std::thread([this] { Loop(); });
}

CurlDriver::~CurlDriver() {
    if (!multi_) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        quit_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    for (auto& [easy, transfer] : running_) curl_multi_remove_handle(multi_, easy);
    running_.clear();
    curl_multi_cleanup(multi_);
}

void CurlDriver::Add(std::shared_ptr<CurlTransfer> transfer) {
    transfer->driver = this;
    Post(TCommand::Add, std::move(transfer));
}
void CurlDriver::Remove(std::shared_ptr<CurlTransfer> transfer) { Post(TCommand::Remove, std::move(transfer)); }
void CurlDriver::Resume(std::shared_ptr<CurlTransfer> transfer) { Post(TCommand::Resume, std::move(transfer)); }

bool CurlDriver::MayWaitToShare(const std::string& origin) const {
    std::lock_guard<std::mutex> guard(originsLock_);
    return multiplexing_.count(origin) != 0;
}

void CurlDriver::Answered(const std::string& origin, bool multiplexed) {
    if (multiplexed) multiplexed_.store(true);
    std::lock_guard<std::mutex> guard(originsLock_);
    if (multiplexed)
        multiplexing_.insert(origin);
    else
        multiplexing_.erase(origin);
}

std::string CurlDriver::OriginOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return std::string(url);
    std::string origin(url.substr(0, url.find_first_of("/?#", scheme + 3)));
    for (char& c : origin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return origin;
}

void CurlDriver::Post(TCommand command, std::shared_ptr<CurlTransfer> transfer) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        commands_.emplace_back(command, std::move(transfer));
    }
    curl_multi_wakeup(multi_);
}

// The commands in the order they came, then the transfers' bytes, then a
// wait for the sockets or the next command.
void CurlDriver::Loop() {
    for (;;) {
        std::vector<std::pair<TCommand, std::shared_ptr<CurlTransfer>>> commands;
        bool quit = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            commands.swap(commands_);
            quit = quit_;
        }
        for (const auto& [command, transfer] : commands) Apply(command, transfer);
        if (quit) return;
        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg == CURLMSG_DONE) Finish(msg->easy_handle, msg->data.result);
        }
        curl_multi_poll(multi_, nullptr, 0, kPollMs, nullptr);
    }
}

void CurlDriver::Apply(TCommand command, const std::shared_ptr<CurlTransfer>& transfer) {
    CURL* easy = transfer->easy;
    const bool known = running_.count(easy) != 0;
    switch (command) {
        case TCommand::Add:
            if (curl_multi_add_handle(multi_, easy) == CURLM_OK) {
                running_.emplace(easy, transfer);
            } else {
                std::lock_guard<std::mutex> guard(transfer->lock);
                transfer->done = true;
                transfer->result = CURLE_FAILED_INIT;
                transfer->changed.notify_all();
            }
            break;
        case TCommand::Remove:
            if (known) {
                curl_multi_remove_handle(multi_, easy);
                running_.erase(easy);
            }
            break;
        case TCommand::Resume:
            // Not under the transfer's lock: unpausing delivers what
            // libcurl held back through OnData at once.
            if (known) curl_easy_pause(easy, CURLPAUSE_CONT);
            break;
    }
}

// A finished transfer leaves the multi handle at once, so that its
// connection serves the next request.
void CurlDriver::Finish(CURL* easy, CURLcode result) {
    const auto it = running_.find(easy);
    if (it == running_.end()) return;
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    {
        CurlTransfer& t = *it->second;
        std::lock_guard<std::mutex> guard(t.lock);
        t.done = true;
        t.result = result;
        if (code != 0) t.status = static_cast<int>(code);
        t.changed.notify_all();
    }
    curl_multi_remove_handle(multi_, easy);
    running_.erase(it);
}

}  // namespace os
