#include "tools/publish/ListFiles.h"

#include "formats/Publication.h"
#include "platform/codepage.h"
#include "tools/publish/Compressor.h"
#include "tools/publish/Failure.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Names.h"
#include "tools/publish/Text.h"
#include "tools/publish/Walk.h"

#include <map>
#include <optional>

namespace publish {

namespace fs = std::filesystem;

namespace {

void WriteWhole(const fs::path& path, std::string_view data) {
    CFile out(path, CFile::Mode::Write);
    out.Write(data.data(), data.size());
    out.Close();
}

void Reach(const std::function<void(const char* step)>& checkpoint, const char* step) {
    if (checkpoint) checkpoint(step);
}

}  // namespace

void SaveManifest(const fs::path& serverDir, const Manifest& written, const PatchRecord& record,
                  std::string_view after) {
    try {
        TempFile temp(serverDir / kManifestName);
        WriteWhole(temp.Path(), WriteManifest(written, record));
        temp.Commit();
    } catch (const IoError& e) {
        throw PublishFailure(1, {Cat(e.what(), " (", after, ")")});
    }
}

void CommitList(const TListContent& list, const fs::path& listDir, const SigningOptions& signing,
                std::uint64_t serial, const std::function<void(const char* step)>& checkpoint,
                std::vector<std::string>& warnings, const std::string& scope) {
    const std::string text = WriteList(list);
    try {
        TempFile plain(listDir / kListName);
        WriteWhole(plain.Path(), text);
        TempFile archive(listDir / kListArchiveName);
        CompressToFile(text, archive.Path());
        std::optional<TempFile> signature;
        if (signing.Signed()) {
            const std::string signed_ = SignListArchive(archive.Path(), signing, serial, warnings, scope);
            signature.emplace(listDir / kSignatureName);
            WriteWhole(signature->Path(), signed_);
        }
        plain.Commit();
        Reach(checkpoint, "list");
        archive.Commit();
        if (signature) {
            signature->Commit();
        } else {
            // An earlier publication's signature no longer matches the list.
            std::error_code ec;
            if (!fs::remove(listDir / kSignatureName, ec) && ec) RaiseIo("remove", listDir / kSignatureName, ec.value());
        }
    } catch (const IoError& e) {
        throw PublishFailure(1, {Cat(e.what(), " (the copies are in place; the list was not replaced)")});
    }
    Reach(checkpoint, "lists");
}

// Temporary files a killed publication left behind (ours by their suffix),
// and the directories that held nothing else.
void SweepTemporaries(const fs::path& serverDir) {
    std::error_code ec;
    std::vector<fs::path> stale;
    for (auto it = fs::recursive_directory_iterator(serverDir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& p = it->path();
        if (it->is_regular_file(ec) && !it->is_symlink(ec) && p.native().ends_with(fs::path(kTempSuffix).native())) {
            stale.push_back(p);
        }
    }
    for (const fs::path& p : stale) {
        if (!fs::remove(p, ec)) continue;
        for (fs::path dir = p.parent_path(); dir != serverDir && IsInside(serverDir, dir); dir = dir.parent_path()) {
            if (!fs::is_empty(dir, ec) || ec || !fs::remove(dir, ec)) break;
        }
    }
}

std::size_t PruneCopies(const std::set<std::string>& ours, const std::vector<std::string>& current,
                        const fs::path& serverDir, const std::function<void(const char* step)>& checkpoint,
                        std::vector<std::string>& warnings) {
    const std::set<std::string> named(current.begin(), current.end());
    std::map<std::string, fs::path> currentByKey;
    for (const std::string& path : current) currentByKey.emplace(PathKey(path), ServerPath(serverDir, CopyName(path)));
    std::size_t removed = 0;
    std::error_code ec;
    for (const std::string& path : ours) {
        if (named.count(path) != 0) continue;
        if (!IsSafeRelativePath(path)) {
            warnings.push_back(Cat("the previous list names '", codepage::Cp1252ToUtf8(path),
                                   "', which is no path below the server directory; left alone"));
            continue;
        }
        const fs::path copy = ServerPath(serverDir, CopyName(path));
        // Same file on a case-insensitive disk: only the case of its name changed.
        const auto same = currentByKey.find(PathKey(path));
        std::error_code differs;
        if (same != currentByKey.end() && fs::equivalent(copy, same->second, differs)) continue;
        const bool gone = fs::remove(copy, ec);
        if (ec) {
            warnings.push_back(Cat("can't remove '", Display(copy), "': ", ec.message()));
            continue;
        }
        if (gone) {
            ++removed;
            Reach(checkpoint, "prune");
        }
        // Also when the copy was gone already: an interrupted run may have
        // removed it and not yet its directories.
        for (fs::path dir = copy.parent_path(); dir != serverDir && IsInside(serverDir, dir); dir = dir.parent_path()) {
            if (!fs::is_empty(dir, ec) || ec || !fs::remove(dir, ec)) break;
        }
    }
    return removed;
}

}  // namespace publish
