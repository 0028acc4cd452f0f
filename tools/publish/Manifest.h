// What the copies in the server directory hold, as the publisher wrote them
// (files.lst.written). Kept apart from the list because a publication can be
// interrupted between replacing copies and replacing the list: the old list
// then describes copies that no longer hold its content, and a later
// publication that trusted it would keep a wrong copy for good.
#pragma once

#include "formats/PatchIndex.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace publish {

struct WrittenCopy {
    std::string digest;  // MD5 of the content, hex; empty while a write may be under way
    std::int64_t size = -1;

    bool Known() const { return !digest.empty(); }
    bool operator==(const WrittenCopy&) const = default;
};

// By list path (Windows-1252, "\" between names). Every copy of ours that
// may exist is named here, known or not, so pruning finds it.
using Manifest = std::map<std::string, WrittenCopy>;

// The patches written into patches/, each with the publication it was made
// in, and the number of the latest publication that changed any content:
// a link stays listed while it is one of the last --patch-history
// publications'. Patches are content-addressed, so one written again for
// the same pair of contents is the same patch.
struct WrittenPatch {
    TPatchLink link;
    std::uint64_t publication = 0;
    bool operator==(const WrittenPatch& other) const {
        return publication == other.publication && link.from == other.link.from && link.to == other.link.to &&
               link.patchBytes == other.link.patchBytes && link.copyBytes == other.link.copyBytes &&
               link.sha256 == other.link.sha256;
    }
};
// An object in objects/ (tools/publish/Objects.h) and the latest
// publication whose list names it: objects age by the patches' rule.
struct WrittenObject {
    std::uint64_t size = 0;   // of the content
    std::uint64_t bytes = 0;  // of the object, as written
    std::uint64_t publication = 0;
    bool operator==(const WrittenObject&) const = default;
};
struct PatchRecord {
    std::uint64_t publication = 0;
    std::map<std::pair<std::string, std::string>, WrittenPatch> links;  // by (from, to)
    std::map<std::string, WrittenObject> objects;                       // by MD5 hex
    bool operator==(const PatchRecord&) const = default;
};

// The file's bytes. Lines that don't parse are dropped: their copies are
// then rewritten rather than trusted, and their patches and objects (ours
// by their names) verified again or pruned.
std::string WriteManifest(const Manifest& manifest, const PatchRecord& patches = {});
Manifest ReadManifest(std::string_view text, PatchRecord* patches = nullptr);

}  // namespace publish
