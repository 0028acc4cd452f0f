#include "engine/steps/NextStep.h"

#include "engine/ahead/InstallAhead.h"
#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/ObjectStream.h"
#include "engine/fetch/Resume.h"
#include "engine/fetch/RunControl.h"
#include "engine/fetch/Servers.h"
#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/steps/PendingEntry.h"
#include "engine/steps/RunList.h"
#include "formats/ListGrammar.h"
#include "formats/Names.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

const std::string kFolder = std::string(kNextContentDir) + "\\";

// One content the stage needs, its fields views into the staged list.
struct TWanted {
    std::string md5;
    std::string_view sha256;
    std::int64_t size = 0;
};

// The live list's entries by path, each with its content's name: after a
// run that left everything current, what the install holds.
std::unordered_map<std::string, std::string> InstalledContents(const TRunList& live) {
    std::unordered_map<std::string, std::string> installed;
    for (const TListLines* section : {&live.critical, &live.normal}) {
        section->ForEach([&](std::string_view line) {
            if (const auto entry = SafeEntry(line)) installed[PathKey(entry->path)] = ObjectDigest(entry->digest);
        });
    }
    return installed;
}

// The stage's contents the install lacks, each once, in list order; needed
// and staged count their bytes in all and those already in the folder.
std::vector<TWanted> Lacking(const TRunContext& run, const TRunList& live, const TRunList& stage,
                             std::int64_t& needed, std::int64_t& staged) {
    const auto installed = InstalledContents(live);
    std::unordered_set<std::string> seen;
    std::vector<TWanted> lacking;
    for (const TListLines* section : {&stage.critical, &stage.normal}) {
        section->ForEach([&](std::string_view line) {
            const auto entry = SafeEntry(line);
            if (!entry) return;
            const std::string md5 = ObjectDigest(entry->digest);
            const auto size = ParseSize(entry->size);
            if (md5.empty() || !size) return;
            const auto at = installed.find(PathKey(entry->path));
            if ((at != installed.end() && at->second == md5) || !seen.insert(md5).second) return;
            needed += *size;
            if (os::FileExists(run.fields.InstallDir + NextContentPath(md5))) {
                staged += *size;
            } else {
                lacking.push_back(TWanted{md5, entry->sha256, *size});
            }
        });
    }
    return lacking;
}

TAheadJob JobOf(const std::string& objects, const TWanted& wanted) {
    TAheadJob job;
    job.path = NextContentPath(wanted.md5);
    job.digest = wanted.md5;
    job.sha256 = std::string(wanted.sha256);
    job.size = wanted.size;
    job.copyLimit = CompressedSizeBound(wanted.size);
    job.object = objects + ObjectName(wanted.md5);
    job.objectLimit = ObjectSizeBound(wanted.size);
    job.objectOnly = true;
    return job;
}

// The view hears of each content staged and of the bytes of the transfers
// going (a large object would otherwise read 0 MB for minutes), not of
// every wait for one.
void ShowNext(TRunContext& run, const TInstallAhead::TTally& tally, std::int64_t& shown) {
    const TRunFields& fields = run.fields;
    const std::int64_t going = std::max<std::int64_t>(0, tally.inHand - tally.fetchedCopies);
    const std::int64_t staged = std::min(fields.NextNeeded, fields.NextStaged + going);
    if (shown == staged) return;
    shown = staged;
    run.report.Next(TNextFigures{staged, fields.NextNeeded, true, false});
}

// Fetches each lacking content into the folder, in list order. Only objects
// carry a stage's contents (its copies stand under the live names until the
// promotion), so a failed object leaves its content for the next run.
void FetchLacking(TRunContext& run, const std::string& objects, const std::vector<TWanted>& lacking) {
    TRunFields& fields = run.fields;
    std::vector<TAheadJob> jobs;
    jobs.reserve(lacking.size());
    for (const TWanted& wanted : lacking) jobs.push_back(JobOf(objects, wanted));
    TInstallAhead ahead(AheadOptions(run), jobs.size(),
                        [&jobs](std::size_t i) { return std::optional<TAheadJob>(jobs[i]); });
    std::int64_t shown = -1;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        while (ahead.Wait(i, std::chrono::milliseconds(100)).stage != TInstallAhead::TStage::Done) {
            run.control.ThrowIfStopped();
            ShowNext(run, ahead.Tally(), shown);
        }
        std::string part, note;
        TFailure failure;
        const TInstallAhead::TOutcome outcome = ahead.Take(i, part, failure, &note);
        if (outcome == TInstallAhead::TOutcome::Ready) {
            try {
                os::ReplaceFile(part, fields.InstallDir + jobs[i].path);
                fields.NextStaged += jobs[i].size;
                continue;
            } catch (const std::exception& e) {
                os::DeleteFile(part);
                failure = FailureOf(e);
            }
        }
        if (run.log) {
            run.log->Next(fields.NextName, jobs[i].digest + ": " + DescribeFailure(failure) +
                                               (note.empty() ? "" : " (" + note + ")"));
        }
        if (fields.NextProblem.empty()) fields.NextProblem = DescribeFailure(failure);
        if (outcome == TInstallAhead::TOutcome::Unreachable) break;
    }
}

// Removes from the folder whatever no list named here names (its partial
// objects count as named while their content is lacking). Threat: a link
// planted at the folder would have files outside the install removed.
void Sweep(TRunContext& run, const std::unordered_set<std::string>& named, const std::vector<TWanted>& lacking) {
    const std::string& dir = run.fields.InstallDir;
    if (!os::PlainWayDown(dir, kFolder + "x")) return;
    std::unordered_set<std::string> partials;
    for (const TWanted& wanted : lacking) {
        const std::string name = TPartialCopies::Name(NextContentPath(wanted.md5), wanted.md5,
                                                      static_cast<std::uint64_t>(wanted.size)) +
                                 std::string(TPartialCopies::kObjectSuffix);
        partials.insert(name.substr(kFolder.size()));
        partials.insert(name.substr(kFolder.size()) + std::string(TPartialCopies::kValidatorSuffix));
    }
    for (const std::string& name : os::ListFileNames(dir + kFolder)) {
        if (named.contains(name) || partials.contains(name)) continue;
        os::DeleteFile(dir + kFolder + name);
    }
}

// The stage's list, read; null with the reason in the run's fields and log.
std::unique_ptr<TRunList> ReadStage(TRunContext& run) {
    TRunFields& fields = run.fields;
    TFailure failure;
    std::unique_ptr<TRunList> stage;
    try {
        const std::optional<std::string> path = FetchStagedList(run, fields.NextName, failure);
        if (path) {
            stage = std::make_unique<TRunList>(*path);
            ReadList(*path, *stage);
            if (!run.useObjects || !IsObjectFolder(stage->objects)) {
                failure = TFailure{TFault::BadList, 0, "the staged list names no objects"};
                stage.reset();
            }
        }
    } catch (const std::exception& e) {
        failure = FailureOf(e);
        stage.reset();
    }
    if (!stage) {
        fields.NextProblem = DescribeFailure(failure);
        if (run.log) run.log->Next(fields.NextName, "the staged list was not used: " + fields.NextProblem);
    }
    return stage;
}

}  // namespace

std::string NextContentPath(std::string_view digest) {
    const std::string md5 = ObjectDigest(digest);
    return md5.empty() ? md5 : kFolder + md5;
}

void StageNext(TRunContext& run, const TRunList& live) {
    TRunFields& fields = run.fields;
    fields.NextName.clear();
    fields.NextStaged = fields.NextNeeded = 0;
    fields.NextProblem.clear();
    std::unordered_set<std::string> named;
    for (const TListLines* section : {&live.critical, &live.normal}) {
        section->ForEach([&](std::string_view line) {
            if (const auto entry = SafeEntry(line)) named.insert(ObjectDigest(entry->digest));
        });
    }
    if (live.standing.next.empty()) {
        Sweep(run, named, {});
        return;
    }
    if (!run.preDownload) return;
    fields.NextName = live.standing.next;
    const std::unique_ptr<TRunList> stage = ReadStage(run);
    if (!stage) {
        run.report.Next(TNextFigures{0, 0, false, true});
        return;
    }
    std::vector<TWanted> lacking;
    try {
        lacking = Lacking(run, live, *stage, fields.NextNeeded, fields.NextStaged);
        if (!lacking.empty()) {
            run.report.Next(TNextFigures{fields.NextStaged, fields.NextNeeded, true, false});
            FetchLacking(run, stage->objects, lacking);
        }
    } catch (const std::exception& e) {
        // A stop, a folder that can't be written: the run's result stays.
        fields.NextProblem = DescribeFailure(FailureOf(e));
        if (run.log) run.log->Next(fields.NextName, fields.NextProblem);
    }
    for (const TListLines* section : {&stage->critical, &stage->normal}) {
        section->ForEach([&](std::string_view line) {
            if (const auto entry = SafeEntry(line)) named.insert(ObjectDigest(entry->digest));
        });
    }
    if (!run.control.StopRequested()) Sweep(run, named, lacking);
    run.report.Next(TNextFigures{fields.NextStaged, fields.NextNeeded, false,
                                 !fields.NextProblem.empty() || fields.NextStaged < fields.NextNeeded});
    if (run.log && fields.NextProblem.empty()) {
        run.log->Next(fields.NextName, std::to_string(fields.NextStaged) + " of " +
                                           std::to_string(fields.NextNeeded) + " bytes staged");
    }
}

TStagedCheck CheckStaged(const TRunContext& run, const TPendingEntry& entry) {
    TStagedCheck result;
    const std::string relative = NextContentPath(entry.digest);
    if (relative.empty()) return result;
    const std::string& dir = run.fields.InstallDir;
    const std::string staged = dir + relative;
    if (!os::PlainWayDown(dir, relative) || !os::FileExists(staged)) return result;
    result.present = true;
    try {
        os::File file = os::File::OpenRead(staged, os::Share::Read);
        TCopyCheck check(entry.size, std::string(entry.digest), std::string(entry.sha256), run.trust);
        std::vector<std::uint8_t> buffer(kCopyBlock);
        while (const std::size_t n = file.Read(buffer.data(), buffer.size())) {
            check.Add(buffer.data(), n);
            run.control.ThrowIfStopped();
        }
        check.Verify();
    } catch (const std::exception& e) {
        result.refused = FailureOf(e);
        if (result.refused.fault == TFault::Stopped) throw;
    }
    return result;
}

// Threat: a file planted in the folder is put in place only when it is the
// entry's content, held to the same digests as a download.
bool TakeStaged(TRunContext& run, const TPendingEntry& entry, bool missing, const TStagedCheck& check) {
    if (!check.present) return false;
    const std::string& dir = run.fields.InstallDir;
    const std::string staged = dir + NextContentPath(entry.digest);
    if (check.refused) {
        os::DeleteFile(staged);
        if (run.log) {
            run.log->Note(entry.path, "staged content refused (" + DescribeFailure(check.refused) + "), fetching it");
        }
        return false;
    }
    try {
        const std::string target = dir + std::string(entry.path);
        const std::string targetDir = target.substr(0, target.rfind('\\') + 1);
        if (!os::DirectoryExists(targetDir)) os::ForceDirectories(targetDir);
        if (!missing || !os::RenameToNewName(staged, target)) os::ReplaceFile(staged, target);
        return true;
    } catch (const std::exception& e) {
        const TFailure failure = FailureOf(e);
        if (failure.fault == TFault::Stopped) throw;
        // The content is good: kept for the next run (a file in use now,
        // a game still running), where a download would fetch it again.
        if (run.log) {
            run.log->Note(entry.path, "staged content not put in place (" + DescribeFailure(failure) + "), fetching it");
        }
        return false;
    }
}
