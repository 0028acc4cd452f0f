// What the install's work ahead (engine/ahead/InstallAhead) is given and
// what it tells: the options of a loop, the job of one entry, and where an
// entry stands. Every part of the pipeline sees these; none sees another
// part through them.
#pragma once

#include "platform/os.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TTempNames;
class TListTrust;
class TPace;
class TRunControl;
class TServers;

// Connections (and fetchers serving) of an install over HTTP/1.1; with 1,
// each entry is fetched before the next begins.
inline constexpr int kFetchConnections = 8;
// Requests in flight once the server multiplexes them (HTTP/2), shared
// among the kFetchConnections fetchers.
inline constexpr int kMultiplexedFetches = 64;

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
    // failed, the copy (engine/ahead/AheadPatch).
    std::vector<TPatchFetch> patches;
    // The entry's object (engine/ahead/AheadObject) as a path under a
    // server's base ("objects/ab/<md5>.zst"), asked from each server before
    // that server's copy when the list names objects; empty: the copy only.
    // objectLimit: the most bytes it may have.
    std::string object;
    std::int64_t objectLimit = 0;
    // A content fetched ahead of its list: no copy stands for it on any
    // server, so only its object is asked, from each server in turn.
    bool objectOnly = false;
    // Entries of one content are fetched once: a later one (sameAs: the
    // first entry of its content) is copied from the file the first one put
    // in place, once the run took it; shared: a later entry has its content.
    std::optional<std::size_t> sameAs;
    bool shared = false;
};

struct TAheadOptions {
    // Bytes claimed ahead at most: each entry's copy's largest size plus its
    // decoded size.
    static constexpr std::uint64_t Budget = std::uint64_t{64} << 20;

    std::string installDir;  // with its trailing "\"
    std::string agent;
    int connections = kFetchConnections;
    int multiplexed = kMultiplexedFetches;  // no more than connections when that is 1
    std::uint64_t budget = Budget;
    TTempNames* temps = nullptr;  // names are picked under the workers' lock
    const TListTrust* trust = nullptr;
    const TRunControl* control = nullptr;
    // Where the copies come from (engine/fetch/Servers): each entry from the
    // first server in their order, the next on a failure of its own.
    TServers* servers = nullptr;
    // The run's limit and pause; null: neither.
    TPace* pace = nullptr;
    // The run's session: the workers' sessions are forked from it (so
    // a run's requests share its connections), and it goes back at the end.
    std::optional<os::HttpSession>* session = nullptr;
};

enum class TAheadStage { Queued, Downloading, Extracting, Done };
enum class TAheadOutcome { Ready, Failed, Unreachable };

// Where an entry stands. bytes: received while downloading (a resumed
// transfer counts from the bytes it had), read from the copy while
// extracting; attempt: 2 once a resumed copy that failed is fetched again
// from zero.
struct TAheadState {
    TAheadStage stage = TAheadStage::Queued;
    int attempt = 0;
    std::int64_t bytes = 0;
    std::int64_t compressed = 0;  // the copy's size, once extracting
    std::int64_t from = 0;        // where a resumed transfer began
};
