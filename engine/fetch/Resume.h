// Partial copies kept across runs, so that a transfer cut at 95% of a large
// copy continues from there instead of starting over. A partial copy lives
// under a name that says which entry it belongs to (path, digest, size),
// beside a small file holding the server's validator (ETag or
// Last-Modified) for the If-Range of the next request.
// Threat: a link or a forged file planted at those names would have the run
// append to a file elsewhere or install bytes we never fetched; so partial
// copies are only reopened when they are plain files with one name, a
// validator is only sent when it can't add headers, and a resumed copy is
// verified like any other before its one rename.
#pragma once

#include "platform/os.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Entries smaller than this are fetched whole and never continued: a
// partial copy and its validator cost two more names in the entry's
// directory (under Wine each new name reads the whole directory) to save a
// transfer of a round trip or two.
inline constexpr std::uint64_t kResumableSize = std::uint64_t{256} << 10;

class TPartialCopies {
public:
    // Appended to a partial copy's name for its validator file.
    static constexpr std::string_view kValidatorSuffix = ".tag";

    // An entry's partial object, decoded: Name plus this suffix.
    static constexpr std::string_view kObjectSuffix = "-z";

    // The relative name of an entry's partial copy: the entry's path, our
    // temporaries' marker, the digest (32 hex digits, in small letters) and
    // the decoded size. Empty for a digest that can't be part of a name.
    static std::string Name(std::string_view relativePath, std::string_view digest, std::uint64_t size);

    // A listed entry large enough to be continued: its partial copy (and
    // validator) survive the sweep.
    void Keep(std::string_view relativePath, std::string_view digest, std::uint64_t size);
    void Seal();
    // Whether a relative name is the partial copy, or its validator, of a
    // listed entry.
    bool Kept(std::string_view relative) const;

    // Where a transfer continues: the partial copy opened for appending,
    // its length, and the validator to send.
    struct TResumePoint {
        os::File file;
        std::uint64_t offset = 0;
        std::string validator;
    };
    // The resume point of a partial copy, or nullopt when there is none to
    // continue (then whatever stood at its names is gone). A copy that is
    // empty, not below limit bytes, not a plain file of ours, or without a
    // sendable validator is not continued.
    static std::optional<TResumePoint> Open(const std::string& partialPath, std::uint64_t limit);
    // Records the validator of a partial copy just begun (created new).
    static void WriteValidator(const std::string& partialPath, const std::string& validator);
    // Removes a partial copy and its validator.
    static void Discard(const std::string& partialPath);

    // An entry's partial object: its decoded bytes (the file sized to the
    // entry) up to the end of the object's last whole frame, and a tag with
    // where that frame ended in the object, and the validator.
    struct TObjectPoint {
        os::File file;              // positioned after the decoded bytes
        std::uint64_t decoded = 0;  // bytes of the entry
        std::uint64_t offset = 0;   // bytes of the object they came from
        std::string validator;
    };
    // The point to continue a partial object at, or nullopt (then whatever
    // stood at its names is gone). Not continued: anything but plain files
    // of ours, a file not of the entry's size, a tag that doesn't parse or
    // ends nowhere inside the entry.
    static std::optional<TObjectPoint> OpenObject(const std::string& partialPath, std::uint64_t size);
    // Records how far a partial object is decoded (a fixed-width tag,
    // rewritten in place at every frame's end; created when it isn't there).
    static void WriteObjectTag(const std::string& partialPath, std::uint64_t offset, std::uint64_t decoded,
                               const std::string& validator, bool create);

private:
    std::vector<std::uint64_t> kept_;  // hashes of folded partial names, sorted by Seal
};

class TTempNames;

// How one entry's copy is fetched: continued from its partial copy when the
// server still has the same copy, else from zero.
struct TCopyFetch {
    os::HttpSession& http;
    const std::string& installDir;  // with its trailing "\"
    const TTempNames& temps;        // sealed: every listed name claimed
    // A temporary's name for relative + suffix (TTempNames::Pick, guarded
    // where several threads pick).
    std::function<std::string(const std::string& relative, const std::string& suffix)> pick;
    // Writes a response's body into file after offset bytes already there,
    // no more than the copy's limit; broken tells whether a failure was the
    // transfer's own (cut, stalled, stopped) rather than the copy's.
    std::function<void(os::HttpResponse& response, os::File& file, std::uint64_t offset, bool& broken)> receive;
    // How long a server may take to begin its answer (0: the stall rule).
    std::chrono::milliseconds answerWithin{0};
};

// Fetches an entry's copy (decoded size bytes, copy at most limit bytes)
// into its partial copy's name, continuing what an earlier run left there.
// Returns the complete copy's path, or "" when the server can't be reached.
// A transfer that breaks keeps what arrived for the next run; any other
// failure removes it. A small entry's copy, or one without a name of its
// own (a listed file has it), is fetched whole under a temporary name of
// this run.
std::string FetchEntryCopy(const TCopyFetch& how, const std::string& url, std::string_view relative,
                           std::string_view digest, std::uint64_t size, std::uint64_t limit, bool fromZero,
                           bool& resumed);
