#include "tools/publish/Publisher.h"

#include "tools/publish/FileIo.h"
#include "tools/publish/ListWriter.h"
#include "tools/publish/Names.h"
#include "tools/publish/Text.h"
#include "tools/publish/Walk.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>

namespace publish {

namespace fs = std::filesystem;

PublishFailure::PublishFailure(int status_, std::vector<std::string> messages_)
    : std::runtime_error(messages_.empty() ? std::string("publication failed") : messages_.front()),
      status(status_),
      messages(std::move(messages_)) {}

namespace {

[[noreturn]] void Fail(int status, std::string message) {
    throw PublishFailure(status, {std::move(message)});
}

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
    const PreviousEntry* previous = nullptr;  // set when the old copy may do
    fs::path copy;
    Digested digested;
    std::optional<TempFile> temp;
    bool kept = false;
    std::string sha256;  // a signed list's extra field
    std::string error;
};

void RunJob(Job& job, Progress& progress, bool withSha256) {
    try {
        if (job.previous != nullptr) {
            job.digested = HashFile(job.file->native, &progress.bytesDone);
            if (DigestToHex(job.digested.digest) == job.previous->digest) {
                job.kept = true;
            }
        }
        if (!job.kept) {
            job.temp.emplace(job.copy);
            job.digested = CompressFile(job.file->native, job.temp->Path(), &progress.bytesDone);
        }
        // Read again for its SHA-256: a file changing meanwhile gives an entry
        // whose digests disagree, which a client refuses rather than installs.
        if (withSha256) job.sha256 = FileSha256Hex(job.file->native);
        if (job.digested.size > kMaxFileSize) {
            job.error = Cat("'", Display(job.file->native), "' grew past 2147483647 bytes while it was read");
        }
    } catch (const std::exception& e) {
        job.error = e.what();
    }
    progress.filesDone.fetch_add(1, std::memory_order_relaxed);
}

bool IsSafeSelfName(std::string_view name) {
    // The update script names it unquoted, as a file and as a process image.
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '_' || c == '-';
    }) && CheckComponent(name) == NameProblem::None;
}

bool IsSafeRelative(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = path.size();
        if (CheckComponent(path.substr(start, end - start)) != NameProblem::None) return false;
        start = end + 1;
    }
    return true;
}

void WriteFileAtomically(const fs::path& target, std::string_view data, bool compress) {
    TempFile temp(target);
    if (compress) {
        CompressToFile(data, temp.Path());
    } else {
        CFile out(temp.Path(), CFile::Mode::Write);
        out.Write(data.data(), data.size());
        out.Close();
    }
    temp.Commit();
}

}  // namespace

PublishSummary Publish(const PublishOptions& options, Progress& progress, const std::function<void()>& tick) {
    std::error_code ec;
    if (!fs::is_directory(options.clientDir, ec)) {
        Fail(2, Cat("the client directory '", Display(options.clientDir), "' is not a directory"));
    }
    const fs::path clientDir = fs::canonical(options.clientDir, ec);
    if (ec) Fail(1, Cat("can't resolve '", Display(options.clientDir), "': ", ec.message()));
    const fs::path serverDir = fs::weakly_canonical(fs::absolute(options.serverDir), ec);
    if (ec) Fail(1, Cat("can't resolve '", Display(options.serverDir), "': ", ec.message()));
    if (IsInside(clientDir, serverDir)) {
        Fail(2, Cat("the server directory '", Display(serverDir), "' lies inside the client directory"));
    }
    if (fs::exists(serverDir, ec) && !fs::is_directory(serverDir, ec)) {
        Fail(2, Cat("the server directory '", Display(serverDir), "' is not a directory"));
    }

    // Everything is checked before anything is written.
    WalkResult walk = Walk(clientDir);
    if (!walk.refused.empty()) {
        std::vector<std::string> messages = walk.refused;
        messages.insert(messages.end(), walk.unreadable.begin(), walk.unreadable.end());
        throw PublishFailure(2, std::move(messages));
    }
    if (!walk.unreadable.empty()) throw PublishFailure(1, walk.unreadable);

    const SourceFile* selfFile = nullptr;
    if (options.selfName) {
        const std::string& name = *options.selfName;
        if (!IsSafeSelfName(name)) {
            Fail(2, Cat("--self '", Cp1252ToUtf8(name),
                        "': the updater's name may hold only letters, digits, '.', '_' and '-'"));
        }
        for (const SourceFile& f : walk.files) {
            if (f.listPath == name) selfFile = &f;
        }
        if (selfFile == nullptr) {
            Fail(2, Cat("--self '", Cp1252ToUtf8(name), "' is not a file at the top of the client directory"));
        }
    }

    std::map<std::string, PreviousEntry> previous;
    const fs::path listPath = serverDir / "files.lst";
    if (fs::exists(listPath, ec)) {
        try {
            previous = ReadPreviousList(ReadWholeFile(listPath));
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (the previous list tells which copies are current)"));
        }
    }

    // Plan: a file keeps its copy when the old list has the same size and,
    // once hashed, the same digest, and the copy is still there.
    // Declared before the jobs: their temporary files go first, then the
    // directories made for them.
    CreatedDirectories createdDirs;
    std::vector<Job> jobs(walk.files.size());
    for (std::size_t i = 0; i < walk.files.size(); ++i) {
        Job& job = jobs[i];
        job.file = &walk.files[i];
        job.copy = ServerPath(serverDir, job.file->listPath + ".bz2");
        const auto old = previous.find(job.file->listPath);
        if (old != previous.end() && old->second.size == static_cast<std::int64_t>(job.file->size) &&
            fs::is_regular_file(job.copy, ec)) {
            job.previous = &old->second;
        }
    }

    createdDirs.Create(serverDir);
    for (const Job& job : jobs) {
        if (job.previous == nullptr) createdDirs.Create(job.copy.parent_path());
    }

    progress.filesTotal = jobs.size();
    progress.bytesTotal = 0;
    for (const SourceFile& f : walk.files) progress.bytesTotal += f.size;

    // Largest first, so no thread is left with one big file at the end.
    std::vector<std::size_t> order(jobs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return walk.files[a].size > walk.files[b].size; });
    RunJobs(
        order.size(), options.jobs, [&](std::size_t k) { RunJob(jobs[order[k]], progress, options.signing.key != nullptr); }, tick,
        std::chrono::milliseconds(200));

    std::vector<std::string> errors;
    for (const Job& job : jobs) {
        if (!job.error.empty()) errors.push_back(job.error);
    }
    if (!errors.empty()) {
        errors.push_back("nothing was published");
        throw PublishFailure(1, std::move(errors));
    }

    // New copies first, then the list, so a client never reads a list whose
    // copies are not there yet.
    PublishSummary summary;
    createdDirs.Keep();
    for (Job& job : jobs) {
        if (!job.temp) continue;
        try {
            job.temp->Commit();
        } catch (const IoError& e) {
            Fail(1, Cat(e.what(), " (", std::to_string(summary.compressed),
                        " copies were already replaced; the list was not)"));
        }
        ++summary.compressed;
    }

    ListContent list;
    list.rev = options.rev;
    for (const Job& job : jobs) {
        ListEntry entry{job.file->listPath, DigestToHex(job.digested.digest),
                        static_cast<std::int32_t>(job.digested.size), job.sha256};
        if (job.file == selfFile) {
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
    const std::string text = WriteList(list);
    try {
        WriteFileAtomically(listPath, text, false);
        WriteFileAtomically(serverDir / "files.lst.bz2", text, true);
        FinishSignature(serverDir, options.signing);
    } catch (const IoError& e) {
        Fail(1, Cat(e.what(), " (the copies are in place; the list was not replaced)"));
    }

    // Stale copies last: clients holding the old list may still fetch them.
    std::set<std::string> current;
    for (const SourceFile& f : walk.files) current.insert(f.listPath);
#ifdef _WIN32
    std::set<std::string> currentFolded;
    for (const SourceFile& f : walk.files) currentFolded.insert(FoldCase(f.listPath));
#endif
    for (const auto& [path, entry] : previous) {
        if (current.count(path) != 0) continue;
        if (!IsSafeRelative(path)) {
            summary.warnings.push_back(Cat("the previous list names '", Cp1252ToUtf8(path),
                                           "', which is no path below the server directory; left alone"));
            continue;
        }
#ifdef _WIN32
        // Same file on a case-insensitive disk: only the case of its name changed.
        if (currentFolded.count(FoldCase(path)) != 0) continue;
#endif
        const fs::path copy = ServerPath(serverDir, path + ".bz2");
        if (!fs::remove(copy, ec)) {
            if (ec) summary.warnings.push_back(Cat("can't remove '", Display(copy), "': ", ec.message()));
            continue;
        }
        ++summary.removed;
        for (fs::path dir = copy.parent_path(); dir != serverDir && IsInside(serverDir, dir);
             dir = dir.parent_path()) {
            if (!fs::is_empty(dir, ec) || ec || !fs::remove(dir, ec)) break;
        }
    }
    return summary;
}

}  // namespace publish
