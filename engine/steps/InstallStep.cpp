#include "engine/steps/InstallStep.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/ahead/InstallAhead.h"
#include "engine/run/RunContext.h"
#include "engine/fetch/TransferMeter.h"
#include "formats/PatchIndex.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

// The job of pending entry i; nullopt for an entry that fails without a
// request (the run's thread gives its reason).
std::optional<TAheadJob> JobOf(const TRunContext& run, std::size_t i) {
    const TRunFields& fields = run.fields;
    std::optional<TAheadJob> job;
    const auto entry = SafeEntry(fields.PendingFiles[i]);
    if (!entry) return job;
    const std::optional<std::int64_t> size = ParseSize(entry->size);
    if (!size) return job;
    job.emplace();
    job->path = entry->path;
    job->digest = entry->digest;
    job->sha256 = entry->sha256;
    job->size = *size;
    job->copyLimit = CompressedSizeBound(*size);
    // An empty file has nothing to patch into. Threat: an index naming huge
    // patches would have the run fetch more than the copy could ever take.
    const std::vector<TPatchLink>& chain = run.patches.ChainFor(i);
    std::uint64_t chainBytes = 0;
    for (const TPatchLink& link : chain) chainBytes += std::min(link.patchBytes, std::uint64_t{1} << 62);
    if (*size > 0 && chainBytes <= static_cast<std::uint64_t>(job->copyLimit)) {
        // Patches come from the server that gave the list; when one fails
        // the entry's copy is fetched instead, through every server in turn.
        const std::string base = run.servers->Base(run.servers->Order().front());
        for (const TPatchLink& link : chain) {
            job->patches.push_back(TPatchFetch{ServerUrl(base, PatchName(link.from, link.to)),
                                               link.patchBytes, link.sha256, link.to});
        }
    }
    return job;
}

// The decoded sizes of the pending entries, in all.
std::int64_t PendingSizes(const TRunFields& fields) {
    std::int64_t sizes = 0;
    for (std::size_t i = 0; i < fields.PendingFiles.size(); ++i) {
        const auto entry = SafeEntry(fields.PendingFiles[i]);
        if (entry) sizes += ParseSize(entry->size).value_or(0);
    }
    return sizes;
}

// Why an entry fails before any request: its line, its name or its size.
TFailure ProblemOf(std::string_view line) {
    const auto entry = ParseEntry(line);
    if (!entry) return TFailure{TFault::BadList, 0, std::string(line)};
    if (!SafeEntry(line)) return TFailure{TFault::UnsafeName, 0, std::string(entry->path)};
    return TFailure{TFault::BadList, 0, "'" + std::string(entry->size) + "' is not a valid size"};
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
TFailure InstallEntry(TRunContext& run, TInstallAhead& ahead, TTransferShow& transfer, std::size_t i,
                      bool& unreachable) {
    TRunFields& fields = run.fields;
    std::string part;
    TFailure failure;
    const auto entry = SafeEntry(fields.PendingFiles[i]);
    const std::optional<std::int64_t> size = entry ? ParseSize(entry->size) : std::nullopt;
    if (!size) {
        if (entry) run.report.Status(TRunPhase::Downloading, entry->path);
        ahead.Take(i, part, failure);
        return ProblemOf(fields.PendingFiles[i]);
    }
    const std::string path(entry->path);
    TEntryShow show(run.report, path, *size);
    while (!show.Show(ahead.Wait(i, std::chrono::milliseconds(20)))) {
        run.control.ThrowIfStopped();
        transfer.Show(ahead.Tally());
    }
    show.End();

    std::string note;
    const TInstallAhead::TOutcome outcome = ahead.Take(i, part, failure, &note);
    if (run.log && !note.empty()) run.log->Note(path, note);
    unreachable = outcome == TInstallAhead::TOutcome::Unreachable;
    if (outcome != TInstallAhead::TOutcome::Ready) return failure;
    try {
        PutInPlace(run, part, fields.InstallDir + path, i);
    } catch (const std::exception& e) {
        os::DeleteFile(part);  // ours: decoded ahead for this entry
        TFailure failure = FailureOf(e);
        os::NameHolder(failure, fields.InstallDir + path, fields.InstallDir);
        return failure;
    }
    return TFailure{};
}

// DiskFull with the bytes missing when the install's volume can't hold what
// the pending entries need; None when it can, or when its free space can't
// be read. Entries without a valid size fail on their own and need nothing.
TFailure SpaceShortage(const TRunFields& fields) {
    std::vector<std::int64_t> sizes;
    sizes.reserve(fields.PendingFiles.size());
    for (std::size_t i = 0; i < fields.PendingFiles.size(); ++i) {
        const auto entry = SafeEntry(fields.PendingFiles[i]);
        if (!entry) continue;
        if (const std::optional<std::int64_t> size = ParseSize(entry->size)) sizes.push_back(*size);
    }
    const std::uint64_t needed = SpaceNeeded(sizes);
    const std::optional<std::uint64_t> free = os::FreeSpace(fields.InstallDir);
    if (!free || *free >= needed) return TFailure{};
    TFailure failure{
        TFault::DiskFull, 0,
        fields.InstallDir + ": " + std::to_string(needed) + " bytes needed, " + std::to_string(*free) + " free"};
    failure.bytesShort = needed - *free;
    return failure;
}

TInstallAhead::TOptions AheadOptions(TRunContext& run) {
    TInstallAhead::TOptions options;
    options.installDir = run.fields.InstallDir;
    options.agent = kAgent;
    options.connections = run.connections;
    options.temps = &run.temps;
    options.trust = &run.trust;
    options.control = &run.control;
    options.servers = &run.Servers();
    options.session = &run.http;
    options.pace = &run.pace;
    return options;
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
    // Nothing is fetched for an install that can't fit: the run fails as a
    // whole, like one whose server can't be reached, and every file stays.
    if (const TFailure shortage = SpaceShortage(fields)) {
        run.report.Fail(shortage);
        fields.InstallFailed = true;
        run.report.Reset(TProgressKind::Total);
        run.report.ShowUpdateFinished();
        return;
    }

    {
        // Jobs are read on the workers' threads: PendingFiles stays as it
        // is during the loop.
        TInstallAhead ahead(AheadOptions(run), fields.PendingFiles.size(),
                            [&run](std::size_t i) { return JobOf(run, i); });
        TTransferShow transfer(run.report, run.control, PendingSizes(fields));
        for (std::size_t i = 0; i < fields.PendingFiles.size();) {
            run.control.ThrowIfStopped();
            const auto began = std::chrono::steady_clock::now();
            bool unreachable = false;
            TFailure failure = InstallEntry(run, ahead, transfer, i, unreachable);
            transfer.Show(ahead.Tally(), i + 1 == fields.PendingFiles.size());
            const auto entry = ParseEntry(fields.PendingFiles[i]);
            const std::string_view path = entry ? entry->path : fields.PendingFiles[i];
            if (failure) failure.path = path;
            if (run.log) {
                const std::int64_t bytes = entry ? ParseSize(entry->size).value_or(0) : 0;
                run.log->Entry(path, failure, bytes, std::chrono::steady_clock::now() - began);
            }
            run.report.EntryFinished(path, failure);
            if (failure) {
                run.report.Fail(failure);
                fields.InstallFailed = true;
            } else if (run.record) {
                run.record->Installed(entry->path, entry->digest, ParseSize(entry->size).value_or(0));
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
