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
// with a connection, and once the server answers over HTTP/2 (one
// connection carrying every request at once) 32 do.
//
// Bounded: a fetcher claims an entry only within Window entries and Budget
// bytes (its copy's largest size plus its decoded size) of the entry the
// run takes, except the next one in order, which is always claimed. Small
// copies are held in memory (at most MemoryBudget bytes of them), the rest
// are written to their partial copies. The fetchers live in
// engine/AheadFetch.cpp; the queue and the decoders in InstallAhead.cpp.
#pragma once

#include "engine/fetch/Servers.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

class TDownloadSink;
class TTempNames;
class TListTrust;
class TPace;
class TRunControl;

// Connections (and fetchers serving) of an install over HTTP/1.1; with 1,
// each entry is fetched before the next begins.
inline constexpr int kFetchConnections = 8;
// Fetchers serving once the server multiplexes requests (HTTP/2).
inline constexpr int kMultiplexedFetches = 32;

// One patch of an entry's chain (formats/PatchIndex).
struct TPatchFetch {
    std::string url;
    std::uint64_t bytes = 0;  // the patch file's size...
    std::string sha256;       // ...and SHA-256, as the index gives them
    std::string to;           // the MD5 of what it produces
};

// One entry to fetch: what a worker needs of its list line.
struct TAheadJob {
    std::string path;  // relative, "\" separated, already checked safe
    std::string digest;
    std::string sha256;
    std::int64_t size = 0;       // decoded
    std::int64_t copyLimit = 0;  // most bytes its copy may have
    // Patches from the file in place to the entry, in order; when empty or
    // failed, the copy (engine/AheadPatch.cpp).
    std::vector<TPatchFetch> patches;
};

class TInstallAhead {
public:
    static constexpr std::size_t Window = 256;
    static constexpr std::uint64_t Budget = std::uint64_t{64} << 20;
    static constexpr int Decoders = 2;
    // Copies of entries too small to be continued (kResumableSize) are held
    // in memory up to this much in all: no name on disk but the ".part".
    static constexpr std::uint64_t MemoryBudget = std::uint64_t{2} << 20;

    struct TOptions {
        std::string installDir;  // with its trailing "\"
        std::string agent;
        int connections = kFetchConnections;
        int multiplexed = kMultiplexedFetches;  // no more than connections when that is 1
        std::uint64_t budget = Budget;
        TTempNames* temps = nullptr;  // names are picked under our lock
        const TListTrust* trust = nullptr;
        const TRunControl* control = nullptr;
        // Where the copies come from (engine/Servers): each entry from the
        // first server in their order, the next on a failure of its own.
        TServers* servers = nullptr;
        // The run's limit and pause; null: neither.
        TPace* pace = nullptr;
        // The run's session: the workers' sessions are forked from it (so
        // a run's requests share its connections), and it goes back at the end.
        std::optional<os::HttpSession>* session = nullptr;
    };

    enum class TStage { Queued, Downloading, Extracting, Done };
    enum class TOutcome { Ready, Failed, Unreachable };

    // Where an entry stands. bytes: received while downloading (a resumed
    // transfer counts from the bytes it had), read from the copy while
    // extracting; attempt: 2 once a resumed copy that failed is fetched
    // again from zero.
    struct TState {
        TStage stage = TStage::Queued;
        int attempt = 0;
        std::int64_t bytes = 0;
        std::int64_t compressed = 0;  // the copy's size, once extracting
        std::int64_t from = 0;        // where a resumed transfer began
    };

    // Starts the workers; jobAt(i) is the job of entry i, or nullopt for an
    // entry that fails without a request (the run's thread reports it).
    // jobAt is called on the workers' threads.
    TInstallAhead(TOptions options, std::size_t count, std::function<std::optional<TAheadJob>(std::size_t)> jobAt);
    // Stops the workers at their next block and waits for them; copies not
    // taken are removed (interrupted transfers stay as resumable partial
    // copies, as for a stopped run).
    ~TInstallAhead();
    TInstallAhead(const TInstallAhead&) = delete;
    TInstallAhead& operator=(const TInstallAhead&) = delete;

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
    TState Wait(std::size_t i, std::chrono::steady_clock::duration wait);
    // Entry i, once done: its outcome and, when Ready, its verified decoded
    // copy, which the caller now owns; otherwise why it failed.
    // note: how it came, for the run's log (a patch, or why a patch failed);
    // empty for a plain copy.
    TOutcome Take(std::size_t i, std::string& part, TFailure& failure, std::string* note = nullptr);

private:
    struct Slot {
        TState state;
        std::uint64_t cost = 0;
        TOutcome outcome = TOutcome::Failed;
        TFailure failure;
        int status = 0;  // of the response the copy came with
        std::string part;
        // The fetched copy waiting for a decoder: on disk, or in memory
        // (then memory bytes of MemoryBudget are its own).
        std::string archive;
        std::vector<std::uint8_t> copy;
        std::uint64_t memory = 0;
        bool resumed = false;  // continued from an earlier run's partial copy
        // The servers asked for this entry so far, and the one to ask now.
        std::optional<TServerCursor> cursor;
        // What the tally counts for its fetched copy.
        bool fetched = false;
        std::int64_t fetchedCopy = 0;
        std::int64_t fetchedSize = 0;
        // The chain's patches, fetched and checked, for a decoder to apply;
        // once they failed, the copy is fetched instead.
        std::vector<std::string> patchFiles;
        bool patchFailed = false;
        std::string note;
    };
    struct TWorker;
    enum class TFetched { Copy, Failed, Unreachable };

    static std::uint64_t CostOf(const std::optional<TAheadJob>& job);
    void FetchLoop(std::size_t worker);
    bool NextToFetch(std::size_t worker, std::unique_lock<os::Mutex>& lock, std::size_t& j, bool& fromZero);
    bool Serves(std::size_t worker) const;
    void KeepInMemoryIfRoom(Slot& slot, const TAheadJob& job);
    void Settle(Slot& slot, std::size_t j, const std::optional<TAheadJob>& job, TFetched fetched, TFailure failure);
    void DecodeLoop();
    bool CanClaim();
    TFetched FetchFromServers(TWorker& worker, Slot& slot, const TAheadJob& job, bool fromZero, TFailure& failure);
    TFetched FetchOne(TWorker& worker, Slot& slot, const TAheadJob& job, const std::string& url, bool fromZero);
    TFetched FetchOverPauses(TWorker& worker, Slot& slot, const TAheadJob& job, const std::string& url,
                             bool fromZero);
    bool NextServerAfter(Slot& slot, TFailure& failure);
    void Receive(os::HttpResponse& response, TDownloadSink& sink, std::uint64_t offset, std::int64_t limit, Slot& slot,
                 bool& broken);
    std::string DecodeVerified(Slot& slot, const TAheadJob& job);
    bool FetchPatches(os::HttpSession& http, Slot& slot, const TAheadJob& job);
    void FetchPatch(os::HttpSession& http, Slot& slot, const TAheadJob& job, const TPatchFetch& patch, std::uint64_t offset);
    std::string ApplyVerified(Slot& slot, const TAheadJob& job);
    static void DropPatches(Slot& slot);
    void MakeDirectoryOf(const std::string& relative);
    std::string Pick(const std::string& relative, const std::string& suffix);
    void SetState(Slot& slot, TStage stage, std::int64_t bytes, std::int64_t compressed = -1);
    void SetBytes(Slot& slot, std::int64_t bytes);
    bool Stopped() const;
    void StopSessionWithUs(os::HttpSession& session);

    const TOptions options_;
    const std::size_t count_;
    const std::function<std::optional<TAheadJob>(std::size_t)> jobAt_;

    os::Mutex mutex_;
    os::Condition changed_;
    std::map<std::size_t, Slot> slots_;  // claimed and not taken; nodes stay put
    std::size_t next_ = 0;               // first entry not claimed yet
    std::size_t consumed_ = 0;           // the entry the run waits for
    std::uint64_t ahead_ = 0;            // cost of the claimed entries not taken
    std::optional<std::pair<std::size_t, std::uint64_t>> nextCost_;
    bool exhausted_ = false;             // the server was unreachable: nothing more is claimed
    std::atomic<bool> stopping_{false};  // set under mutex_, read by workers between blocks
    std::set<std::size_t> toDecode_;     // fetched, decoded lowest first
    std::set<std::size_t> fetchAgain_;   // resumed copies that failed: fetched again from zero, first
    std::uint64_t inMemory_ = 0;         // of MemoryBudget
    TTally tally_;                       // inHand: of the copies fetched only

    os::Mutex namesMutex_;  // TTempNames and directory creation
    std::optional<os::HttpSession> pool_;  // the run's session; forked for each worker
    std::vector<std::optional<os::HttpSession>> sessions_;
    std::vector<std::thread> workers_;  // fetchers, then decoders; last: start once everything above is ready
};
