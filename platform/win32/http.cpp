// HTTP through WinInet, which brings the system's proxy settings. A session
// owns one internet handle, so the proxy settings are read once per run and
// WinInet keeps the server's connection open between requests. Requests
// bypass the URL cache both ways: a cached list could be served stale, and
// writing every download into the cache put it on disk twice.
#include "platform/os.h"

#include "platform/HttpPace.h"
#include "platform/sync.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>  // std::unique_lock, std::lock_guard
#include <string>
#include <thread>
#include <vector>

namespace os {
namespace {

// What a broken transfer's WinInet (or socket) code means for the player.
TFault FaultOfWinInet(DWORD code) {
    switch (code) {
        case ERROR_INTERNET_NAME_NOT_RESOLVED:
        case ERROR_INTERNET_CANNOT_CONNECT:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_INVALID_CA:
            return TFault::CannotConnect;
        case ERROR_INTERNET_TIMEOUT: return TFault::Stalled;
        default: return TFault::Cut;
    }
}

std::atomic<int> g_stallSeconds{60};

// Windows 10 and later speak HTTP/2 through WinInet once a session asks;
// older systems and Wine refuse the option, and stay on HTTP/1.1. Older
// headers lack the names.
#ifndef INTERNET_OPTION_ENABLE_HTTP_PROTOCOL
#define INTERNET_OPTION_ENABLE_HTTP_PROTOCOL 148
#endif
#ifndef INTERNET_OPTION_HTTP_PROTOCOL_USED
#define INTERNET_OPTION_HTTP_PROTOCOL_USED 149
#endif
#ifndef HTTP_PROTOCOL_FLAG_HTTP2
#define HTTP_PROTOCOL_FLAG_HTTP2 0x2
#endif
// WinInet's connections to one server, for the whole process: its default
// (2 on older systems) would queue the install's fetchers behind each other.
constexpr DWORD kMaxConnsPerServer = 8;

// Reload from the server, write nothing into the URL cache, and keep no
// cookies (their bookkeeping grows with every distinct URL of a run). Only
// a request that revalidates adds INTERNET_FLAG_PRAGMA_NOCACHE: a copy at a
// fixed name may come from a cache, which its digest checks.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                             INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI;

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

constexpr std::size_t kReadBlock = 64 * 1024;
constexpr std::size_t kReadAheadBlocks = 16;
// How long one wait for the server may last before the stop is asked again.
constexpr auto kStopPoll = std::chrono::milliseconds(100);

[[noreturn]] void ThrowStopped() { throw EInOutError(TFault::Stopped, ERROR_CANCELLED, "Download stopped"); }

// What the headers of an answer say.
struct Answer {
    long long declared = -1;
    int status = 0;
    std::string validator;
    std::int64_t rangeStart = -1;
};

// One request, then its response's body, on its way from the reading thread
// to the caller.
struct Transfer {
    Transfer(std::shared_ptr<InternetHandle> session, std::string address, std::string extra, bool again,
             DWORD openFlags)
        : internet(std::move(session)),
          url(std::move(address)),
          headers(std::move(extra)),
          retry(again),
          flags(openFlags),
          pace(std::chrono::seconds(g_stallSeconds.load()), HttpPace::Clock::now()) {}
    // Declared in this order so that the URL handle closes before the
    // session's internet handle can.
    std::shared_ptr<InternetHandle> internet;
    InternetHandle request;
    // The request, read only by the reading thread.
    const std::string url;
    const std::string headers;
    const bool retry;  // a failed open may be sent once more (see OpenRequest)
    const DWORD flags;
    DWORD openError = 0;  // why the open failed, read once opened
    Mutex lock;
    Condition changed;
    // Blocks as the reading thread filled them; the caller copies out of
    // the front one, so each byte is copied once, into the caller's buffer.
    std::deque<std::vector<char>> blocks;
    std::size_t head = 0;                  // read position in blocks.front()
    std::vector<std::vector<char>> spare;  // emptied blocks, for reuse
    HttpPace pace;
    bool opened = false;  // the open has returned: request.h says how
    Answer answer;
    bool done = false;
    bool abandoned = false;
    DWORD error = 0;
    // The session family's: set once an answer came over HTTP/2.
    std::shared_ptr<std::atomic<bool>> multiplexed;
};

// One header of the answer as text; empty when it has none.
std::string QueryHeader(HINTERNET request, DWORD what) {
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    DWORD index = 0;
    if (!HttpQueryInfoA(request, what, value, &size, &index)) return std::string();
    return std::string(value, std::min<DWORD>(size, sizeof value - 1));
}

// Sends the request and waits for its answer's headers, on the reading
// thread: InternetOpenUrlA blocks until the answer begins, and the caller
// must stay free to give up on a stop.
HINTERNET OpenRequest(Transfer& t, Answer& answer) {
    const char* extra = t.headers.empty() ? nullptr : t.headers.c_str();
    const DWORD extraLength = t.headers.empty() ? 0 : static_cast<DWORD>(-1);
    HINTERNET request = InternetOpenUrlA(t.internet->h, t.url.c_str(), extra, extraLength, t.flags, 0);
    // A kept connection that the server closes just as the next request is
    // sent fails that request without an answer, and WinInet (Wine) does not
    // send it again itself. A GET may be repeated; the dead connection has
    // left the pool, so the second try goes over a new one.
    if (!request && t.retry) {
        request = InternetOpenUrlA(t.internet->h, t.url.c_str(), extra, extraLength, t.flags, 0);
    }
    if (!request) {
        t.openError = GetLastError();
        return nullptr;
    }
    DWORD timeout = static_cast<DWORD>(g_stallSeconds.load()) * 1000;
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    DWORD used = 0;
    DWORD usedSize = sizeof used;
    if (InternetQueryOptionA(request, INTERNET_OPTION_HTTP_PROTOCOL_USED, &used, &usedSize) &&
        (used & HTTP_PROTOCOL_FLAG_HTTP2) != 0 && t.multiplexed) {
        t.multiplexed->store(true);
    }
    const std::string length = QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH);
    if (!length.empty()) {
        char* end = nullptr;
        const long long value = std::strtoll(length.c_str(), &end, 10);
        if (end != length.c_str() && value >= 0) answer.declared = value;
    }
    answer.status = std::atoi(QueryHeader(request, HTTP_QUERY_STATUS_CODE).c_str());
    const std::string etag = QueryHeader(request, HTTP_QUERY_ETAG);
    answer.validator =
        !etag.empty() && etag.rfind("W/", 0) != 0 ? etag : QueryHeader(request, HTTP_QUERY_LAST_MODIFIED);
    answer.rangeStart = ParseContentRangeStart(QueryHeader(request, HTTP_QUERY_CONTENT_RANGE));
    return request;
}

// Reads one body block by block until its end, an error, or the caller
// abandons it. Asks how much has arrived before reading, since a read may
// wait to fill its whole buffer and a slow link would then look stalled.
void ReadBody(Transfer& t) {
    {
        Answer answer;
        HINTERNET request = OpenRequest(t, answer);
        std::lock_guard<Mutex> guard(t.lock);
        // Owned by the transfer even when the caller has gone: the handle
        // closes with the transfer's last owner.
        t.request.h = request;
        t.answer = std::move(answer);
        t.opened = true;
        t.changed.notify_all();
        if (!request || t.abandoned) return;
    }
    for (;;) {
        std::vector<char> block;
        {
            std::unique_lock<Mutex> guard(t.lock);
            if (t.blocks.size() >= kReadAheadBlocks) {
                t.changed.wait(guard, [&] { return t.abandoned || t.blocks.size() < kReadAheadBlocks; });
                // The caller held the body back: the time it stood still
                // was the caller's, not the server's.
                t.pace.Restart(HttpPace::Clock::now());
            }
            if (t.abandoned) return;
            if (!t.spare.empty()) {
                block = std::move(t.spare.back());
                t.spare.pop_back();
            }
        }
        block.resize(kReadBlock);
        DWORD available = 0;
        BOOL ok = InternetQueryDataAvailable(t.request.h, &available, 0, 0);
        DWORD got = 0;
        if (ok) {
            const DWORD want = available == 0 ? DWORD{kReadBlock} : std::min<DWORD>(available, kReadBlock);
            ok = InternetReadFile(t.request.h, block.data(), want, &got);
        }
        const DWORD error = ok ? 0 : GetLastError();
        std::lock_guard<Mutex> guard(t.lock);
        if (t.abandoned) return;
        if (!ok || got == 0) {
            t.error = error;
            t.done = true;
            t.changed.notify_all();
            return;
        }
        block.resize(got);
        t.pace.Add(got, HttpPace::Clock::now());
        t.blocks.push_back(std::move(block));
        if (t.blocks.size() == 1) t.changed.notify_all();
    }
}

// WinInet's own receive timeout is not honoured everywhere (Wine ignores it
// for a body that stops flowing), so the open and the reads run on a thread
// of their own and the caller waits for the answer and the bytes with a
// deadline, waking every kStopPoll to honour a stop. A session keeps one
// such thread for all its requests. A reader stuck in a stalled open or
// read is abandoned (the session starts another for the next request); it
// shares the transfer with the caller, so whichever lets go last closes its
// handles, and it ends when its call returns.
struct Reader {
    Mutex lock;
    Condition changed;
    std::shared_ptr<Transfer> job;
    bool retired = false;  // end once idle

    static void Loop(std::shared_ptr<Reader> self) {
        for (;;) {
            std::shared_ptr<Transfer> job;
            {
                std::unique_lock<Mutex> guard(self->lock);
                self->changed.wait(guard, [&] { return self->job || self->retired; });
                if (!self->job) return;
                job = self->job;
            }
            ReadBody(*job);
            job.reset();
            std::lock_guard<Mutex> guard(self->lock);
            self->job.reset();
            self->changed.notify_all();
            if (self->retired) return;
        }
    }
    // Waits a moment for the last body to be let go: a finished one is at
    // once, a stalled read may never be; a stop doesn't wait at all.
    bool WaitIdle(const std::function<bool()>& stopped) {
        std::unique_lock<Mutex> guard(lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (job != nullptr) {
            if ((stopped && stopped()) || std::chrono::steady_clock::now() >= deadline) return false;
            changed.wait_for(guard, kStopPoll, [&] { return job == nullptr; });
        }
        return true;
    }
    void Give(std::shared_ptr<Transfer> transfer) {
        std::lock_guard<Mutex> guard(lock);
        job = std::move(transfer);
        changed.notify_all();
    }
    void Retire() {
        std::lock_guard<Mutex> guard(lock);
        retired = true;
        changed.notify_all();
    }
};

class WinInetResponse final : public HttpResponse {
public:
    WinInetResponse(std::shared_ptr<Transfer> transfer, std::function<bool()> stopped)
        : t_(std::move(transfer)), answer_(t_->answer), stopped_(std::move(stopped)) {}
    ~WinInetResponse() override {
        std::lock_guard<Mutex> guard(t_->lock);
        t_->abandoned = true;
        t_->changed.notify_all();
    }
    WinInetResponse(const WinInetResponse&) = delete;
    WinInetResponse& operator=(const WinInetResponse&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override {
        std::unique_lock<Mutex> guard(t_->lock);
        for (;;) {
            if (!t_->blocks.empty() || t_->done) break;
            // The pace counts bytes as they arrived, so a trickle fails
            // here even while each wait brings a byte or two.
            if (t_->pace.Expired(HttpPace::Clock::now())) {
                throw EInOutError(TFault::Stalled, ERROR_INTERNET_TIMEOUT, t_->pace.Failure());
            }
            if (stopped_ && stopped_()) ThrowStopped();
            t_->changed.wait_until(guard, std::min(t_->pace.Deadline(), HttpPace::Clock::now() + kStopPoll));
        }
        if (t_->blocks.empty()) {
            if (t_->error != 0) {
                throw EInOutError(FaultOfWinInet(t_->error), static_cast<int>(t_->error),
                                  "Download failed: " + ErrorText(static_cast<int>(t_->error)));
            }
            // A connection that closes early looks like the end of the body;
            // the declared length tells the two apart.
            if (answer_.declared >= 0 && received_ < static_cast<std::uint64_t>(answer_.declared)) {
                throw EInOutError(TFault::Cut, ERROR_HANDLE_EOF, "Download failed: the body ended short of its length");
            }
            return 0;
        }
        std::vector<char>& front = t_->blocks.front();
        const std::size_t n = std::min(count, front.size() - t_->head);
        std::memcpy(buffer, front.data() + t_->head, n);
        t_->head += n;
        received_ += n;
        if (t_->head == front.size()) {
            const bool wasFull = t_->blocks.size() >= kReadAheadBlocks;
            if (t_->spare.empty()) t_->spare.push_back(std::move(front));
            t_->blocks.pop_front();
            t_->head = 0;
            // Only a reader held back by a full queue waits for room.
            if (wasFull) t_->changed.notify_all();
        }
        return n;
    }

    int Status() const override { return answer_.status; }
    std::string Validator() const override { return answer_.validator; }
    std::int64_t RangeStart() const override { return answer_.rangeStart; }

private:
    std::shared_ptr<Transfer> t_;
    const Answer answer_;  // copied once the reading thread has written it
    std::function<bool()> stopped_;
    std::uint64_t received_ = 0;
};

// Waits for the reading thread to have opened the request: true when it
// has (its handle then says whether it was answered), false when no answer
// began within the stall window. A stop abandons the request.
// False once answerBy (or the stall rule) passes without an answer, or the
// server's silence is declared by another request. WinInet shows nothing of
// its queue: the bound counts from the call.
bool AwaitOpened(Transfer& t, const std::function<bool()>& stopped, HttpPace::Clock::time_point answerBy,
                 const HttpSilence* silence) {
    std::unique_lock<Mutex> guard(t.lock);
    const auto deadline = std::min(t.pace.Deadline(), answerBy);
    while (!t.opened) {
        if ((stopped && stopped()) || HttpPace::Clock::now() >= deadline || (silence && silence->Silent())) {
            t.abandoned = true;
            t.changed.notify_all();
            if (stopped && stopped()) ThrowStopped();
            return false;
        }
        t.changed.wait_until(guard, std::min(deadline, HttpPace::Clock::now() + kStopPoll));
    }
    return true;
}

}  // namespace

struct HttpSession::State {
    std::string agent;
    std::shared_ptr<std::atomic<bool>> multiplexed = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<InternetHandle> internet = std::make_shared<InternetHandle>();
    std::shared_ptr<Reader> reader;
    bool answered = false;  // a request of this session has had an answer
    std::function<bool()> stopped;
    TFailure openFailure;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (reader) reader->Retire();
    }

    // The session's reading thread, or a new one when the last is still
    // stuck in an abandoned body.
    Reader& IdleReader() {
        if (reader && reader->WaitIdle(stopped)) return *reader;
        if (reader) reader->Retire();
        reader = std::make_shared<Reader>();
        std::thread(Reader::Loop, reader).detach();
        return *reader;
    }
};

HttpSession::HttpSession(const std::string& agent) : state_(std::make_shared<State>()) {
    static std::once_flag once;
    std::call_once(once, [] {
        DWORD most = kMaxConnsPerServer;
        InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &most, sizeof most);
        InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &most, sizeof most);
    });
    state_->agent = agent;
    state_->internet->h = InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!state_->internet->h) return;
    // Where the system can't (before Windows 10, under Wine) the option
    // fails and the session speaks HTTP/1.1, as it always did.
    DWORD protocols = HTTP_PROTOCOL_FLAG_HTTP2;
    InternetSetOptionA(state_->internet->h, INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, &protocols, sizeof protocols);
    // A connection that can't be made or a request that can't be sent must
    // end in bounded time.
    DWORD timeout = static_cast<DWORD>(g_stallSeconds.load()) * 1000;
    InternetSetOptionA(state_->internet->h, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(state_->internet->h, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
    InternetSetOptionA(state_->internet->h, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
}
HttpSession::HttpSession(HttpSession&& other) noexcept = default;
HttpSession& HttpSession::operator=(HttpSession&& other) noexcept = default;
HttpSession::~HttpSession() = default;

void HttpSession::SetStop(std::function<bool()> stopped) { state_->stopped = std::move(stopped); }
// WinInet keeps its sockets to itself: the system sizes their buffers.
void HttpSession::SetRateLimit(std::function<std::uint64_t()>) {}

// WinInet pools connections for the whole process, so a session of its own
// (with its own reading thread) shares them already.
HttpSession HttpSession::Fork() const {
    HttpSession forked(state_->agent);
    forked.state_->multiplexed = state_->multiplexed;
    return forked;
}

bool HttpSession::Multiplexed() const { return state_->multiplexed->load(); }

std::unique_ptr<HttpResponse> HttpSession::Open(const std::string& url, const HttpRange* range) {
    HttpOptions options;
    options.range = range;
    return Open(url, options);
}

std::unique_ptr<HttpResponse> HttpSession::Open(const std::string& url, const HttpOptions& options) {
    const auto refused = [this](const std::string& why, int code) {
        state_->openFailure = TFailure{TFault::CannotConnect, code, why};
        return nullptr;
    };
    if (!state_ || !state_->internet->h) return nullptr;
    if (state_->stopped && state_->stopped()) ThrowStopped();
    std::string headers;
    if (const HttpRange* range = options.range) {
        if (!SafeHttpValidator(range->validator)) return refused("unsafe validator", 0);
        headers = "Range: bytes=" + std::to_string(range->from) + "-\r\nIf-Range: " + range->validator + "\r\n";
    }
    DWORD flags = kOpenFlags;
    if (options.revalidate) {
        // The flag adds Pragma: no-cache; HTTP/1.1 caches read Cache-Control.
        flags |= INTERNET_FLAG_PRAGMA_NOCACHE;
        headers += "Cache-Control: no-cache\r\n";
    }
    const auto within = std::chrono::milliseconds(g_stallSeconds.load() * 1000LL);
    const bool bounded = options.answerWithin.count() > 0;
    const auto answer = bounded ? std::min(options.answerWithin, within) : within;
    const std::string unanswered = "no answer within " + std::to_string((answer.count() + 999) / 1000) + " s";
    HttpSilence* silence = options.silence;
    if (silence && silence->Silent()) return refused(unanswered + " (to an earlier request)", 0);
    auto transfer = std::make_shared<Transfer>(state_->internet, url, std::move(headers), state_->answered, flags);
    transfer->multiplexed = state_->multiplexed;
    state_->IdleReader().Give(transfer);
    if (!AwaitOpened(*transfer, state_->stopped, HttpPace::Clock::now() + answer, silence)) {
        if (silence && silence->Silent()) return refused(unanswered + " (to another request)", 0);
        if (bounded && silence) silence->Declare();
        return refused(unanswered, 0);
    }
    if (!transfer->request.h) {
        const int code = static_cast<int>(transfer->openError);
        return refused(ErrorText(code), code);
    }
    state_->answered = true;
    return std::make_unique<WinInetResponse>(std::move(transfer), state_->stopped);
}

TFailure HttpSession::OpenFailure() const { return state_ ? state_->openFailure : TFailure{}; }

// WinInet makes its requests from a thread each (see Reader): a request
// started ahead would be one more thread, which is what prefetching saves.
void HttpSession::Prefetch(const std::string&, const HttpOptions&) {}

std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url) {
    return HttpSession(agent).Open(url);
}

void SetHttpStallTimeout(int seconds) { g_stallSeconds.store(seconds > 0 ? seconds : 60); }

}  // namespace os
