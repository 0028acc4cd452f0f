// The objects of a publication: every distinct content once, zstd with
// long-distance matching, named by its MD5 under objects/ in the server
// directory (formats/Publication.h). bzip2 decodes about 28 MB/s per core,
// zstd about 2 GB/s, so a launcher that knows objects installs at line rate
// where one that knows only the .bz2 copies waits for its CPU.
//
// A name holds one content for good: an object in place is never
// rewritten, so caches may keep it forever. Objects are written beside
// their names and renamed into place before the list, recorded in the
// publisher's record (Manifest.h) with the latest publication whose list
// names them, and pruned after the list by the patches' history rule.
#pragma once

#include "tools/publish/Compressor.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Manifest.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace publish {

// One content of the publication, as found in the client directory.
struct ObjectSource {
    std::string digest;  // MD5 hex
    std::uint64_t size = 0;
    std::filesystem::path file;  // a client file holding it
    std::filesystem::path copy;  // its bzip2 copy (written or kept) to weigh the object against; empty: none
};

// An object that is not yet known to be in place.
struct ObjectJob {
    ObjectSource source;
    std::filesystem::path target;  // objects/ab/<md5>.zst in the server directory
    bool verify = false;           // a file is there that the record doesn't vouch for
    std::optional<TempFile> temp;  // the object written, until its rename
    std::uint64_t bytes = 0;       // of the object, once written or verified
    std::string error;
};

std::filesystem::path ObjectDirectory(const std::filesystem::path& serverDir);
std::filesystem::path ObjectPath(const std::filesystem::path& serverDir, const std::string& digest);

// One job per content (files of equal content share it) whose object the
// record doesn't show in place at its recorded size.
std::vector<ObjectJob> PlanObjects(const std::vector<ObjectSource>& sources, const PatchRecord& record,
                                   const std::filesystem::path& serverDir);

// Verifies or writes one object. Never throws: a failure is left in job.error.
void MakeObject(ObjectJob& job, ByteCounter* progress, const std::function<void(const char* step)>& checkpoint);

// Records every content of the publication as named by `publication`, with
// its object's size; call once every job is made.
void RecordObjects(const std::vector<ObjectSource>& sources, const std::vector<ObjectJob>& jobs, PatchRecord& record,
                   std::uint64_t publication);

// Moves the written objects into place. Raises IoError.
std::size_t CommitObjects(std::vector<ObjectJob>& jobs, const std::function<void(const char* step)>& checkpoint);

// After the list: removes every object no list of the last `history`
// publications (the current one at least) names, recorded or left by an
// interrupted run, and the record of it. Returns how many were removed.
std::size_t PruneObjects(PatchRecord& record, std::uint64_t publication, unsigned history,
                         const std::filesystem::path& serverDir, const std::function<void(const char* step)>& checkpoint,
                         std::vector<std::string>& warnings);

// Decodes an object (written by MakeObject) into target, or only reads it
// when target is null, and returns true when it holds exactly the content
// of that MD5 and size. Raises IoError when a file can't be read or written.
bool DecodeVerifiedObject(const std::filesystem::path& object, const std::string& md5Hex, std::uint64_t size,
                          const std::filesystem::path* target);

}  // namespace publish
