// What the copies in the server directory hold, as the publisher wrote them
// (files.lst.written). Kept apart from the list because a publication can be
// interrupted between replacing copies and replacing the list: the old list
// then describes copies that no longer hold its content, and a later
// publication that trusted it would keep a wrong copy for good.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

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

// The file's bytes. Lines that don't parse are dropped: their copies are
// then rewritten rather than trusted.
std::string WriteManifest(const Manifest& manifest);
Manifest ReadManifest(std::string_view text);

}  // namespace publish
