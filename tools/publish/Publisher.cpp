#include "tools/publish/Publisher.h"

#include "formats/ListWriter.h"
#include "formats/Publication.h"
#include "platform/codepage.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/ListFiles.h"
#include "tools/publish/PreviousList.h"
#include "tools/publish/Manifest.h"
#include "tools/publish/Names.h"
#include "tools/publish/Objects.h"
#include "tools/publish/PatchMaker.h"
#include "tools/publish/Patches.h"
#include "tools/publish/Standing.h"
#include "tools/publish/Text.h"
#include "tools/publish/Walk.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <set>

namespace publish {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(int status, std::string message) { throw PublishFailure(status, {std::move(message)}); }

// Directories this run made, removed again (when still empty) unless the
// publication got as far as moving copies into place.
class CreatedDirectories {
public:
    CreatedDirectories() = default;
    CreatedDirectories(const CreatedDirectories&) = delete;
    CreatedDirectories& operator=(const CreatedDirectories&) = delete;
    ~CreatedDirectories() {
        if (!keep_) {
            for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
                std::error_code ignored;
                fs::remove(*it, ignored);  // only removes an empty directory
            }
        }
    }

    void Create(const fs::path& dir) {
        std::vector<fs::path> missing;
        std::error_code ec;
        for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
            missing.push_back(p);
            if (p == p.parent_path()) break;
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (!fs::create_directory(*it, ec) && ec) {
                Fail(1, Cat("can't create the directory '", Display(*it), "': ", ec.message()));
            }
            made_.push_back(*it);
        }
    }

    void Keep() { keep_ = true; }

private:
    std::vector<fs::path> made_;
    bool keep_ = false;
};

struct Job {
    const SourceFile* file = nullptr;
    const WrittenCopy* written = nullptr;   // set when the copy there may do
    const WrittenCopy* previous = nullptr;  // what the copy there holds, when the record knows
    fs::path copy;
    fs::path staged;  // where a staged publication's new copy goes instead
    Digested digested;
    std::optional<TempFile> temp;
    bool kept = false;
    std::string sha256;  // a signed list's extra field
    std::string error;
};

void Reach(const PublishOptions& options, const char* step) {
    if (options.checkpoint) options.checkpoint(step);
}

void RunJob(Job& job, Progress& progress, const PublishOptions& options) {
    const bool withSha256 = options.signing.Signed();
    try {
        if (job.written != nullptr) {
            job.digested = HashFile(job.file->native, &progress.bytesDone);
            if (DigestToHex(job.digested.digest) == job.written->digest) {
                job.kept = true;
            }
        }
        if (!job.kept && !options.bz2Copies) {
            if (job.written == nullptr) job.digested = HashFile(job.file->native, &progress.bytesDone);
        } else if (!job.kept) {
            job.temp.emplace(job.staged.empty() ? job.copy : job.staged);
            job.digested = CompressFile(job.file->native, job.temp->Path(), &progress.bytesDone);
            Reach(options, "compressed");
        }
        // Read again for its SHA-256: a file changing meanwhile gives an entry
        // whose digests disagree, which a client refuses rather than installs.
        if (withSha256) job.sha256 = FileSha256Hex(job.file->native);
    } catch (const std::exception& e) {
        job.error = e.what();
    }
    progress.filesDone.fetch_add(1, std::memory_order_relaxed);
}

// ---- validation: everything is checked before anything is written -------------

struct Directories {
    fs::path client;
    fs::path server;
};

Directories CheckDirectories(const PublishOptions& options) {
    std::error_code ec;
    if (!fs::is_directory(options.clientDir, ec)) {
        Fail(2, Cat("the client directory '", Display(options.clientDir), "' is not a directory"));
    }
    Directories dirs;
    dirs.client = fs::canonical(options.clientDir, ec);
    if (ec) Fail(1, Cat("can't resolve '", Display(options.clientDir), "': ", ec.message()));
    dirs.server = fs::weakly_canonical(fs::absolute(options.serverDir), ec);
    if (ec) Fail(1, Cat("can't resolve '", Display(options.serverDir), "': ", ec.message()));
    if (IsInside(dirs.client, dirs.server)) {
        Fail(2, Cat("the server directory '", Display(dirs.server), "' lies inside the client directory"));
    }
    if (fs::exists(dirs.server, ec) && !fs::is_directory(dirs.server, ec)) {
        Fail(2, Cat("the server directory '", Display(dirs.server), "' is not a directory"));
    }
    return dirs;
}

WalkResult ReadClientTree(const fs::path& clientDir) {
    WalkResult walk = Walk(clientDir);
    if (!walk.refused.empty()) {
        std::vector<std::string> messages = walk.refused;
        messages.insert(messages.end(), walk.unreadable.begin(), walk.unreadable.end());
        throw PublishFailure(2, std::move(messages));
    }
    if (!walk.unreadable.empty()) throw PublishFailure(1, walk.unreadable);
    return walk;
}

const SourceFile* FindSelf(const PublishOptions& options, const WalkResult& walk) {
    if (!options.selfName) return nullptr;
    const std::string& name = *options.selfName;
    if (!IsSafeSelfName(name)) {
        Fail(2, Cat("--self '", codepage::Cp1252ToUtf8(name),
                    "': the updater's name may hold only letters, digits, '.', '_' and '-'"));
    }
    for (const SourceFile& f : walk.files) {
        if (f.listPath == name) return &f;
    }
    Fail(2, Cat("--self '", codepage::Cp1252ToUtf8(name), "' is not a file at the top of the client directory"));
}

// What earlier publications left: the record of what the copies hold, and
// every list path whose copy may be ours (the record's and the old list's).
struct ServerState {
    Manifest written;
    PatchRecord patches;
    PatchRecord patchesAsRead;
    std::set<std::string> ours;
};

ServerState ReadServerState(const fs::path& serverDir) {
    ServerState state;
    std::error_code ec;
    const fs::path manifestPath = serverDir / kManifestName;
    if (fs::exists(manifestPath, ec)) {
        try {
            state.written = ReadManifest(ReadWholeFile(manifestPath), &state.patches);
            state.patchesAsRead = state.patches;
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (it tells what the copies hold)"));
        }
    }
    for (const auto& [path, copy] : state.written) state.ours.insert(path);
    // The old list never says what a copy holds (an interrupted publication
    // may have replaced it since), only that the copy is ours.
    const fs::path listPath = serverDir / kListName;
    if (fs::exists(listPath, ec)) {
        try {
            for (const auto& [path, entry] : ReadPreviousList(ReadWholeFile(listPath))) state.ours.insert(path);
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (the previous list tells which copies are ours)"));
        }
    }
    return state;
}

// ---- planning -------------------------------------------------------------------

// A file keeps its copy when the record says the copy holds content of the
// same size and, once hashed, the same digest, and the copy is still there
// (without copies, the record tells what each path's content was).
std::vector<Job> Plan(const WalkResult& walk, const Manifest& written, const fs::path& serverDir, bool copies) {
    std::error_code ec;
    std::vector<Job> jobs(walk.files.size());
    for (std::size_t i = 0; i < walk.files.size(); ++i) {
        Job& job = jobs[i];
        job.file = &walk.files[i];
        job.copy = ServerPath(serverDir, CopyName(job.file->listPath));
        const auto known = written.find(job.file->listPath);
        if (known != written.end() && known->second.Known() && (!copies || fs::is_regular_file(job.copy, ec))) {
            job.previous = &known->second;
            if (known->second.size == static_cast<std::int64_t>(job.file->size)) job.written = &known->second;
        }
    }
    return jobs;
}

// ---- compression ----------------------------------------------------------------

void Compress(std::vector<Job>& jobs, const PublishOptions& options, Progress& progress,
              const std::function<void()>& tick) {
    progress.filesTotal = jobs.size();
    progress.bytesTotal = 0;
    for (const Job& job : jobs) progress.bytesTotal += job.file->size;

    // Largest first, so no thread is left with one big file at the end.
    std::vector<std::size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return jobs[a].file->size > jobs[b].file->size; });
    RunJobs(
        order.size(), options.jobs, [&](std::size_t k) { RunJob(jobs[order[k]], progress, options); }, tick,
        std::chrono::milliseconds(200));

    std::vector<std::string> errors;
    for (const Job& job : jobs) {
        if (!job.error.empty()) errors.push_back(job.error);
    }
    if (!errors.empty()) {
        errors.push_back("nothing was published");
        throw PublishFailure(1, std::move(errors));
    }
}

// ---- patches --------------------------------------------------------------------

// The record of copies this publication leaves: its list's entries.
Manifest FinalManifest(const std::vector<Job>& jobs) {
    Manifest final;
    for (const Job& job : jobs) {
        final[job.file->listPath] =
            WrittenCopy{DigestToHex(job.digested.digest), static_cast<std::int64_t>(job.digested.size)};
    }
    return final;
}

// Each changed file whose old content the record knows: a patch from its
// old copy, or without copies from its old object, weighed against what a
// client would fetch instead.
std::vector<PatchSource> PatchSources(const std::vector<Job>& jobs, const PatchRecord& record, bool copies,
                                      const fs::path& serverDir) {
    std::vector<PatchSource> sources;
    for (const Job& job : jobs) {
        if (job.kept || job.previous == nullptr || job.previous->size < 0 || (copies && !job.temp)) continue;
        const std::string digest = DigestToHex(job.digested.digest);
        fs::path old = job.copy;
        std::error_code ec;
        std::uint64_t copyBytes = 0;
        if (copies) {
            copyBytes = fs::file_size(job.temp->Path(), ec);
            // The old content's object decodes some 70 times faster than its copy.
            const auto previous = record.objects.find(job.previous->digest);
            const fs::path object = ObjectPath(serverDir, job.previous->digest);
            std::error_code missing;
            if (previous != record.objects.end() && fs::is_regular_file(object, missing) &&
                fs::file_size(object, missing) == previous->second.bytes && !missing) {
                old = object;
            }
        } else if (const auto object = record.objects.find(digest); object != record.objects.end()) {
            old = ObjectPath(serverDir, job.previous->digest);
            copyBytes = object->second.bytes;
        } else {
            continue;
        }
        if (ec) continue;
        sources.push_back(PatchSource{job.previous->digest, digest, static_cast<std::uint64_t>(job.previous->size),
                                      job.digested.size, old, job.file->native, copyBytes});
    }
    return sources;
}

// The changed files' patches; none while history is 0.
std::vector<PatchJob> PlanPatchJobs(const std::vector<Job>& jobs, ServerState& state, std::uint64_t publication,
                                    const PublishOptions& options, const fs::path& serverDir,
                                    CreatedDirectories& createdDirs) {
    std::vector<PatchJob> patches =
        PlanPatches(PatchSources(jobs, state.patches, options.bz2Copies, serverDir), state.patches, publication,
                    options.patchHistory, serverDir);
    if (!patches.empty()) createdDirs.Create(PatchDirectory(serverDir));
    return patches;
}

// A patch that can't be made costs its clients the whole copy, not the
// publication: a warning.
void NotePatchFailures(const std::vector<PatchJob>& patches, PublishSummary& summary) {
    for (const PatchJob& job : patches) {
        if (!job.warning.empty()) summary.warnings.push_back(job.warning);
        if (!job.error.empty()) summary.warnings.push_back(Cat(job.error, " (no patch for that change)"));
    }
}

// ---- objects --------------------------------------------------------------------

// Every content's object not yet in place; made once the copies are, since
// a file's bzip2 copy tells how hard its object must work (Objects.cpp).
std::vector<ObjectJob> PlanObjectJobs(const std::vector<Job>& jobs, const ServerState& state,
                                      const PublishOptions& options, const fs::path& serverDir,
                                      CreatedDirectories& createdDirs, Progress& progress,
                                      std::vector<ObjectSource>& sources) {
    for (const Job& job : jobs) {
        const fs::path copy = !options.bz2Copies ? fs::path() : job.temp ? job.temp->Path() : job.copy;
        sources.push_back(ObjectSource{DigestToHex(job.digested.digest), job.digested.size, job.file->native, copy});
    }
    std::vector<ObjectJob> objects = PlanObjects(sources, state.patches, serverDir);
    for (const ObjectJob& object : objects) {
        createdDirs.Create(object.target.parent_path());
        progress.bytesTotal += object.source.size;
    }
    progress.filesTotal += objects.size();
    return objects;
}

// Objects and patches on one pool, the largest first whichever it is: one
// set after the other left a core idle at the end of each, and a
// republication of a few changed files is little more than those tails.
void MakeObjectsAndPatches(std::vector<ObjectJob>& objects, std::vector<PatchJob>& patches,
                           const PublishOptions& options, Progress& progress, const std::function<void()>& tick) {
    struct Task {
        std::uint64_t size;
        PatchJob* patch;
        ObjectJob* object;
    };
    std::vector<Task> tasks;
    for (ObjectJob& object : objects) tasks.push_back(Task{object.source.size, nullptr, &object});
    for (PatchJob& patch : patches) tasks.push_back(Task{patch.source.toSize, &patch, nullptr});
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) { return a.size > b.size; });
    std::optional<ScratchDir> scratch;
    if (!patches.empty()) scratch.emplace();
    RunJobs(
        tasks.size(), options.jobs,
        [&](std::size_t k) {
            if (tasks[k].patch != nullptr) {
                MakePatch(*tasks[k].patch, scratch->Path(), k, options.checkpoint);
                return;
            }
            MakeObject(*tasks[k].object, &progress.bytesDone, options.checkpoint);
            progress.filesDone.fetch_add(1, std::memory_order_relaxed);
        },
        tick, std::chrono::milliseconds(200));
}

// Any object that couldn't be made stops the publication; the others are
// recorded as named by it.
void RecordMadeObjects(const std::vector<ObjectSource>& sources, const std::vector<ObjectJob>& objects,
                       ServerState& state, std::uint64_t publication) {
    std::vector<std::string> errors;
    for (const ObjectJob& object : objects) {
        if (!object.error.empty()) errors.push_back(object.error);
    }
    if (!errors.empty()) {
        errors.push_back("nothing was published");
        throw PublishFailure(1, std::move(errors));
    }
    RecordObjects(sources, objects, state.patches, publication);
}

// ---- commit ---------------------------------------------------------------------

// Moves the new copies into place. The record first marks each one unknown,
// so an interruption among the renames leaves no copy trusted for content it
// may not hold, then takes the new contents.
void CommitCopies(std::vector<Job>& jobs, std::vector<PatchJob>& patches, std::uint64_t publication,
                  const PublishOptions& options, const fs::path& serverDir, ServerState& state,
                  PublishSummary& summary) {
    if (std::none_of(jobs.begin(), jobs.end(), [](const Job& job) { return job.temp.has_value(); }) &&
        std::none_of(patches.begin(), patches.end(), [](const PatchJob& job) { return job.temp.has_value(); })) {
        return;
    }
    Manifest& written = state.written;
    // Staged copies replace none of the live list's.
    const bool live = options.beside.place == Place::Live;
    for (const Job& job : jobs) {
        if (job.temp && live) written[job.file->listPath] = WrittenCopy{};
    }
    SaveManifest(serverDir, written, state.patches, "no copy was replaced");
    Reach(options, "marked");

    for (Job& job : jobs) {
        if (!job.temp) continue;
        try {
            job.temp->Commit();
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (", std::to_string(summary.compressed),
                        " copies were already replaced; the list was not)"));
        }
        ++summary.compressed;
        Reach(options, "copy");
    }
    // Patches after the copies they lead to: the record names them only
    // once they are in place, and the list only what the record names.
    try {
        summary.patches = CommitPatches(patches, state.patches, publication, options.checkpoint);
    } catch (const IoError& e) {
        Fail(1, Cat(e.what(), " (the copies are in place; the list was not replaced)"));
    }

    for (const Job& job : jobs) {
        if (job.temp && live) {
            written[job.file->listPath] =
                WrittenCopy{DigestToHex(job.digested.digest), static_cast<std::int64_t>(job.digested.size)};
        }
    }
    SaveManifest(serverDir, written, state.patches, "the copies are in place; the list was not replaced");
    Reach(options, "copies");
}

TListContent BuildList(const std::vector<Job>& jobs, const PublishOptions& options, const SourceFile* self,
                       PublishSummary& summary) {
    TListContent list;
    list.rev = options.rev;
    list.mirrors = options.mirrors;
    SetKeys(list, options.signing);
    list.objects = kObjectDir;
    for (const Job& job : jobs) {
        TListItem entry{job.file->listPath, DigestToHex(job.digested.digest),
                        static_cast<std::int64_t>(job.digested.size), job.sha256};
        if (job.file == self) {
            list.self = std::move(entry);
        } else if (std::any_of(options.critical.begin(), options.critical.end(),
                               [&](const Glob& g) { return g.Matches(job.file->listPath); })) {
            list.critical.push_back(std::move(entry));
        } else {
            list.normal.push_back(std::move(entry));
        }
        summary.bytes += job.digested.size;
        if (job.kept) ++summary.kept;
    }
    summary.files = jobs.size();
    return list;
}

// ---- pruning --------------------------------------------------------------------

// Removes the copies of ours the new list doesn't name, last, since clients
// holding the old list may still fetch them; then the record names exactly
// the new list's copies.
void Prune(const std::vector<Job>& jobs, ServerState& state, const std::vector<TPatchLink>& listed,
           std::uint64_t publication, const PublishOptions& options, const fs::path& serverDir,
           PublishSummary& summary) {
    const bool live = options.beside.place == Place::Live;
    if (live) {
        std::vector<std::string> current;
        for (const Job& job : jobs) {
            if (!options.bz2Copies) break;  // every copy of ours goes
            current.push_back(job.file->listPath);
        }
        summary.removed = PruneCopies(state.ours, current, serverDir, options.checkpoint, summary.warnings);
    }

    // What the lists beside the live one name stays too.
    const std::vector<TPatchLink> kept =
        KeepStanding(ReadStanding(serverDir), state.patches, publication, serverDir, listed);
    summary.unpatched = PrunePatches(kept, state.patches, serverDir, options.checkpoint, summary.warnings);
    summary.unobjected = PruneObjects(state.patches, publication, options.patchHistory, serverDir,
                                      options.checkpoint, summary.warnings);
    state.patches.publication = publication;

    // Beside the live list, the copies are the live list's still.
    Manifest final = live ? FinalManifest(jobs) : state.written;
    std::error_code exists;
    if (final != state.written || state.patches != state.patchesAsRead ||
        !fs::exists(serverDir / kManifestName, exists)) {
        state.written = std::move(final);
        SaveManifest(serverDir, state.written, state.patches,
                     "the list is published; stale copies may remain until the next run");
    }
}

}  // namespace

PublishSummary Publish(const PublishOptions& options, Progress& progress, const std::function<void()>& tick) {
    const bool live = options.beside.place == Place::Live;
    if (options.beside.place == Place::Channel && options.bz2Copies) Fail(2, "a channel has no .bz2 copies");
    const Directories dirs = CheckDirectories(options);
    const fs::path listDir = ListDir(dirs.server, options.beside);
    const SigningOptions& signing = options.signing;
    const std::string scope = SerialScope(options.beside);
    // The live list is re-signed at the end to announce this one.
    if (!live) ReadWrittenList(dirs.server / kListName, options.signing.Signed(), "live");
    const WalkResult walk = ReadClientTree(dirs.client);
    const SourceFile* self = FindSelf(options, walk);
    ServerState state = ReadServerState(dirs.server);
    // Before anything changes: a serial that can't be signed stops here.
    PublishSummary summary;
    const std::uint64_t serial =
        signing.Signed() ? NextSerial(listDir, signing, UnixNow(), summary.warnings, scope) : 0;

    // Declared before the jobs: their temporary files go first, then the
    // directories made for them.
    CreatedDirectories createdDirs;
    std::vector<Job> jobs = Plan(walk, state.written, dirs.server, options.bz2Copies);
    createdDirs.Create(listDir);
    SweepTemporaries(dirs.server);
    for (Job& job : jobs) {
        if (options.beside.place == Place::Stage) job.staged = ServerPath(listDir, CopyName(job.file->listPath));
        if (!options.bz2Copies) continue;
        if (!job.staged.empty()) {
            createdDirs.Create(job.staged.parent_path());  // emptied again by WithdrawList
        } else if (job.written == nullptr) {
            createdDirs.Create(job.copy.parent_path());
        }
    }
    Compress(jobs, options, progress, tick);
    const std::uint64_t publication = PublicationNumber(state.patches, FinalManifest(jobs) != state.written);
    std::vector<ObjectSource> sources;
    std::vector<ObjectJob> objects =
        PlanObjectJobs(jobs, state, options, dirs.server, createdDirs, progress, sources);
    // Without copies a patch is weighed against the new content's object, so
    // it waits for that to be made and recorded.
    std::vector<PatchJob> patches;
    if (options.bz2Copies) patches = PlanPatchJobs(jobs, state, publication, options, dirs.server, createdDirs);
    MakeObjectsAndPatches(objects, patches, options, progress, tick);
    RecordMadeObjects(sources, objects, state, publication);
    if (!options.bz2Copies) {
        patches = PlanPatchJobs(jobs, state, publication, options, dirs.server, createdDirs);
        std::vector<ObjectJob> none;
        MakeObjectsAndPatches(none, patches, options, progress, tick);
    }
    NotePatchFailures(patches, summary);

    // New copies and patches first, then the list, so a client never reads
    // a list whose files are not there yet.
    createdDirs.Keep();
    try {
        summary.objects = CommitObjects(objects, options.checkpoint);
    } catch (const IoError& e) {
        Fail(1, Cat(e.what(), " (no copy and no list was replaced)"));
    }
    if (options.beside.place == Place::Stage) {
        try {
            WithdrawList(listDir);
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (the live list and its copies are as they were)"));
        }
    }
    CommitCopies(jobs, patches, publication, options, dirs.server, state, summary);
    TListContent list = BuildList(jobs, options, self, summary);
    list.patches = ListedPatches(state.patches, publication, options.patchHistory, dirs.server);
    summary.listed = list.patches.size();
    if (live) {
        Announce(dirs.server, list, std::nullopt);
        if (publication != state.patchesAsRead.publication) {
            KeepLiveList(dirs.server, state.patchesAsRead.publication, options.patchHistory);
        }
    }
    CommitList(list, listDir, signing, serial, options.checkpoint, summary.warnings, scope);
    if (!live) {
        const std::optional<std::string> next =
            options.beside.place == Place::Stage ? std::optional<std::string>(options.beside.name) : std::nullopt;
        Reannounce(dirs.server, options.signing, next, options.checkpoint, summary.warnings);
    }
    Prune(jobs, state, list.patches, publication, options, dirs.server, summary);
    return summary;
}

}  // namespace publish
