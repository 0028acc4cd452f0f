#include "engine/steps/CheckStep.h"

#include "engine/fetch/RunControl.h"
#include "engine/run/RunContext.h"
#include "engine/state/InstallRecord.h"
#include "engine/steps/NextStep.h"
#include "engine/steps/WorkAhead.h"
#include "formats/ListGrammar.h"
#include "formats/LstFile.h"
#include "formats/md5.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The digest of empty input, which FileDigest also gives a missing file.
constexpr std::string_view kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

// What the check found on disk for an entry.
struct TLocal {
    // nullopt when there is no such file, "" when it can't be read now (then
    // it is fetched again).
    std::optional<std::string> digest;
    // InUse when another program holds the file: a new copy couldn't replace
    // it either, so it is not fetched; the player closes that program and
    // checks again.
    TFailure held;
};

// The InUse failure of a file that can't be opened because another program
// holds it; None for any other reason (a mapping that fails gives none).
TFailure HeldFailure(const std::string& path) {
    try {
        os::File::OpenRead(path, os::Share::ReadWrite);
    } catch (const std::exception& e) {
        if (TFailure failure = FailureOf(e); failure.fault == TFault::InUse) return failure;
    }
    return TFailure{};
}

TLocal LocalDigest(const std::string& installDir, std::string_view line, bool replaced) {
    TLocal local;
    const auto entry = SafeEntry(line);
    if (!entry) return local;
    const std::string path = installDir + std::string(entry->path);
    if (replaced) {
        // Whether it is there and free to replace; its bytes don't matter.
        if (os::FileExists(path)) {
            local.digest.emplace();
            local.held = HeldFailure(path);
            if (local.held) local.held.path = entry->path;
        }
        return local;
    }
    try {
        TMD5Digest bytes{};
        FileDigest(path, bytes);
        local.digest = DigestToHex(bytes);
    } catch (const std::exception& e) {
        local.digest.emplace();
        if (TFailure failure = FailureOf(e); failure.fault == TFault::InUse) local.held = std::move(failure);
    }
    // A missing file hashes as empty input, and so does one that can't be
    // opened; only then is it looked at again, which saves a lookup per file
    // in the common case.
    if (local.digest == kEmptyDigest) {
        if (!os::FileExists(path)) {
            local.digest.reset();
        } else {
            local.held = HeldFailure(path);
        }
    }
    if (local.held) local.held.path = entry->path;
    return local;
}

// Entries a promotion replaces from the staging folder: the record says the
// file holds another content, and the entry's own waits in the folder. Their
// old bytes would be hashed only to learn that they differ (a quarter of a
// promotion's hashing for an update that rewrites a quarter of the files);
// the staged content is verified when it is taken.
std::vector<bool> ReplacedFromStage(const TRunContext& run, const TLineRefs& numbered) {
    std::vector<bool> replaced(numbered.size());
    const std::string& dir = run.fields.InstallDir;
    if (!run.record || !os::DirectoryExists(dir + kNextContentDir)) return replaced;
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        const auto entry = SafeEntry(numbered[i]);
        if (!entry) continue;
        const std::string_view recorded = run.record->Digest(entry->path);
        if (recorded.empty() || recorded == entry->digest) continue;
        const std::string staged = NextContentPath(entry->digest);
        replaced[i] = !staged.empty() && os::FileExists(dir + staged);
    }
    return replaced;
}

// An entry whose file was hashed: pending when missing or different (what
// it holds now may start a chain of patches to the entry), else recorded as
// current.
void Decide(TRunContext& run, std::string_view line, const TListEntry& entry, const std::optional<std::string>& digest) {
    TRunFields& fields = run.fields;
    if (!digest) run.missing.insert(fields.PendingFiles.size());
    if (digest && *digest != entry.digest) run.patches.Found(fields.PendingFiles.size(), *digest, entry.digest);
    if (!digest || *digest != entry.digest) {
        fields.PendingFiles.push_back(line);
    } else if (run.record) {
        run.record->Current(entry.path, *digest);
    }
}

}  // namespace

void CheckSection(TRunContext& run, const TListLines& section) {
    if (section.empty() || section.front() == kNoSectionLine) return;
    TRunFields& fields = run.fields;
    run.report.Status(TRunPhase::CheckingFiles, "");
    run.report.BarMax(1, static_cast<std::int32_t>(section.size() - 1));

    // The lines by number, for the helper that hashes ahead.
    TLineRefs numbered(section.Body());
    numbered.reserve(section.size());
    section.ForEach([&](std::string_view line) { numbered.push_back(line); });
    // Each entry's local digest, hashed a few entries ahead on a second
    // core; the entries are decided in order.
    const std::vector<bool> replaced = ReplacedFromStage(run, numbered);
    TWorkAhead<TLocal> localDigests(numbered.size(), [&numbered, &fields, &replaced](std::size_t i) {
        return LocalDigest(fields.InstallDir, numbered[i], replaced[i]);
    });
    std::string detail;
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        run.control.ThrowIfStopped();
        const std::string_view line = numbered[i];
        run.report.Position(TProgressKind::Total, static_cast<std::int32_t>(i));
        const auto entry = ParseEntry(line);
        const std::string_view shown = entry ? entry->path : line;
        detail.assign(1, ' ');
        detail.append(shown);
        run.report.Status(TRunPhase::Checking, detail);
        // A line that can't name a file below the install directory is not
        // looked up on disk; installing it fails, which the user then sees.
        if (!SafeEntry(line)) {
            fields.PendingFiles.push_back(line);
            continue;
        }
        // Neither checked nor installed twice: the same entry again is taken
        // once; another spelling or content for the same file fails, since
        // the list asks for two files the disk can't hold apart.
        if (const auto repeat = run.duplicates.Of(line); repeat != TDuplicateEntries::TRepeat::None) {
            if (repeat == TDuplicateEntries::TRepeat::Conflict) {
                run.report.Fail(TFailure{TFault::Duplicate, 0, "listed twice", std::string(entry->path)});
            }
            continue;
        }
        TLocal local = localDigests.Take(i);
        if (local.held) {
            // Failed here rather than fetched: the replace would fail the same way.
            run.report.EntryFinished(local.held.path, local.held);
            run.report.Fail(local.held);
            continue;
        }
        Decide(run, line, *entry, local.digest);
    }

    run.report.Reset(TProgressKind::Total);
    run.report.Status(TRunPhase::Idle, "");
}
