// The install's own record of the files this updater put in place
// (kInstalledRecordName in the install directory, one "path|md5|size" line
// a file, the path as the list gave it). Without it a file a publication
// drops could not be told from one the player put there, so it would have
// to stay forever; with it, a dropped file goes only while its bytes are
// still the ones recorded.
// Threat: a record planted or garbled on disk. It is read only up to the
// list's size bound, and a line that isn't exactly a safe relative path
// below the install, 32 hex digits and a size is dropped when read, so no
// line can name anything outside the install or the install's own files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TInstallRecord {
public:
    // One file of the record; the views point into the record's own text.
    struct TLine {
        std::string_view path;
        std::string_view digest;
        std::int64_t size = 0;
    };

    TInstallRecord() : TInstallRecord(std::string()) {}
    // The record held in text, its unusable lines dropped.
    explicit TInstallRecord(std::string text);
    // Reads the record at path: a missing, unreadable or oversized one
    // (over maxSize bytes) reads as empty.
    static TInstallRecord Read(const std::string& path, std::int64_t maxSize);

    // The check found the listed file path current with digest: its line
    // stays only when it records that very digest (else someone else put
    // those bytes there).
    void Current(std::string_view path, std::string_view digest);
    // This run put path in place with digest and size; any earlier line of
    // that file goes.
    void Installed(std::string_view path, std::string_view digest, std::int64_t size);
    // The digest the record holds for path; empty when it holds none.
    std::string_view Digest(std::string_view path) const;
    // Calls keep(line) for each earlier line still held; a line it answers
    // false for leaves the record.
    void Review(const std::function<bool(const TLine&)>& keep);

    // The record as it now stands, and whether that differs from what was
    // read.
    std::string Text() const;
    bool Changed() const { return Text() != *text_; }

private:
    struct TEntry {
        TLine line;
        std::uint64_t key = 0;  // TTempNames::Hash of the path
        bool held = true;
    };
    const TEntry* Find(std::string_view path) const;
    TEntry* Find(std::string_view path) { return const_cast<TEntry*>(std::as_const(*this).Find(path)); }

    std::unique_ptr<const std::string> text_;                   // as read; the lines point into it
    std::vector<TEntry> entries_;                               // in the record's order
    std::vector<std::pair<std::uint64_t, std::size_t>> index_;  // (key, entry), sorted
    std::string added_;                                         // lines of the files this run installed
};
