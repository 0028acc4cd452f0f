// One publication: the client directory into the server directory,
// reusing the copies whose content the record of written copies
// (Manifest.h) shows unchanged. Interrupted anywhere, the next complete
// publication still leaves exactly the copies its list names.
#pragma once

#include "tools/publish/Compressor.h"
#include "tools/publish/Failure.h"
#include "tools/publish/Glob.h"
#include "tools/publish/Signing.h"
#include "tools/publish/Standing.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace publish {

struct PublishOptions {
    std::filesystem::path clientDir;
    std::filesystem::path serverDir;
    // 1 unless told: a launcher started normally checks the normal files
    // only when the revision is above 0.
    std::int32_t rev = 1;
    std::optional<std::string> selfName;  // Windows-1252
    std::vector<Glob> critical;
    unsigned jobs = 1;
    // Patches are kept for the changes of the last N publications that
    // changed anything; 0: none are made, and those on the server go.
    unsigned patchHistory = 3;
    // The path-named .bz2 copies, which every launcher reads; without them
    // only launchers that know objects (Objects.h) can install.
    bool bz2Copies = true;
    // Further servers named in [settings] as "Mirror|URL" lines.
    std::vector<std::string> mirrors;
    // Called at named steps ("compressed", "packed", "patched", "marked",
    // "object", "copy", "patch", "copies", "list", "lists", "prune",
    // "unpatched", "object-pruned"; a promotion or revert also "done" once
    // the staged or kept list it made live is gone), so tests
    // can interrupt a publication there.
    std::function<void(const char* step)> checkpoint;
    SigningOptions signing;
    // Where the list goes: live, or beside the live one as a staged
    // publication (its new copies in its folder, for --promote) or a
    // channel's (objects only: bz2Copies must be false); the live list then
    // stays as it is, re-signed to announce it.
    Beside beside;
};

// Shared with the progress line while the jobs run.
struct Progress {
    std::size_t filesTotal = 0;
    std::uint64_t bytesTotal = 0;
    std::atomic<std::size_t> filesDone{0};
    ByteCounter bytesDone{0};
};

struct PublishSummary {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::size_t compressed = 0;  // copies written
    std::size_t kept = 0;        // copies reused
    std::size_t removed = 0;     // stale copies deleted
    std::size_t patches = 0;     // patches written
    std::size_t listed = 0;      // patches the list names
    std::size_t unpatched = 0;   // patches deleted
    std::size_t objects = 0;     // objects written
    std::size_t unobjected = 0;  // objects deleted
    std::vector<std::string> warnings;
};

// Publishes. Raises PublishFailure; the server directory is then as it
// was, except when the failure came while moving finished copies into place
// (the messages say so). tick() runs on the calling thread now and then
// while files are read.
PublishSummary Publish(const PublishOptions& options, Progress& progress, const std::function<void()>& tick);

}  // namespace publish
