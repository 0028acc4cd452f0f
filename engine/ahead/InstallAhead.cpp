#include "engine/ahead/InstallAhead.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/state/ListTrust.h"
#include "engine/fetch/RunControl.h"
#include "engine/patch/PatchApply.h"
#include "engine/state/TempNames.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"

#include <algorithm>
#include <memory>
#include <vector>

// What an entry claimed ahead holds of the budget: its copy's largest size
// and its decoded size.
std::uint64_t TInstallAhead::CostOf(const std::optional<TAheadJob>& job) {
    if (!job) return 0;
    return static_cast<std::uint64_t>(job->size) + static_cast<std::uint64_t>(job->copyLimit);
}

TInstallAhead::TInstallAhead(TOptions options, std::size_t count,
                             std::function<std::optional<TAheadJob>(std::size_t)> jobAt)
    : options_(std::move(options)), count_(count), jobAt_(std::move(jobAt)) {
    const int connections = options_.connections > 1 ? options_.connections : 1;
    const int fetchers = connections > 1 ? std::max(connections, options_.multiplexed) : 1;
    const auto n = static_cast<std::size_t>(fetchers);
    sessions_.resize(n);
    if (options_.session && *options_.session) {
        pool_ = std::move(*options_.session);
    } else {
        pool_.emplace(options_.agent);
    }
    workers_.reserve(n + Decoders);
    for (std::size_t w = 0; w < n; ++w) workers_.emplace_back([this, w] { FetchLoop(w); });
    for (int d = 0; d < Decoders; ++d) workers_.emplace_back([this] { DecodeLoop(); });
}

TInstallAhead::~TInstallAhead() {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    for (auto& [index, slot] : slots_) {
        // Decoded ahead for an entry never installed, or fetched whole and
        // not decoded yet (a complete copy is never continued).
        if (!slot.part.empty()) os::DeleteFile(slot.part);
        if (!slot.archive.empty()) os::DeleteFile(slot.archive);
        DropPatches(slot);
    }
    // The workers' sessions go first; the run's goes back to it, with the
    // connections they kept.
    sessions_.clear();
    if (options_.session) *options_.session = std::move(pool_);
}

TInstallAhead::TState TInstallAhead::Wait(std::size_t i, std::chrono::steady_clock::duration wait) {
    std::unique_lock<os::Mutex> lock(mutex_);
    if (consumed_ != i) {
        consumed_ = i;
        changed_.notify_all();
    }
    const auto done = [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TStage::Done;
    };
    changed_.wait_for(lock, wait, done);
    const auto it = slots_.find(i);
    return it == slots_.end() ? TState{} : it->second.state;
}

TInstallAhead::TOutcome TInstallAhead::Take(std::size_t i, std::string& part, TFailure& failure, std::string* note) {
    std::unique_lock<os::Mutex> lock(mutex_);
    consumed_ = i;
    changed_.notify_all();
    changed_.wait(lock, [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TStage::Done;
    });
    const auto it = slots_.find(i);
    const TOutcome outcome = it->second.outcome;
    part = std::move(it->second.part);
    failure = std::move(it->second.failure);
    if (note) *note = std::move(it->second.note);
    ahead_ -= it->second.cost;
    slots_.erase(it);
    consumed_ = i + 1;
    changed_.notify_all();
    return outcome;
}

// The next entry in order is always claimed; later ones while they fit the
// window and the byte budget.
bool TInstallAhead::CanClaim() {
    if (exhausted_ || next_ >= count_) return false;
    if (next_ <= consumed_) return true;
    if (next_ >= consumed_ + Window) return false;
    if (!nextCost_ || nextCost_->first != next_) nextCost_.emplace(next_, CostOf(jobAt_(next_)));
    return ahead_ + nextCost_->second <= options_.budget;
}

// A decoder: the lowest fetched entry first, since the run waits for it. A
// resumed copy that fails is fetched once more, whole; an entry whose
// patches failed, by its copy.
void TInstallAhead::DecodeLoop() {
    std::unique_lock<os::Mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !toDecode_.empty(); });
        if (stopping_) return;
        const std::size_t j = *toDecode_.begin();
        toDecode_.erase(toDecode_.begin());
        Slot& slot = slots_[j];
        lock.unlock();
        const std::optional<TAheadJob> job = jobAt_(j);
        std::string part;
        TOutcome outcome = TOutcome::Failed;
        TFailure failure;
        bool again = false;
        const bool patched = !slot.patchFiles.empty();
        try {
            part = patched ? ApplyVerified(slot, *job) : DecodeVerified(slot, *job);
            outcome = TOutcome::Ready;
            if (slot.cursor) slot.cursor->Succeeded();
        } catch (const std::exception& e) {
            failure = FailureOf(e);
            // A patch that failed falls back to the copy, in this run.
            if (patched && failure.fault != TFault::Stopped) {
                slot.patchFailed = true;
                slot.note = PatchFallbackNote(failure);
            }
            again = (slot.resumed || patched) && failure.fault != TFault::Stopped;
            // A copy that isn't the list's (or an error page) is asked
            // again: with the digest query, then from the next server.
            if (!again) again = NextServerAfter(slot, failure);
        }
        lock.lock();
        inMemory_ -= slot.memory;
        slot.memory = 0;
        if (again) {
            fetchAgain_.insert(j);
            slot.fetched = false;
            tally_.fetchedCopies -= slot.fetchedCopy;
            tally_.fetchedSizes -= slot.fetchedSize;
        } else {
            slot.outcome = outcome;
            slot.failure = std::move(failure);
            slot.part = std::move(part);
            slot.state.stage = TStage::Done;
        }
        changed_.notify_all();
    }
}

// Decodes the slot's copy into a new ".part" (the copy goes in every case),
// no larger than the entry's size, then checks the MD5 of what was written
// and, with a key, the SHA-256; returns the verified part's path. A part
// that fails is removed.
std::string TInstallAhead::DecodeVerified(Slot& slot, const TAheadJob& job) {
    const bool inMemory = slot.archive.empty();
    std::unique_ptr<TStream> source;
    try {
        if (inMemory) {
            source = std::make_unique<TMemoryStream>(std::move(slot.copy));
        } else {
            source = std::make_unique<TFileStream>(slot.archive, TFileStream::Mode::OpenRead, os::Share::Read);
        }
    } catch (...) {
        os::DeleteFile(slot.archive);
        slot.archive.clear();
        throw;
    }
    // The copy goes once decoded, or once decoding failed.
    struct DropCopy {
        Slot& slot;
        std::unique_ptr<TStream>& source;
        ~DropCopy() {
            source.reset();
            slot.copy = {};
            if (!slot.archive.empty()) os::DeleteFile(slot.archive);
            slot.archive.clear();
        }
    };
    TCopyCheck check(job.size, job.digest, job.sha256, *options_.trust);
    std::string part;
    {
        DropCopy drop{slot, source};
        SetState(slot, TStage::Extracting, 0, source->Size());
        os::File file;
        {
            std::lock_guard<os::Mutex> lock(namesMutex_);
            if (inMemory) MakeDirectoryOf(job.path);
            file = options_.temps->Create(options_.installDir, job.path, ".part", part);
        }
        try {
            TFileStream target(std::move(file));
            TBZDecompressionStream decoder(*source);
            decoder.OnProgress = [this, &slot, &source](void*) { SetBytes(slot, source->Position()); };
            DecodeCopy(
                decoder, target, check,
                [this] {
                    if (Stopped()) throw ERunStopped();
                },
                slot.status);
            target.Close();
        } catch (...) {
            os::DeleteFile(part);
            throw;
        }
    }
    return part;
}

// The directory an entry goes into; namesMutex_ held (workers share the tree).
void TInstallAhead::MakeDirectoryOf(const std::string& relative) {
    const std::string target = options_.installDir + relative;
    const std::string targetDir = target.substr(0, target.rfind('\\') + 1);
    if (!os::DirectoryExists(targetDir)) os::ForceDirectories(targetDir);
}

std::string TInstallAhead::Pick(const std::string& relative, const std::string& suffix) {
    std::lock_guard<os::Mutex> lock(namesMutex_);
    return options_.temps->Pick(options_.installDir, relative, suffix);
}

void TInstallAhead::SetState(Slot& slot, TStage stage, std::int64_t bytes, std::int64_t compressed) {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        if (stage == TStage::Downloading) {
            ++slot.state.attempt;
            slot.state.compressed = 0;
            slot.state.from = 0;
        }
        slot.state.stage = stage;
        slot.state.bytes = bytes;
        if (compressed >= 0) slot.state.compressed = compressed;
    }
    changed_.notify_all();
}

void TInstallAhead::SetBytes(Slot& slot, std::int64_t bytes) {
    std::lock_guard<os::Mutex> lock(mutex_);
    if (slot.state.stage == TStage::Downloading && bytes > slot.state.bytes) tally_.received += bytes - slot.state.bytes;
    slot.state.bytes = bytes;
}

TInstallAhead::TTally TInstallAhead::Tally() {
    std::lock_guard<os::Mutex> lock(mutex_);
    TTally tally = tally_;
    tally.inHand = tally_.fetchedCopies;
    for (const auto& [index, slot] : slots_) {
        if (slot.state.stage == TStage::Downloading && !slot.fetched) tally.inHand += slot.state.bytes;
    }
    return tally;
}

bool TInstallAhead::Stopped() const { return options_.control->StopRequested() || stopping_.load(); }
