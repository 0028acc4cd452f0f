// What passes between the queue of the install's work ahead and its
// workers (fetchers, decoders, the patch path), which never see the queue:
// the queue hands a worker a claim, the worker tells where the entry stands
// through the claim's TClaimProgress and returns what it came to.
#pragma once

#include "engine/ahead/AheadJob.h"
#include "engine/fetch/Servers.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TDownloadSink;

// The queue's one face toward its workers, for the entry of one claim.
class TClaimProgress {
public:
    // A stage begins at 0 bytes; Downloading is a new attempt. compressed:
    // the copy's size, when known (-1: unchanged).
    virtual void Begin(TAheadStage stage, std::int64_t compressed = -1) = 0;
    // A transfer begins at offset: a continued copy counts from the bytes it had.
    virtual void From(std::int64_t offset) = 0;
    virtual void Bytes(std::int64_t bytes) = 0;

protected:
    ~TClaimProgress() = default;
};

// One claimed entry as its workers carry it from the fetch to the decoding.
// One worker at a time holds it; the queue hands it on.
struct TClaim {
    std::size_t entry = 0;
    const TAheadJob* job = nullptr;
    TClaimProgress* progress = nullptr;
    // Bytes of the memory budget its copy may hold, given by the queue; 0:
    // the copy goes to disk.
    std::uint64_t memory = 0;
    // The fetched copy waiting for a decoder: on disk, or in memory.
    std::string archive;
    std::vector<std::uint8_t> copy;
    int status = 0;        // of the response the copy came with
    bool resumed = false;  // continued from an earlier run's partial copy
    // The servers asked for this entry so far, and the one to ask now.
    std::optional<TServerCursor> cursor;
    // The chain's patches, fetched and checked, for a decoder to apply;
    // once they failed, the copy is fetched instead.
    std::vector<std::string> patchFiles;
    bool patchFailed = false;
    // The server (its base) whose object failed: that server's copy comes
    // next, and the next server's object after it.
    std::string objectFailedAt;
    // The file (relative) an earlier entry of the same content was put in
    // place as: copied from there first, fetched when that fails.
    std::string localFrom;
    // A part decoded and verified as it arrived (an object): Ready.
    std::string part;
    std::string note;  // how it came, for the run's log
};

// What a fetch came to: a copy for a decoder, or a part already verified
// (Ready), or the entry's failure.
enum class TFetched { Copy, Ready, Failed, Unreachable };

// What the decoding came to: Ready with the verified part, or the entry's
// failure; again: the entry is to be fetched once more, from zero.
struct TDecoded {
    TAheadOutcome outcome = TAheadOutcome::Failed;
    std::string part;
    TFailure failure;
    bool again = false;
};

// What the workers of one loop share: the options, the names (picked and
// created under one lock, since workers share the tree) and the stop.
class TAheadShared {
public:
    explicit TAheadShared(TAheadOptions given) : options(std::move(given)) {}

    const TAheadOptions options;

    // The run's stop or the loop's, looked at between blocks.
    bool Stopped() const;
    void Stop() { stopping_ = true; }

    std::string Pick(const std::string& relative, const std::string& suffix);
    // A new temporary for relative; with directory, its folder is made first.
    os::File Create(const std::string& relative, const std::string& suffix, std::string& path, bool directory = false);
    void MakeDirectoryOf(const std::string& relative);

    // A response's body into sink from offset, cut past limit; the bytes go
    // to the claim's progress and the status to the claim.
    void Receive(os::HttpResponse& response, TDownloadSink& sink, std::uint64_t offset, std::int64_t limit,
                 TClaim& claim, bool& broken) const;

private:
    void MakeDirectoryLocked(const std::string& relative);

    os::Mutex namesMutex_;  // TTempNames and directory creation
    std::atomic<bool> stopping_{false};
};

// After a failed attempt: true when the claim's cursor names another URL to
// ask; otherwise failure becomes the entry's reason.
bool NextServerAfter(const TAheadShared& shared, TClaim& claim, TFailure& failure);

// Removes the claim's temporaries: its copy on disk, its patches.
void DropCopy(TClaim& claim);
void DropPatches(TClaim& claim);
