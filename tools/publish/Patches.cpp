#include "tools/publish/Patches.h"

#include "tools/publish/Names.h"
#include "tools/publish/PatchMaker.h"
#include "tools/publish/Signing.h"
#include "tools/publish/Text.h"

#include <algorithm>
#include <set>

namespace publish {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPatchDir = "patches";

fs::path PatchPath(const fs::path& serverDir, std::string_view from, std::string_view to) {
    return ServerPath(serverDir, PatchName(from, to));
}

bool InPlace(const fs::path& path, std::uint64_t size) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && fs::file_size(path, ec) == size && !ec;
}

bool InHistory(std::uint64_t made, std::uint64_t publication, unsigned history) {
    return made <= publication && publication - made < history;
}

void Reach(const Checkpoint& checkpoint, const char* step) {
    if (checkpoint) checkpoint(step);
}

bool IsLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "<32 hex>-<32 hex>.zst": a name only a patch has (a copy's ends in ".bz2").
bool IsPatchFileName(std::string_view name) {
    return name.size() == 32 + 1 + 32 + 4 && name.ends_with(".zst") && name[32] == '-' &&
           IsLowerHex(name.substr(0, 32)) && IsLowerHex(name.substr(33, 32));
}

}  // namespace

fs::path PatchDirectory(const fs::path& serverDir) { return serverDir / fs::path(std::string(kPatchDir)); }

std::uint64_t PublicationNumber(const PatchRecord& record, bool contentChanged) {
    return contentChanged ? record.publication + 1 : record.publication;
}

std::vector<PatchJob> PlanPatches(const std::vector<PatchSource>& sources, PatchRecord& record,
                                  std::uint64_t publication, unsigned history, const fs::path& serverDir) {
    std::vector<PatchJob> jobs;
    if (history == 0) return jobs;
    // Largest first, so no thread is left with one big file at the end.
    std::vector<const PatchSource*> order;
    for (const PatchSource& source : sources) order.push_back(&source);
    std::stable_sort(order.begin(), order.end(),
                     [](const PatchSource* a, const PatchSource* b) { return a->toSize > b->toSize; });
    std::set<std::pair<std::string, std::string>> planned;
    for (const PatchSource* each : order) {
        const PatchSource& source = *each;
        if (source.from == source.to || source.fromSize > kMaxPatchedFile || source.toSize > kMaxPatchedFile) continue;
        const std::pair<std::string, std::string> key{source.from, source.to};
        if (!planned.insert(key).second) continue;  // two files with the same change share one patch
        const fs::path target = PatchPath(serverDir, source.from, source.to);
        const auto known = record.links.find(key);
        if (known != record.links.end() && InPlace(target, known->second.link.patchBytes)) {
            known->second.publication = publication;
            continue;
        }
        jobs.push_back(PatchJob{source, target});
    }
    return jobs;
}

void MakePatch(PatchJob& job, const fs::path& scratch, std::size_t index, const Checkpoint& checkpoint) {
    const PatchSource& s = job.source;
    const fs::path old = scratch / Cat(std::to_string(index), ".old");
    try {
        if (!DecodeVerifiedCopy(s.oldCopy, s.from, s.fromSize, old)) {
            job.warning =
                Cat("the copy '", Display(s.oldCopy), "' doesn't hold what the record says it does; no patch from it");
        } else {
            job.temp.emplace(job.target);
        }
    } catch (const IoError& e) {
        job.error = e.what();
    }
    std::error_code ignored;
    if (!job.temp) {
        fs::remove(old, ignored);
        return;
    }
    try {
        const std::uint64_t bytes = WritePatch(old, s.newFile, job.temp->Path());
        if (bytes < s.copyBytes) {
            job.link = TPatchLink{s.from, s.to, bytes, s.copyBytes, FileSha256Hex(job.temp->Path())};
        } else {
            job.temp.reset();  // no cheaper than the whole copy
        }
        Reach(checkpoint, "patched");
    } catch (const IoError& e) {
        job.error = e.what();
        job.temp.reset();
    }
    fs::remove(old, ignored);
}

std::size_t CommitPatches(std::vector<PatchJob>& jobs, PatchRecord& record, std::uint64_t publication,
                          const Checkpoint& checkpoint) {
    std::size_t committed = 0;
    for (PatchJob& job : jobs) {
        if (!job.temp) continue;
        job.temp->Commit();
        record.links[{job.link.from, job.link.to}] = WrittenPatch{job.link, publication};
        ++committed;
        Reach(checkpoint, "patch");
    }
    record.publication = publication;
    return committed;
}

std::vector<TPatchLink> ListedPatches(const PatchRecord& record, std::uint64_t publication, unsigned history,
                                      const fs::path& serverDir) {
    std::vector<TPatchLink> listed;
    for (const auto& [key, patch] : record.links) {
        if (InHistory(patch.publication, publication, history) &&
            InPlace(PatchPath(serverDir, key.first, key.second), patch.link.patchBytes)) {
            listed.push_back(patch.link);
        }
    }
    return listed;
}

std::size_t PrunePatches(const std::vector<TPatchLink>& listed, PatchRecord& record, const fs::path& serverDir,
                         const Checkpoint& checkpoint, std::vector<std::string>& warnings) {
    std::set<std::string> keep;
    for (const TPatchLink& link : listed) keep.insert(PatchName(link.from, link.to).substr(kPatchDir.size() + 1));
    std::erase_if(record.links, [&](const auto& entry) {
        return keep.count(PatchName(entry.first.first, entry.first.second).substr(kPatchDir.size() + 1)) == 0;
    });
    // Every file of a patch's name goes unless listed: ours, whether the
    // record still knew it or an interrupted run left it unrecorded.
    const fs::path dir = PatchDirectory(serverDir);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return 0;
    std::vector<fs::path> stale;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsPatchFileName(name) && keep.count(name) == 0 && it->is_regular_file(ec)) stale.push_back(it->path());
    }
    std::size_t removed = 0;
    for (const fs::path& path : stale) {
        if (fs::remove(path, ec)) {
            ++removed;
            Reach(checkpoint, "unpatched");
        } else if (ec) {
            warnings.push_back(Cat("can't remove '", Display(path), "': ", ec.message()));
        }
    }
    if (fs::is_empty(dir, ec) && !ec) fs::remove(dir, ec);
    return removed;
}

}  // namespace publish
