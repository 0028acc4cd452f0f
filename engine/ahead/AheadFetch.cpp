// The fetchers of TInstallAhead: each claims the next entry in list order
// (or a copy to fetch again), fetches its copy over a connection of its own
// (into memory when small, else into its partial copy) and hands it to the
// decoders. engine/InstallAhead.cpp holds the queue and the decoders.
#include "engine/ahead/InstallAhead.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/Resume.h"
#include "engine/fetch/RunControl.h"
#include "engine/state/TempNames.h"

struct TInstallAhead::TWorker {
    TInstallAhead& ahead;
    std::optional<os::HttpSession>& http;
    os::HttpSession& Http() {
        if (!http) {
            http.emplace(ahead.pool_->Fork());
            ahead.StopSessionWithUs(*http);
        }
        return *http;
    }
};

// A fetcher's transfer ends at a stop of the run or of the loop, also while
// it waits for a stalled server.
void TInstallAhead::StopSessionWithUs(os::HttpSession& session) {
    session.SetStop([this] { return Stopped(); });
    session.SetRateLimit([control = options_.control] { return control->RateLimit(); });
}

// A fetcher: takes the copies to fetch again first, else claims the next
// entry; hands what it fetched to the decoders and goes on at once.
void TInstallAhead::FetchLoop(std::size_t w) {
    TWorker worker{*this, sessions_[w]};
    std::unique_lock<os::Mutex> lock(mutex_);
    std::size_t j = 0;
    bool fromZero = false;
    while (NextToFetch(w, lock, j, fromZero)) {
        Slot& slot = slots_[j];
        lock.unlock();
        const std::optional<TAheadJob> job = jobAt_(j);
        TFetched fetched = TFetched::Failed;
        TFailure failure;
        if (job) {
            KeepInMemoryIfRoom(slot, *job);
            if (!slot.cursor) slot.cursor.emplace(*options_.servers, job->path, job->digest);
            fetched = FetchFromServers(worker, slot, *job, fromZero, failure);
        }
        lock.lock();
        Settle(slot, j, job, fetched, std::move(failure));
        changed_.notify_all();
    }
}

// Waits for an entry this fetcher may take (mutex_ held); false once the
// loop stops.
bool TInstallAhead::NextToFetch(std::size_t w, std::unique_lock<os::Mutex>& lock, std::size_t& j, bool& fromZero) {
    while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] {
        return stopping_ || ((!fetchAgain_.empty() || CanClaim()) && Serves(w));
    })) {
    }
    if (stopping_) return false;
    fromZero = !fetchAgain_.empty();
    if (fromZero) {
        j = *fetchAgain_.begin();
        fetchAgain_.erase(fetchAgain_.begin());
        return true;
    }
    j = next_++;
    Slot& claimed = slots_[j];
    claimed.cost = nextCost_ && nextCost_->first == j ? nextCost_->second : CostOf(jobAt_(j));
    ahead_ += claimed.cost;
    return true;
}

// Under a rate limit one connection carries it all: each more would have
// the server fill its buffers ahead of the paced reads. Otherwise as many
// serve as the server takes requests at once: one a connection, or many
// over one HTTP/2 connection. The limit may change at any time, and the
// server's protocol is learnt from its first answer, so an idle fetcher
// looks again.
bool TInstallAhead::Serves(std::size_t w) const {
    if (w == 0) return true;
    if (options_.control->RateLimit() != 0) return false;
    const int serving = pool_->Multiplexed() ? options_.multiplexed : options_.connections;
    return w < static_cast<std::size_t>(serving);
}

// Small copies stay in memory while the budget has room for their largest
// size; the others (and the rest) go to disk.
void TInstallAhead::KeepInMemoryIfRoom(Slot& slot, const TAheadJob& job) {
    std::lock_guard<os::Mutex> lock(mutex_);
    const auto limit = static_cast<std::uint64_t>(job.copyLimit);
    if (static_cast<std::uint64_t>(job.size) < kResumableSize && inMemory_ + limit <= MemoryBudget) {
        slot.memory = limit;
        inMemory_ += limit;
    }
}

// What a fetch came to (mutex_ held): a copy for the decoders, or a done,
// failed entry.
void TInstallAhead::Settle(Slot& slot, std::size_t j, const std::optional<TAheadJob>& job, TFetched fetched,
                           TFailure failure) {
    if (fetched == TFetched::Copy) {
        toDecode_.insert(j);
        slot.fetched = true;
        slot.fetchedCopy = slot.state.bytes;
        slot.fetchedSize = job->size;
        tally_.fetchedCopies += slot.fetchedCopy;
        tally_.fetchedSizes += slot.fetchedSize;
        return;
    }
    if (job) tally_.failedSizes += job->size;
    inMemory_ -= slot.memory;
    slot.memory = 0;
    slot.copy = {};
    slot.outcome = fetched == TFetched::Unreachable ? TOutcome::Unreachable : TOutcome::Failed;
    slot.failure = std::move(failure);
    slot.state.stage = TStage::Done;
    // A server that can't be reached ends the loop at this entry.
    if (fetched == TFetched::Unreachable) exhausted_ = true;
}

// Asks the servers in the entry's order until one gives a copy. A failure
// that is not a server's (a stop, the disk) ends the entry at once; when
// every server failed, the first one's reason is the entry's.
TInstallAhead::TFetched TInstallAhead::FetchFromServers(TWorker& worker, Slot& slot, const TAheadJob& job,
                                                        bool fromZero, TFailure& failure) {
    TServerCursor& cursor = *slot.cursor;
    for (;;) {
        try {
            // Nothing an earlier server sent is continued from another.
            if (FetchOverPauses(worker, slot, job, cursor.Url(), fromZero || cursor.Moved()) == TFetched::Copy) {
                return TFetched::Copy;
            }
            failure = worker.Http().OpenFailure();
            failure.text = cursor.Url() + ": " + failure.text;
        } catch (const std::exception& e) {
            failure = FailureOf(e);
        }
        if (!NextServerAfter(slot, failure)) {
            return cursor.NoneAnswered() ? TFetched::Unreachable : TFetched::Failed;
        }
    }
}

// After a failed attempt: true when the entry's cursor names another URL to
// ask; otherwise failure becomes the entry's reason.
bool TInstallAhead::NextServerAfter(Slot& slot, TFailure& failure) {
    if (Stopped() || !slot.cursor) return false;
    if (slot.cursor->Failed(failure)) return true;
    if (!failure || ServerFault(failure.fault)) failure = slot.cursor->FirstFailure();
    return false;
}

// A transfer closed by a long pause is not the entry's failure: once the
// run is resumed, the entry is fetched again, continuing its partial copy
// (a copy in memory starts over). The worker's session is made anew.
TInstallAhead::TFetched TInstallAhead::FetchOverPauses(TWorker& worker, Slot& slot, const TAheadJob& job,
                                                       const std::string& url, bool fromZero) {
    for (;;) {
        try {
            return FetchOne(worker, slot, job, url, fromZero);
        } catch (const ETransferPaused&) {
            worker.http.reset();
            fromZero = false;  // the copy begun from zero is the one to continue
        }
    }
}

// Fetches one entry's copy: into memory when it has room there, else as the
// run's FetchCopy does, into its partial copy over the worker's connection.
TInstallAhead::TFetched TInstallAhead::FetchOne(TWorker& worker, Slot& slot, const TAheadJob& job,
                                                const std::string& url, bool fromZero) {
    // No new request while paused: it would only hold a connection.
    if (options_.pace) options_.pace->WaitWhilePaused([this] { return Stopped(); });
    SetState(slot, TStage::Downloading, 0);
    // Only a resumed copy that failed is fetched again from zero, not one
    // whose patches failed.
    fromZero = fromZero && slot.resumed;
    slot.resumed = false;
    if (!job.patches.empty() && !slot.patchFailed) {
        if (FetchPatches(worker.Http(), slot, job)) return TFetched::Copy;
        SetState(slot, TStage::Downloading, 0);  // the copy's bar starts over
    }
    if (slot.memory > 0) {
        slot.copy.clear();
        os::HttpOptions options;
        options.answerWithin = options_.servers->AnswerWithin();
        auto response = worker.Http().Open(url, options);
        if (!response) return TFetched::Unreachable;
        bool broken = false;
        slot.copy.reserve(static_cast<std::size_t>(slot.memory));  // what the budget counts, no more
        TMemorySink sink(slot.copy);
        Receive(*response, sink, 0, job.copyLimit, slot, broken);
        return TFetched::Copy;
    }
    {
        std::lock_guard<os::Mutex> lock(namesMutex_);
        MakeDirectoryOf(job.path);
    }
    const TCopyFetch how{
        worker.Http(), options_.installDir, *options_.temps,
        [this](const std::string& relative, const std::string& suffix) { return Pick(relative, suffix); },
        [this, &slot, &job](os::HttpResponse& response, os::File& file, std::uint64_t offset, bool& broken) {
            TFileSink sink(file);
            Receive(response, sink, offset, job.copyLimit, slot, broken);
        },
        options_.servers->AnswerWithin()};
    slot.archive = FetchEntryCopy(how, url, job.path, job.digest, static_cast<std::uint64_t>(job.size),
                                  static_cast<std::uint64_t>(job.copyLimit), fromZero, slot.resumed);
    return slot.archive.empty() ? TFetched::Unreachable : TFetched::Copy;
}

void TInstallAhead::Receive(os::HttpResponse& response, TDownloadSink& sink, std::uint64_t offset, std::int64_t limit,
                            Slot& slot, bool& broken) {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        slot.state.from = static_cast<std::int64_t>(offset);
        slot.state.bytes = static_cast<std::int64_t>(offset);
    }
    TReceive how;
    how.offset = offset;
    how.limit = static_cast<std::uint64_t>(limit);
    how.received = [this, &slot](std::uint64_t received) { SetBytes(slot, static_cast<std::int64_t>(received)); };
    how.stopped = [this] { return Stopped(); };
    how.pace = options_.pace;
    slot.status = ReceiveBody(response, sink, how, broken);
}
