// The servers of a run, in the order they are tried. One server was one
// point of failure: when it was down, slow or behind, every player's update
// failed. Any server may be behind, broken or a cache; the signed list and
// each digest decide what is installed, never which server sent it. So a
// run takes its list from the first server that gives a usable one, asks
// that one first for everything after, and moves to the next on any failure
// of the server's own (see ServerFault). A server that fails kDemoteAfter
// times in a row is tried last for the rest of the run. Each server keeps
// its failures' reasons for the report. Shared by the run's fetchers:
// every call is thread-safe.
#pragma once

#include "formats/ServerUrls.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/sync.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TServers {
public:
    static constexpr int kDemoteAfter = 3;
    // Mirrors a signed list may add, at most.
    static constexpr std::size_t kMaxListed = kMaxListedMirrors;
    // Reasons kept per server; later failures are only counted.
    static constexpr std::size_t kKeptReasons = 8;
    // How long a server that accepted the connection may take to begin its
    // answer, while another server could be asked instead.
    static constexpr std::chrono::milliseconds kAnswerWithin{10000};

    // Base URLs in the order given (each ends in "/"); duplicates once.
    explicit TServers(const std::vector<std::string>& baseUrls);
    TServers(const TServers&) = delete;
    TServers& operator=(const TServers&) = delete;

    std::size_t Count() const;
    std::string Base(std::size_t server) const;
    // Appends the mirrors a verified list names: only server URLs
    // (formats/ServerUrls), none already known, at most kMaxListed in all.
    // Returns how many were added.
    std::size_t AddListed(const std::vector<std::string>& urls);

    // The server that gave the list: asked first from now on.
    void Prefer(std::size_t server);
    // The order to ask the servers in now: the preferred one, the others as
    // given, then those that kept failing.
    std::vector<std::size_t> Order() const;
    // How long to wait for an answer to begin: bounded when there is another
    // server to ask; zero (the stall rule alone) when there is none.
    std::chrono::milliseconds AnswerWithin() const;
    // The silence of the server a URL goes to (null for none of the run's):
    // once one request has waited AnswerWithin for it, every other request
    // to it moves on at once, so a hung server costs the run one bound, not
    // one per request. A silent server is asked last.
    os::HttpSilence* SilenceOf(std::string_view url) const;

    void Failed(std::size_t server, const TFailure& failure);
    void Succeeded(std::size_t server);

    struct TRecord {
        std::string base;
        std::size_t failures = 0;
        std::vector<TFailure> reasons;  // the first kKeptReasons
        bool demoted = false;
    };
    std::vector<TRecord> Records() const;

private:
    struct TServer {
        TRecord record;
        int inARow = 0;
        std::unique_ptr<os::HttpSilence> silence = std::make_unique<os::HttpSilence>();
    };
    bool AddLocked(const std::string& url);

    mutable os::Mutex mutex_;
    std::vector<TServer> servers_;
    std::size_t preferred_ = 0;
    std::size_t listed_ = 0;
};

// Whether a failure is the server's own, so that another may do better: no
// connection or answer, a stall, a cut, an error status, or a copy that is
// not the one the list names. A stop, the local disk or the list's own
// problems are no server's.
bool ServerFault(TFault fault);
// Whether a failure may come from a cache that kept an old copy under the
// same name: asked again with a query that caches key on.
bool CopyFault(TFault fault);

// The URLs of a text that lists several, separated by blanks.
std::vector<std::string> SplitServerUrls(std::string_view text);

// One file's way through the servers: the URL to ask now and, after each
// failure, the next. A copy that doesn't match its digest is asked once
// more from the same server with "?md5=<digest>" appended before the next
// server is tried. Used by one thread at a time.
class TServerCursor {
public:
    // listPath: as the list names it (CopyUrl makes the URLs); digest: the
    // entry's MD5, empty when there is none (the list, the signature).
    TServerCursor(TServers& servers, std::string listPath, std::string digest);

    const std::string& Url() const { return url_; }
    // The base URL of the server Url() goes to.
    std::string Base() const { return servers_.Base(order_[step_]); }
    // Whether this is not the first server asked: what an earlier server
    // sent (a partial copy) is not continued from this one.
    bool Moved() const { return step_ > 0; }

    // The attempt at Url() failed: recorded for its server (when the fault
    // is the server's); true when there is another URL to ask, now Url().
    bool Failed(const TFailure& failure);
    void Succeeded();
    // What the file's failure is when every server failed: the first
    // server's reason.
    const TFailure& FirstFailure() const { return first_; }
    // Whether no server answered at all.
    bool NoneAnswered() const { return !answered_; }

private:
    void Point();

    TServers& servers_;
    const std::string listPath_;
    const std::string digest_;
    std::vector<std::size_t> order_;
    std::size_t step_ = 0;
    bool busted_ = false;  // asked with the digest query at this server
    std::string url_;
    TFailure first_;
    bool answered_ = false;
};
