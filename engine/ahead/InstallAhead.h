// The install loop's work done ahead of the entry the view shows. Fetching
// one copy after another over one kept connection paid a round trip per
// entry: 601 requests at 50 ms were 30 s of a 36 s fresh install, and the
// second core sat idle while the first decoded. Here several fetchers, each
// with a connection of its own, fetch the next entries in list order, and
// two decoders (one a core) decode and verify the fetched copies into their
// ".part" temporaries, lowest entry first, while the run's thread still
// shows and installs the entries one by one, in list order. A fetcher never
// decodes, so its connection never waits for a core. Over HTTP/1.1 each
// request still waits its round trip on its connection: 4 connections made
// 600 small files at 50 ms 1.6-1.8x curl on 8. So 8 fetchers serve, each
// with a connection; once the server answers over HTTP/2 (one connection
// carrying every request at once), each keeps 8 requests in flight, and 64
// streams cost 8 threads (a thread a stream cost two cores' time: 64 were
// slower than 32).
//
// The parts, each calling only those after it: this loop runs the workers'
// threads and moves each claim between the queue (AheadQueue: window,
// budget, claims), a fetcher (AheadFetch) and a decoder (AheadDecode); both
// use the patch path (AheadPatch); all of them meet only in what a claim
// carries (AheadClaim).
#pragma once

#include "engine/ahead/AheadClaim.h"
#include "engine/ahead/AheadJob.h"
#include "engine/ahead/AheadQueue.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class TInstallAhead {
public:
    static constexpr int Decoders = 2;

    using TOptions = TAheadOptions;
    using TStage = TAheadStage;
    using TOutcome = TAheadOutcome;
    using TState = TAheadState;
    using TTally = TAheadQueue::TTally;

    // Starts the workers; jobAt(i) is the job of entry i, or nullopt for an
    // entry that fails without a request (the run's thread reports it).
    // jobAt is called once an entry, on the workers' threads.
    TInstallAhead(TOptions options, std::size_t count, std::function<std::optional<TAheadJob>(std::size_t)> jobAt);
    // Stops the workers at their next block and waits for them; copies not
    // taken are removed (interrupted transfers stay as resumable partial
    // copies, as for a stopped run).
    ~TInstallAhead();
    TInstallAhead(const TInstallAhead&) = delete;
    TInstallAhead& operator=(const TInstallAhead&) = delete;

    TTally Tally() { return queue_.Tally(); }
    // Entry i's state once it is done, or after at most wait. Entries are
    // waited for and taken in increasing order.
    TState Wait(std::size_t i, std::chrono::steady_clock::duration wait) { return queue_.Wait(i, wait); }
    // Entry i, once done: its outcome and, when Ready, its verified decoded
    // copy, which the caller now owns; otherwise why it failed.
    // note: how it came, for the run's log (a patch, or why a patch failed);
    // empty for a plain copy.
    TOutcome Take(std::size_t i, std::string& part, TFailure& failure, std::string* note = nullptr) {
        return queue_.Take(i, part, failure, note);
    }

private:
    void FetchLoop(std::size_t worker);
    void DecodeLoop();
    bool Serves(std::size_t worker) const;
    std::size_t Depth() const;

    TAheadShared shared_;
    TAheadQueue queue_;
    std::optional<os::HttpSession> pool_;  // the run's session; forked for each fetcher
    std::vector<std::optional<os::HttpSession>> sessions_;
    std::vector<std::thread> workers_;  // fetchers, then decoders; last: start once everything above is ready
};
