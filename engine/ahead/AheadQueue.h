// The queue of the install's work ahead: which entries are claimed (the
// window, the byte budget, the memory budget), where each stands, and what
// the run takes. It knows nothing of how an entry is fetched or decoded:
// it hands a worker a TClaim and takes back what the worker returns.
//
// Bounded: an entry is claimed only within Window entries and the budget
// (its copy's largest size plus its decoded size) of the entry the run
// takes, except the next one in order, which is always claimed. Small copies
// are held in memory (at most MemoryBudget bytes of them), the rest are
// written to their partial copies.
#pragma once

#include "engine/ahead/AheadClaim.h"
#include "platform/sync.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

class TAheadQueue {
public:
    static constexpr std::size_t Window = 256;
    // Copies of entries too small to be continued (kResumableSize) are held
    // in memory up to this much in all: no name on disk but the ".part".
    static constexpr std::uint64_t MemoryBudget = std::uint64_t{2} << 20;

    // jobAt(i): the job of entry i, or nullopt for an entry that fails
    // without a request; asked once, under the queue's lock.
    TAheadQueue(std::uint64_t budget, std::size_t count, std::function<std::optional<TAheadJob>(std::size_t)> jobAt);
    // Removes what was claimed and not taken: decoded parts, fetched copies,
    // patches (interrupted transfers stay as resumable partial copies).
    ~TAheadQueue();
    TAheadQueue(const TAheadQueue&) = delete;
    TAheadQueue& operator=(const TAheadQueue&) = delete;

    // Wakes every worker that waits; none is handed anything after.
    void Stop();

    // A fetcher's next claim: a copy to fetch again (fromZero) first, else
    // the next entry, once serves() and the bounds allow; serves is asked
    // again every 100 ms. Null once stopped.
    TClaim* NextToFetch(const std::function<bool()>& serves, bool& fromZero);
    // What the fetch of a claim came to: a copy for the decoders, or a done,
    // failed entry. A server that can't be reached ends the claims there.
    void Fetched(TClaim& claim, TFetched fetched, TFailure failure);
    // A decoder's next claim, the lowest fetched entry first since the run
    // waits for it; null once stopped.
    TClaim* NextToDecode();
    void Decoded(TClaim& claim, TDecoded decoded);

    // What the fetchers have brought so far, for the install's figures.
    struct TTally {
        std::int64_t received = 0;       // bytes received by this loop (not what resumed copies held)
        std::int64_t inHand = 0;         // copy bytes held: copies fetched and transfers in progress
        std::int64_t fetchedCopies = 0;  // sizes of the copies fetched whole...
        std::int64_t fetchedSizes = 0;   // ...and the decoded sizes of their entries
        std::int64_t failedSizes = 0;    // decoded sizes of the entries whose fetch failed
    };
    TTally Tally();
    // Entry i's state once it is done, or after at most wait. Entries are
    // waited for and taken in increasing order.
    TAheadState Wait(std::size_t i, std::chrono::steady_clock::duration wait);
    // Entry i, once done: its outcome and, when Ready, its verified decoded
    // copy, which the caller now owns; otherwise why it failed. note: how it
    // came, for the run's log; empty for a plain copy.
    TAheadOutcome Take(std::size_t i, std::string& part, TFailure& failure, std::string* note);

private:
    // A claimed entry: what the queue keeps of it, and its claim, whose
    // progress it is.
    struct Slot final : TClaimProgress {
        explicit Slot(TAheadQueue& queue) : queue(queue) {}
        void Begin(TAheadStage stage, std::int64_t compressed) override;
        void From(std::int64_t offset) override;
        void Bytes(std::int64_t bytes) override;

        TAheadQueue& queue;
        std::optional<TAheadJob> job;
        TClaim claim;
        TAheadState state;
        std::uint64_t cost = 0;
        TAheadOutcome outcome = TAheadOutcome::Failed;
        TFailure failure;
        std::string part;
        // What the tally counts for its fetched copy.
        bool fetched = false;
        std::int64_t fetchedCopy = 0;
        std::int64_t fetchedSize = 0;
    };

    bool CanClaim();
    bool Waits(Slot& slot);
    void Release(std::size_t before);
    Slot& Claim();
    void KeepInMemoryIfRoom(Slot& slot);
    void Finish(Slot& slot, TFetched fetched, TFailure failure);

    const std::uint64_t budget_;
    const std::size_t count_;
    const std::function<std::optional<TAheadJob>(std::size_t)> jobAt_;

    os::Mutex mutex_;
    os::Condition changed_;
    std::map<std::size_t, Slot> slots_;  // claimed and not taken; nodes stay put
    std::size_t next_ = 0;               // first entry not claimed yet
    std::size_t consumed_ = 0;           // the entry the run waits for
    std::uint64_t ahead_ = 0;            // cost of the claimed entries not taken
    // The job of next_, once the bounds looked at it.
    std::optional<std::pair<std::size_t, std::optional<TAheadJob>>> nextJob_;
    bool exhausted_ = false;           // the server was unreachable: nothing more is claimed
    bool stopping_ = false;
    std::set<std::size_t> toDecode_;    // fetched, decoded lowest first
    std::set<std::size_t> fetchAgain_;  // resumed copies that failed: fetched again from zero, first
    // Entries of a content an earlier entry brings: waiting for it to be
    // taken (by the earlier one's index), then to be fetched (copied).
    std::multimap<std::size_t, std::size_t> sameWaiting_;
    std::set<std::size_t> sameReady_;
    std::map<std::size_t, std::string> sharedTaken_;  // first entries taken Ready, and their paths
    // The last first entry taken: released once the run asks for a later
    // entry, by when it put that one in place.
    struct TTaken {
        std::size_t index;
        TAheadOutcome outcome;
        std::string path;
    };
    std::optional<TTaken> taken_;
    std::uint64_t inMemory_ = 0;        // of MemoryBudget
    TTally tally_;                      // inHand: of the copies fetched only
};
