// The thread that moves a session's bytes. libcurl multiplexes requests over
// one HTTP/2 connection only when they run on the same multi handle, and a
// multi handle may be driven by one thread at a time. Pulling each transfer
// from its reader's thread kept one request in flight per connection: 600
// small files at a 50 ms round trip took 1.8x curl over HTTP/1.1 although
// the server spoke HTTP/2. So one driver thread per family of sessions owns
// the multi handle, readers post their requests to it and wait on their own
// transfer, and each transfer's bytes wait in a bounded buffer: once it
// holds kHold bytes the transfer is paused until its reader has taken half.
#pragma once

#include "platform/HttpPace.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace os {

class CurlDriver;

// One request and its answer, between the driver's thread (which fills it
// through libcurl's callbacks) and the reader's (which empties it).
struct CurlTransfer {
    // What a transfer may hold that its reader has not taken yet.
    static constexpr std::size_t kHold = 256 * 1024;

    explicit CurlTransfer(std::chrono::seconds window);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // Set up by the reader before the driver has it, then the driver's.
    CURL* easy;
    curl_slist* headers = nullptr;
    std::function<std::uint64_t()> rateLimit;  // asked for each new connection
    CurlDriver* driver = nullptr;              // told which protocol each answer came in

    // Shared, under lock.
    std::mutex lock;
    std::condition_variable changed;
    HttpPace pace;
    std::string data;
    std::size_t pos = 0;
    bool begun = false;   // the final answer's headers have come
    // The request has left libcurl's queue (a connection is being made for
    // it, or it is about to be sent over one): from then on a wait for its
    // answer is the server's, before then the session's own.
    std::optional<HttpPace::Clock::time_point> underway;
    bool done = false;    // libcurl is through with it: result says how
    bool paused = false;  // held back by a full buffer
    CURLcode result = CURLE_OK;
    int status = 0;
    std::string etag, lastModified, contentRange;

    // Installs the callbacks that fill the shared part.
    void Hook();
    // The validator and range of the final answer: a redirect's own
    // headers are forgotten when the next status line comes.
    void KeepHeader(std::string_view line);
};

class CurlDriver {
public:
    // Connections to one server at most; over HTTP/2 one carries them all.
    static constexpr long kMaxHostConnections = 8;
    // Idle connections kept for the next requests, all servers together.
    static constexpr long kKeptConnections = 32;

    CurlDriver();
    // Ends the thread; transfers still running are removed (their
    // connections closed).
    ~CurlDriver();
    CurlDriver(const CurlDriver&) = delete;
    CurlDriver& operator=(const CurlDriver&) = delete;

    bool Ready() const { return multi_ != nullptr; }
    // Starts a transfer whose easy handle is set up.
    void Add(std::shared_ptr<CurlTransfer> transfer);
    // Ends a transfer, finished or not (an unfinished one loses its
    // HTTP/1.1 connection, or its HTTP/2 stream only).
    void Remove(std::shared_ptr<CurlTransfer> transfer);
    // Lets a transfer that its full buffer paused go on.
    void Resume(std::shared_ptr<CurlTransfer> transfer);
    // Whether a server has answered over HTTP/2, which carries many
    // requests at once over one connection.
    bool Multiplexed() const { return multiplexed_.load(); }

    // Whether a request to an origin may wait for a connection being made
    // there, to share it, rather than open one more (CURLOPT_PIPEWAIT): only
    // once its last answer came over HTTP/2. libcurl wakes such a waiting
    // request only when another transfer ends, and learns a server's
    // protocol per set of connections to it, forgotten when the last one
    // closes: against a server that closes after every answer, requests
    // waited behind a stalled one and were never sent.
    bool MayWaitToShare(const std::string& origin) const;
    // An answer from an origin came over HTTP/2 (multiplexed) or not.
    void Answered(const std::string& origin, bool multiplexed);
    // "scheme://host:port" of a URL, as Answered and MayWaitToShare know it.
    static std::string OriginOf(std::string_view url);

private:
    enum class TCommand { Add, Remove, Resume };
    void Post(TCommand command, std::shared_ptr<CurlTransfer> transfer);
    void Loop();
    void Apply(TCommand command, const std::shared_ptr<CurlTransfer>& transfer);
    void Finish(CURL* easy, CURLcode result);

    std::mutex lock_;
    std::vector<std::pair<TCommand, std::shared_ptr<CurlTransfer>>> commands_;
    bool quit_ = false;
    CURLM* multi_;
    std::map<CURL*, std::shared_ptr<CurlTransfer>> running_;  // the thread's alone
    std::atomic<bool> multiplexed_{false};
    mutable std::mutex originsLock_;
    std::set<std::string> multiplexing_;  // origins whose last answer was HTTP/2
    std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace os
