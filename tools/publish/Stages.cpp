#include "tools/publish/Stages.h"

#include "formats/Publication.h"
#include "platform/codepage.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/ListFiles.h"
#include "tools/publish/Names.h"
#include "tools/publish/Objects.h"
#include "tools/publish/PatchMaker.h"
#include "tools/publish/Patches.h"
#include "tools/publish/PreviousList.h"
#include "tools/publish/Text.h"

#include <algorithm>
#include <set>

namespace publish {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(int status, std::string message) { throw PublishFailure(status, {std::move(message)}); }

void Reach(const PublishOptions& options, const char* step) {
    if (options.checkpoint) options.checkpoint(step);
}

// The publication to make live, and what goes once it is.
struct Target {
    TListContent list;
    fs::path stageDir;                // its staged copies; empty for a revert
    std::optional<std::string> next;  // the new live list's Next; nullopt: the live list's
    fs::path done;                    // removed once the list is live
};

// One live copy that doesn't hold its entry's content yet.
struct CopyJob {
    const TListItem* entry = nullptr;
    fs::path copy;    // the live copy
    fs::path staged;  // a staged copy to rename; empty: made from the object
    std::optional<TempFile> temp;
    std::string error;
};

struct LiveState {
    fs::path server;
    Manifest written;
    PatchRecord record;
    std::set<std::string> ours;
    TListContent live;
};

LiveState ReadLive(const PublishOptions& options) {
    LiveState state;
    std::error_code ec;
    state.server = fs::weakly_canonical(fs::absolute(options.serverDir), ec);
    if (ec || !fs::is_directory(state.server, ec)) {
        Fail(2, Cat("the server directory '", Display(options.serverDir), "' is not a directory"));
    }
    state.live = ReadWrittenList(state.server / kListName, false, "live");
    try {
        if (fs::exists(state.server / kManifestName, ec)) {
            state.written = ReadManifest(ReadWholeFile(state.server / kManifestName), &state.record);
        }
        for (const auto& [path, entry] : ReadPreviousList(ReadWholeFile(state.server / kListName))) {
            state.ours.insert(path);
        }
    } catch (const IoError& e) {
        Fail(1, e.what());
    }
    for (const auto& [path, copy] : state.written) state.ours.insert(path);
    return state;
}

// Threat to every client: a copy put in place that doesn't hold its entry's
// content. A staged copy was written with its list (WithdrawList empties
// the folder first); one made here comes from an object that decoded to
// the entry's MD5, and is compressed from that very content.
void MakeFromObject(CopyJob& job, const fs::path& server, const fs::path& scratch, std::size_t index,
                    Progress& progress) {
    const fs::path content = scratch / Cat(std::to_string(index), ".content");
    const TListItem& entry = *job.entry;
    try {
        if (!DecodeVerifiedObject(ObjectPath(server, entry.digest), entry.digest,
                                  static_cast<std::uint64_t>(entry.size), &content)) {
            job.error = Cat("the object of '", codepage::Cp1252ToUtf8(entry.path), "' doesn't hold its content");
        } else {
            job.temp.emplace(job.copy);
            const Digested digested = CompressFile(content, job.temp->Path(), &progress.bytesDone);
            if (DigestToHex(digested.digest) != entry.digest) job.error = Cat("'", Display(content), "' changed");
        }
    } catch (const IoError& e) {
        job.error = e.what();
    }
    if (!job.error.empty()) job.temp.reset();
    std::error_code ignored;
    fs::remove(content, ignored);
    progress.filesDone.fetch_add(1, std::memory_order_relaxed);
}

// The live copies that need replacing, and each one's source. Raises
// before anything changes when neither a staged copy nor an object holds one.
std::vector<CopyJob> PlanCopies(const Target& target, const LiveState& state, bool copies) {
    std::vector<CopyJob> jobs;
    if (!copies) return jobs;
    std::error_code ec;
    for (const TListItem* entry : Entries(target.list)) {
        CopyJob job{entry, ServerPath(state.server, CopyName(entry->path))};
        const auto known = state.written.find(entry->path);
        if (known != state.written.end() && known->second == WrittenCopy{entry->digest, entry->size} &&
            fs::is_regular_file(job.copy, ec)) {
            continue;
        }
        if (!target.stageDir.empty()) job.staged = ServerPath(target.stageDir, CopyName(entry->path));
        if (job.staged.empty() || !fs::is_regular_file(job.staged, ec)) {
            job.staged.clear();
            if (!fs::is_regular_file(ObjectPath(state.server, entry->digest), ec)) {
                Fail(1, Cat("no staged copy and no object holds '", codepage::Cp1252ToUtf8(entry->path),
                            "'; nothing was changed"));
            }
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

void MakeCopies(std::vector<CopyJob>& jobs, const PublishOptions& options, const fs::path& server,
                Progress& progress, const std::function<void()>& tick) {
    std::vector<CopyJob*> made;
    for (CopyJob& job : jobs) {
        std::error_code ec;
        fs::create_directories(job.copy.parent_path(), ec);
        if (ec) Fail(1, Cat("can't create the directory '", Display(job.copy.parent_path()), "': ", ec.message()));
        if (!job.staged.empty()) continue;
        made.push_back(&job);
        progress.bytesTotal += static_cast<std::uint64_t>(job.entry->size);
    }
    progress.filesTotal = made.size();
    if (made.empty()) return;
    const ScratchDir scratch;
    RunJobs(
        made.size(), options.jobs,
        [&](std::size_t k) {
            MakeFromObject(*made[k], server, scratch.Path(), k, progress);
            if (made[k]->error.empty()) Reach(options, "compressed");
        },
        tick, std::chrono::milliseconds(200));
    std::vector<std::string> errors;
    for (const CopyJob* job : made) {
        if (!job->error.empty()) errors.push_back(job->error);
    }
    if (!errors.empty()) {
        errors.push_back("nothing was changed");
        throw PublishFailure(1, std::move(errors));
    }
}

// The record first marks each copy about to change unknown, as a
// publication does, so an interruption among the renames leaves no copy
// trusted for content it may not hold.
void CommitCopies(std::vector<CopyJob>& jobs, LiveState& state, const PublishOptions& options,
                  PublishSummary& summary) {
    if (jobs.empty()) return;
    for (const CopyJob& job : jobs) state.written[job.entry->path] = WrittenCopy{};
    SaveManifest(state.server, state.written, state.record, "no copy was replaced");
    Reach(options, "marked");
    for (CopyJob& job : jobs) {
        try {
            if (job.temp) {
                job.temp->Commit();
            } else {
                ReplaceByRename(job.staged, job.copy);
            }
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (", std::to_string(summary.compressed),
                        " copies were already replaced; the list was not)"));
        }
        ++summary.compressed;
        Reach(options, "copy");
    }
}

// The live list's [patches]: the history's links at `publication`, and the
// target's own that are still in place.
std::vector<TPatchLink> Links(const Target& target, const LiveState& state, std::uint64_t publication,
                              const PublishOptions& options) {
    std::vector<TPatchLink> links = ListedPatches(state.record, publication, options.patchHistory, state.server);
    std::set<std::pair<std::string, std::string>> seen;
    for (const TPatchLink& link : links) seen.emplace(link.from, link.to);
    for (const TPatchLink& link : target.list.patches) {
        std::error_code ec;
        const fs::path path = ServerPath(state.server, PatchName(link.from, link.to));
        if (options.patchHistory == 0 || !seen.emplace(link.from, link.to).second ||
            fs::file_size(path, ec) != link.patchBytes || ec) {
            continue;
        }
        links.push_back(link);
    }
    return links;
}

PublishSummary MakeLive(Target target, LiveState state, const PublishOptions& options, Progress& progress,
                        const std::function<void()>& tick) {
    PublishSummary summary;
    const std::uint64_t serial =
        options.signing.Signed() ? NextSerial(state.server, options.signing, UnixNow(), summary.warnings) : 0;
    SweepTemporaries(state.server);
    std::vector<CopyJob> jobs = PlanCopies(target, state, options.bz2Copies);
    MakeCopies(jobs, options, state.server, progress, tick);

    Manifest final;
    for (const TListItem* entry : Entries(target.list)) {
        final[entry->path] = WrittenCopy{entry->digest, entry->size};
        summary.bytes += static_cast<std::uint64_t>(entry->size);
    }
    summary.files = final.size();
    const std::uint64_t before = state.record.publication;
    const std::uint64_t publication = PublicationNumber(state.record, final != state.written);

    CommitCopies(jobs, state, options, summary);
    state.written = final;
    state.record.publication = publication;
    // Its objects are named by this publication now (recorded when in place
    // but unknown to a damaged record).
    for (const auto& [path, copy] : final) {
        auto object = state.record.objects.find(copy.digest);
        if (object == state.record.objects.end()) {
            std::error_code ec;
            const std::uint64_t bytes = fs::file_size(ObjectPath(state.server, copy.digest), ec);
            if (ec) continue;
            object = state.record.objects.emplace(copy.digest, WrittenObject{static_cast<std::uint64_t>(copy.size), bytes})
                         .first;
        }
        object->second.publication = publication;
    }
    SaveManifest(state.server, state.written, state.record, "the copies are in place; the list was not replaced");
    Reach(options, "copies");

    TListContent list = target.list;
    SetKeys(list, options.signing);
    list.objects = kObjectDir;
    Announce(state.server, list, target.next);
    list.patches = Links(target, state, publication, options);
    summary.listed = list.patches.size();
    if (!target.stageDir.empty() && publication != before) {
        KeepLiveList(state.server, before, options.patchHistory);
    }
    CommitList(list, state.server, options.signing, serial, options.checkpoint, summary.warnings);

    std::vector<std::string> current;
    if (options.bz2Copies) {
        for (const auto& [path, copy] : final) current.push_back(path);
    }
    summary.removed = PruneCopies(state.ours, current, state.server, options.checkpoint, summary.warnings);
    std::error_code ec;
    fs::remove_all(target.done, ec);
    if (ec) summary.warnings.push_back(Cat("can't remove '", Display(target.done), "': ", ec.message()));
    fs::remove(target.done.parent_path(), ec);  // stage/ or the kept lists' folder, when emptied
    Reach(options, "done");
    const std::vector<TPatchLink> kept =
        KeepStanding(ReadStanding(state.server), state.record, publication, state.server, list.patches);
    summary.unpatched = PrunePatches(kept, state.record, state.server, options.checkpoint, summary.warnings);
    summary.unobjected = PruneObjects(state.record, publication, options.patchHistory, state.server,
                                      options.checkpoint, summary.warnings);
    SaveManifest(state.server, state.written, state.record,
                 "the list is live; stale copies may remain until the next run");
    return summary;
}

}  // namespace

PublishSummary Promote(const std::string& name, const PublishOptions& options, Progress& progress,
                       const std::function<void()>& tick) {
    LiveState state = ReadLive(options);
    Target target;
    target.stageDir = state.server / kStageDir / name;
    target.list = ReadWrittenList(target.stageDir / kListName, options.signing.Signed(), Cat("staged '", name, "'"));
    target.done = target.stageDir;
    if (state.live.next == name) target.next = std::string();
    return MakeLive(std::move(target), std::move(state), options, progress, tick);
}

PublishSummary Revert(const PublishOptions& options, Progress& progress, const std::function<void()>& tick) {
    LiveState state = ReadLive(options);
    const auto kept = HistoryLists(state.server);
    if (kept.empty()) Fail(2, "no earlier publication is kept in the server directory to revert to");
    // The newest kept list; when a revert was killed after its list went
    // live, that list equals the live one and this run completes it.
    Target target;
    target.list = ReadWrittenList(kept.back().second, options.signing.Signed(), "earlier");
    target.done = kept.back().second;
    return MakeLive(std::move(target), std::move(state), options, progress, tick);
}

}  // namespace publish
