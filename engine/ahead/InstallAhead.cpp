#include "engine/ahead/InstallAhead.h"

#include "engine/ahead/AheadDecode.h"
#include "engine/ahead/AheadFetch.h"
#include "engine/fetch/RunControl.h"

#include <algorithm>

TInstallAhead::TInstallAhead(TOptions options, std::size_t count,
                             std::function<std::optional<TAheadJob>(std::size_t)> jobAt)
    : shared_(options), queue_(options.budget, count, std::move(jobAt)) {
    const int connections = options.connections > 1 ? options.connections : 1;
    const int fetchers = connections > 1 ? std::max(connections, options.multiplexed) : 1;
    const auto n = static_cast<std::size_t>(fetchers);
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
// entry; hands what it fetched to the decoders and goes on at once.
void TInstallAhead::FetchLoop(std::size_t w) {
    TAheadFetcher fetcher(shared_, *pool_, sessions_[w]);
    bool fromZero = false;
    while (TClaim* claim = queue_.NextToFetch([this, w] { return Serves(w); }, fromZero)) {
        TFailure failure;
        const TFetched fetched = fetcher.Fetch(*claim, fromZero, failure);
        queue_.Fetched(*claim, fetched, std::move(failure));
    }
}

// Under a rate limit one connection carries it all: each more would have
// the server fill its buffers ahead of the paced reads. Otherwise as many
// serve as the server takes requests at once: one a connection, or many
// over one HTTP/2 connection. The limit may change at any time, and the
// server's protocol is learnt from its first answer, so an idle fetcher
// looks again.
bool TInstallAhead::Serves(std::size_t w) const {
    if (w == 0) return true;
    if (shared_.options.control->RateLimit() != 0) return false;
    const int serving = pool_->Multiplexed() ? shared_.options.multiplexed : shared_.options.connections;
    return w < static_cast<std::size_t>(serving);
}

// A decoder: the lowest fetched entry first, since the run waits for it.
void TInstallAhead::DecodeLoop() {
    while (TClaim* claim = queue_.NextToDecode()) queue_.Decoded(*claim, DecodeClaim(shared_, *claim));
}
