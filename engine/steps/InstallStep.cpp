#include "engine/steps/InstallStep.h"

#include "engine/ahead/InstallAhead.h"
#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/ObjectStream.h"
#include "engine/fetch/TransferMeter.h"
#include "engine/fetch/RunControl.h"
#include "engine/fetch/Servers.h"
#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/state/InstallRecord.h"
#include "engine/steps/NextStep.h"
#include "engine/steps/PendingEntry.h"
#include "engine/steps/WorkAhead.h"
#include "formats/PatchIndex.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// For each pending entry, the first earlier one of the same content (digest
// and size), and whether a later one has its content: identical files at
// several paths are fetched once.
struct TSameContent {
    std::vector<std::optional<std::size_t>> first;
    std::vector<bool> shared;
};
TSameContent FindSameContent(const std::vector<TPendingEntry>& entries) {
    TSameContent same{std::vector<std::optional<std::size_t>>(entries.size()), std::vector<bool>(entries.size())};
    std::unordered_map<std::string, std::size_t> firsts;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const TPendingEntry& entry = entries[i];
        const std::string digest = ObjectDigest(entry.digest);
        if (entry.problem || digest.empty()) continue;
        const auto [it, added] = firsts.try_emplace(digest + "|" + std::to_string(entry.size), i);
        if (added) continue;
        same.first[i] = it->second;
        same.shared[it->second] = true;
    }
    return same;
}

// The job of pending entry i; nullopt for an entry that fails without a
// request (the run's thread gives its reason).
std::optional<TAheadJob> JobOf(const TRunContext& run, const TPendingEntry& entry, std::size_t i,
                               const TSameContent& same, const std::vector<bool>& staged) {
    std::optional<TAheadJob> job;
    if (entry.problem || staged[i]) return job;
    job.emplace();
    job->path = entry.path;
    job->digest = entry.digest;
    job->sha256 = entry.sha256;
    job->size = entry.size;
    job->copyLimit = CompressedSizeBound(entry.size);
    // A content taken from the staged ones left no job to wait for.
    if (same.first[i] && !staged[*same.first[i]]) job->sameAs = same.first[i];
    job->shared = same.shared[i];
    // Each server in turn is asked for the object, then for the copy,
    // starting with the one the list came from.
    if (const std::string digest = ObjectDigest(entry.digest); !run.objects.empty() && !digest.empty()) {
        job->object = run.objects + ObjectName(digest);
        job->objectLimit = ObjectSizeBound(entry.size);
    }
    // An empty file has nothing to patch into. Threat: an index naming huge
    // patches would have the run fetch more than the copy could ever take.
    const std::vector<TPatchLink>& chain = run.patches.ChainFor(i);
    std::uint64_t chainBytes = 0;
    for (const TPatchLink& link : chain) chainBytes += std::min(link.patchBytes, std::uint64_t{1} << 62);
    if (entry.size > 0 && chainBytes <= static_cast<std::uint64_t>(job->copyLimit)) {
        // Patches come from the server that gave the list; when one fails
        // the entry comes as above instead (object, copy), server by server.
        const std::string base = run.servers->Base(run.servers->Order().front());
        for (const TPatchLink& link : chain) {
            job->patches.push_back(TPatchFetch{ServerUrl(base, PatchName(link.from, link.to)),
                                               link.patchBytes, link.sha256, link.to});
        }
    }
    return job;
}

// The decoded sizes of the entries to fetch (the others fail on their own,
// or were taken from the staged contents, and need nothing).
std::vector<std::int64_t> InstallSizes(const std::vector<TPendingEntry>& entries, const std::vector<bool>& staged) {
    std::vector<std::int64_t> sizes;
    sizes.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].problem && !staged[i]) sizes.push_back(entries[i].size);
    }
    return sizes;
}

// Entries whose content was fetched ahead for a stage now live are put in
// place from there before anything is asked for. Verifying them is the
// promotion's whole cost: it runs on two cores, a few entries ahead of the
// renames, which stay in list order.
std::vector<bool> TakeStagedEntries(TRunContext& run, const std::vector<TPendingEntry>& entries) {
    std::vector<bool> staged(entries.size());
    // Most runs have none: no lookup per entry then.
    if (!os::DirectoryExists(run.fields.InstallDir + kNextContentDir)) return staged;
    TWorkAhead<TStagedCheck> checks(entries.size(), [&run, &entries](std::size_t i) {
        return entries[i].problem ? TStagedCheck{} : CheckStaged(run, entries[i]);
    });
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].problem) continue;
        run.report.Status(TRunPhase::Checking, entries[i].path);
        staged[i] = TakeStaged(run, entries[i], run.missing.contains(i), checks.Take(i));
        // Recorded now: an install that ends early still knows it put them there.
        if (staged[i] && run.record) run.record->Installed(entries[i].path, entries[i].digest, entries[i].size);
    }
    return staged;
}

// Shows one entry's bars from what its fetcher and decoder publish:
// Downloading and its bar, then Extracting and its bar; a resumed copy that
// failed and is fetched again from zero starts over.
class TEntryShow {
public:
    TEntryShow(TRunReport& report, std::string path, std::int64_t size)
        : report_(report), path_(std::move(path)), size_(size) {
        Begin();
    }

    // Shows state; true once the entry is done.
    bool Show(const TInstallAhead::TState& state) {
        using TStage = TInstallAhead::TStage;
        if (state.attempt > attempt_) {
            report_.Reset(Kind());
            attempt_ = state.attempt;
            Begin();
            return false;
        }
        const bool done = state.stage == TStage::Done;
        const bool decoded = state.stage == TStage::Extracting || (done && state.compressed > 0);
        if (!extracting_) {
            // A copy done ahead shows where its transfer began and ended.
            Move(state.from);
            Move(decoded ? state.compressed : state.bytes);
        }
        if (decoded && !extracting_) {
            report_.Reset(TProgressKind::File);
            report_.Status(TRunPhase::Extracting, path_);
            report_.FileBarMax(state.compressed);
            extracting_ = true;
            last_ = 0;
        }
        if (extracting_) Move(done ? state.compressed : state.bytes);
        return done;
    }
    void End() { report_.Reset(Kind()); }

private:
    void Begin() {
        extracting_ = false;
        last_ = 0;
        report_.Status(TRunPhase::Downloading, path_);
        report_.FileBarMax(size_);
    }
    TProgressKind Kind() const { return extracting_ ? TProgressKind::Extract : TProgressKind::File; }
    // A bar's positions grow: each is shown once, 0 only by its reset.
    void Move(std::int64_t bytes) {
        if (bytes <= last_) return;
        last_ = bytes;
        report_.FilePosition(Kind(), bytes);
    }

    TRunReport& report_;
    const std::string path_;
    const std::int64_t size_;
    int attempt_ = 1;
    bool extracting_ = false;
    std::int64_t last_ = 0;
};

// The install's download figures. Bytes are the copies' as they come over
// the wire, so the speed is the one a limit applies to. The total is known
// only for copies fetched whole: each entry not fetched yet is counted at
// its decoded size times the ratio of copy to decoded bytes of the copies
// fetched so far (1 before the first), so the estimate improves as the
// install goes. Entries that failed leave the total.
class TTransferShow {
public:
    TTransferShow(TRunReport& report, const TRunControl& control, std::int64_t sizes)
        : report_(report), control_(control), sizes_(sizes) {}

    void Show(const TInstallAhead::TTally& tally, bool now = false) {
        TTransferFigures figures;
        figures.paused = control_.Paused();
        figures.done = tally.inHand;
        const double ratio = tally.fetchedSizes > 0 ? static_cast<double>(tally.fetchedCopies) /
                                                          static_cast<double>(tally.fetchedSizes)
                                                    : 1.0;
        const std::int64_t unfetched = std::max<std::int64_t>(0, sizes_ - tally.fetchedSizes - tally.failedSizes);
        figures.total = std::max(figures.done,
                                 tally.fetchedCopies + static_cast<std::int64_t>(static_cast<double>(unfetched) * ratio));
        if (figures.paused) {
            // Nothing comes while paused; the speed is measured anew after.
            meter_.Restart();
        } else {
            meter_.Add(TTransferMeter::Clock::now(), tally.received);
            figures.speed = meter_.Speed();
            figures.secondsLeft = meter_.SecondsLeft(figures.total - figures.done, figures.total);
        }
        report_.Transfer(figures, now);
    }

private:
    TRunReport& report_;
    const TRunControl& control_;
    const std::int64_t sizes_;
    TTransferMeter meter_;
};

// A file found missing is renamed to its name without first looking for
// another to replace there: under Wine that lookup reads its whole directory.
void PutInPlace(TRunContext& run, const std::string& part, const std::string& target, std::size_t i) {
    if (run.missing.contains(i) && os::RenameToNewName(part, target)) return;
    os::ReplaceFile(part, target);
}

// Shows entry i until its copy is ready, then puts it in place. Returns why
// it failed (None: installed); unreachable tells that no server answered.
TFailure InstallEntry(TRunContext& run, TInstallAhead& ahead, TTransferShow& transfer, const TPendingEntry& entry,
                      std::size_t i, bool staged, bool& unreachable) {
    TRunFields& fields = run.fields;
    std::string part;
    TFailure failure;
    if (staged) {
        ahead.Take(i, part, failure);  // no job: in place already
        return TFailure{};
    }
    if (entry.problem) {
        if (entry.safe) run.report.Status(TRunPhase::Downloading, entry.path);
        ahead.Take(i, part, failure);
        return entry.problem;
    }
    const std::string path(entry.path);
    TEntryShow show(run.report, path, entry.size);
    while (!show.Show(ahead.Wait(i, std::chrono::milliseconds(20)))) {
        run.control.ThrowIfStopped();
        transfer.Show(ahead.Tally());
    }
    show.End();

    std::string note;
    const TInstallAhead::TOutcome outcome = ahead.Take(i, part, failure, &note);
    if (run.log && !note.empty()) run.log->Note(path, note);
    unreachable = outcome == TInstallAhead::TOutcome::Unreachable;
    if (outcome != TInstallAhead::TOutcome::Ready) {
        failure.path = path;
        return failure;
    }
    try {
        PutInPlace(run, part, fields.InstallDir + path, i);
    } catch (const std::exception& e) {
        os::DeleteFile(part);  // ours: decoded ahead for this entry
        // A file another program holds comes named by the seam.
        failure = FailureOf(e);
        failure.path = path;
        return failure;
    }
    return TFailure{};
}

// DiskFull with the bytes missing when the install's volume can't hold what
// the pending entries need; None when it can, or when its free space can't
// be read. Entries without a valid size fail on their own and need nothing.
TFailure SpaceShortage(const TRunFields& fields, std::span<const std::int64_t> sizes) {
    const std::uint64_t needed = SpaceNeeded(sizes);
    const std::optional<std::uint64_t> free = os::FreeSpace(fields.InstallDir);
    if (!free || *free >= needed) return TFailure{};
    TFailure failure{
        TFault::DiskFull, 0,
        fields.InstallDir + ": " + std::to_string(needed) + " bytes needed, " + std::to_string(*free) + " free"};
    failure.bytesShort = needed - *free;
    return failure;
}

}  // namespace


std::uint64_t SpaceNeeded(std::span<const std::int64_t> sizes) {
    constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t total = 0;
    std::int64_t largest = 0;
    for (const std::int64_t size : sizes) {
        if (size <= 0) continue;
        const auto bytes = static_cast<std::uint64_t>(size);
        total = bytes > kMost - total ? kMost : total + bytes;
        largest = std::max(largest, size);
    }
    if (largest == 0) return total;
    const auto copy = static_cast<std::uint64_t>(CompressedSizeBound(largest));
    return copy > kMost - total ? kMost : total + copy;
}

void InstallPending(TRunContext& run) {
    TRunFields& fields = run.fields;
    fields.InstallFailed = false;
    if (fields.PendingFiles.empty()) return;
    run.report.BarMax(1, static_cast<std::int32_t>(fields.PendingFiles.size() - 1));
    const std::vector<TPendingEntry> entries = ParsePendingEntries(fields.PendingFiles);
    const std::vector<bool> staged = TakeStagedEntries(run, entries);
    const std::vector<std::int64_t> sizes = InstallSizes(entries, staged);
    // Nothing is fetched for an install that can't fit: the run fails as a
    // whole, like one whose server can't be reached, and every file stays.
    if (const TFailure shortage = SpaceShortage(fields, sizes)) {
        run.report.Fail(shortage);
        fields.InstallFailed = true;
        run.report.Reset(TProgressKind::Total);
        run.report.ShowUpdateFinished();
        return;
    }

    {
        // Jobs are made on the workers' threads from the entries, whose
        // views need PendingFiles to stay as it is during the loop.
        const TSameContent same = FindSameContent(entries);
        TInstallAhead ahead(AheadOptions(run), entries.size(), [&run, &entries, &same, &staged](std::size_t i) {
            return JobOf(run, entries[i], i, same, staged);
        });
        std::int64_t sizesInAll = 0;
        for (const std::int64_t size : sizes) sizesInAll += size;
        TTransferShow transfer(run.report, run.control, sizesInAll);
        for (std::size_t i = 0; i < entries.size();) {
            run.control.ThrowIfStopped();
            const auto began = std::chrono::steady_clock::now();
            const TPendingEntry& entry = entries[i];
            bool unreachable = false;
            TFailure failure = InstallEntry(run, ahead, transfer, entry, i, staged[i], unreachable);
            transfer.Show(ahead.Tally(), i + 1 == entries.size());
            if (run.log) run.log->Entry(entry.path, failure, entry.size, std::chrono::steady_clock::now() - began);
            run.report.EntryFinished(entry.path, failure);
            if (failure) {
                run.report.Fail(failure);
                fields.InstallFailed = true;
            } else if (run.record && !staged[i]) {
                run.record->Installed(entry.path, entry.digest, entry.size);
            }
            // A server that can't be reached fails every entry after this one too.
            if (unreachable) break;
            ++i;
            run.report.Position(TProgressKind::Total, static_cast<std::int32_t>(i));
        }
    }  // what was done ahead of an unreachable entry goes

    run.report.Reset(TProgressKind::Total);
    run.report.ShowUpdateFinished();
}
