// The patches of a publication: which to make, making them on the job
// pool, putting them in place before the list, and pruning those that fell
// out of the history after it. A patch is made only from the copy the
// server already holds (what clients have installed), so a client several
// publications behind follows a chain of them.
#pragma once

#include "formats/PatchIndex.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Manifest.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace publish {

// One file whose content changed from the copy on the server to a new one.
struct PatchSource {
    std::string from, to;  // MD5 hex
    std::uint64_t fromSize = 0, toSize = 0;
    std::filesystem::path oldCopy;  // the server's bzip2 copy, recorded as holding `from`
    std::filesystem::path newFile;  // the client file, holding `to`
    std::uint64_t copyBytes = 0;    // the new bzip2 copy's size
};

struct PatchJob {
    PatchSource source;
    std::filesystem::path target;  // patches/<from>-<to>.zst in the server directory
    std::optional<TempFile> temp;  // the patch, when made and smaller than the copy
    TPatchLink link;
    std::string warning;  // why a patch could not be made from the old copy
    std::string error;
};

using Checkpoint = std::function<void(const char* step)>;

// Where the patches live: patches/ in the server directory.
std::filesystem::path PatchDirectory(const std::filesystem::path& serverDir);

// The publication's number: one past the last when any content changed.
// A publication that changes nothing (a re-signing, say) keeps the number,
// so only changes age the history. A damaged record's links may carry
// numbers past it: they are out of the history and pruned.
std::uint64_t PublicationNumber(const PatchRecord& record, bool contentChanged);

// The patches to make: one per pair of contents, none when history is 0 or
// either side is over kMaxPatchedFile. A pair whose patch is recorded and
// still in place is not made again; it counts as made in this publication.
std::vector<PatchJob> PlanPatches(const std::vector<PatchSource>& sources, PatchRecord& record,
                                  std::uint64_t publication, unsigned history, const std::filesystem::path& serverDir);

// Makes one patch into a temporary beside its target, using scratch for the
// old content. Never throws: a failure is left in job.error.
void MakePatch(PatchJob& job, const std::filesystem::path& scratch, std::size_t index, const Checkpoint& checkpoint);

// Moves the made patches into place and records them as made in
// `publication`. Raises IoError.
std::size_t CommitPatches(std::vector<PatchJob>& jobs, PatchRecord& record, std::uint64_t publication,
                          const Checkpoint& checkpoint);

// The recorded links made in the last `history` publications up to
// `publication` whose files are in place: the list's [patches] section.
std::vector<TPatchLink> ListedPatches(const PatchRecord& record, std::uint64_t publication, unsigned history,
                                      const std::filesystem::path& serverDir);

// After the list: removes every patch file the list doesn't name (recorded
// or left by an interrupted run) and the record of it. Returns how many
// files were removed.
std::size_t PrunePatches(const std::vector<TPatchLink>& listed, PatchRecord& record,
                         const std::filesystem::path& serverDir, const Checkpoint& checkpoint,
                         std::vector<std::string>& warnings);

}  // namespace publish
