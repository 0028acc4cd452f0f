#include "engine/ahead/InstallAhead.h"

#include "engine/ahead/AheadDecode.h"
#include "engine/ahead/AheadFetch.h"
#include "engine/fetch/RunControl.h"

#include <algorithm>
#include <deque>
#include <utility>

TInstallAhead::TInstallAhead(TOptions options, std::size_t count,
                             std::function<std::optional<TAheadJob>(std::size_t)> jobAt)
    : shared_(options), queue_(options.budget, count, std::move(jobAt)) {
    const auto n = static_cast<std::size_t>(options.connections > 1 ? options.connections : 1);
    sessions_.resize(n);
    if (options.session && *options.session) {
        pool_ = std::move(*options.session);
    } else {
        pool_.emplace(options.agent);
    }
    workers_.reserve(n + Decoders);
    for (std::size_t w = 0; w < n; ++w) workers_.emplace_back([this, w] { FetchLoop(w); });
    for (int d = 0; d < Decoders; ++d) workers_.emplace_back([this] { DecodeLoop(); });
}

TInstallAhead::~TInstallAhead() {
    shared_.Stop();
    queue_.Stop();
    for (std::thread& worker : workers_) worker.join();
    // The workers' sessions go first; the run's goes back to it, with the
    // connections they kept.
    sessions_.clear();
    if (shared_.options.session) *shared_.options.session = std::move(pool_);
}

// A fetcher: takes the copies to fetch again first, else claims the next
// entry; hands what it fetched to the decoders and goes on at once. Over
// HTTP/2 it holds several claims, their requests started together (the
// driver's thread moves their answers meanwhile), and fetches them one
// after the other: 64 streams in flight cost 8 threads, not 64.
void TInstallAhead::FetchLoop(std::size_t w) {
    TAheadFetcher fetcher(shared_, *pool_, sessions_[w]);
    std::deque<std::pair<TClaim*, bool>> hand;  // with fromZero
    for (;;) {
        bool fromZero = false;
        if (hand.empty()) {
            TClaim* claim = queue_.NextToFetch([this, w] { return Serves(w); }, fromZero);
            if (!claim) return;
            hand.emplace_back(claim, fromZero);
            if (Depth() > 1) fetcher.Prefetch(*claim);
        }
        while (hand.size() < Depth()) {
            TClaim* claim = queue_.TryNextToFetch(fromZero);
            if (!claim) break;
            hand.emplace_back(claim, fromZero);
            fetcher.Prefetch(*claim);
        }
        const auto [claim, zero] = hand.front();
        hand.pop_front();
        TFailure failure;
        const TFetched fetched = fetcher.Fetch(*claim, zero, failure);
        queue_.Fetched(*claim, fetched, std::move(failure));
    }
}

// Under a rate limit one connection carries it all: each more would have
// the server fill its buffers ahead of the paced reads. The limit may
// change at any time, so an idle fetcher looks again.
bool TInstallAhead::Serves(std::size_t w) const {
    return w == 0 || shared_.options.control->RateLimit() == 0;
}

// Claims a fetcher holds at once: one a connection, or, once the server
// answered over HTTP/2 (learnt from its first answer), the streams in
// flight shared among the fetchers.
std::size_t TInstallAhead::Depth() const {
    const int connections = shared_.options.connections;
    if (connections <= 1 || shared_.options.control->RateLimit() != 0 || !pool_->Multiplexed()) return 1;
    return static_cast<std::size_t>((shared_.options.multiplexed + connections - 1) / connections);
}

// A decoder: the lowest fetched entry first, since the run waits for it.
void TInstallAhead::DecodeLoop() {
    while (TClaim* claim = queue_.NextToDecode()) queue_.Decoded(*claim, DecodeClaim(shared_, *claim));
}
