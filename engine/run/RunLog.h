// A log of every run, for the player who asks what happened and the operator
// who helps them: the start, the server and the list, each file installed or
// failed with its reason, bytes and time, and the end. In English, one line
// an event, UTF-8. Each line is handed to the system as it is written, so a
// crash loses at most the line being written. The file stays below 1 MiB:
// past that it becomes "<name>.1" (the one older generation kept) and a new
// one begins. A log that can't be written never fails a run.
#pragma once

#include "engine/fetch/Servers.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The lines of a failed entry and of a skipped server, as the log writes
// them and corvel-update prints them (Windows-1252):
// "failed     data\x.pak: digest mismatch",
// "skipped    http://a/Updater/: cannot connect (refused)". The log asks
// for the system's own text beside the reason (systemText).
std::string FailedLine(std::string_view path, const TFailure& failure, bool systemText = false);
std::string SkippedLine(std::string_view baseUrl, const TFailure& failure, bool systemText = false);

class TRunLog {
public:
    static constexpr std::uintmax_t kMaxSize = std::uintmax_t{1} << 20;

    explicit TRunLog(std::filesystem::path path);

    void Start(std::string_view baseUrl);
    // A run without a public key: said at every run, so no one takes such a
    // build for a signed one.
    void Unsigned();
    void List(std::int32_t rev, std::uint64_t serial);
    // A server that gave no usable list, and why.
    void Server(std::string_view baseUrl, const TFailure& failure);
    // Mirrors a verified list added to the run's servers.
    void Mirrors(std::size_t added);
    // A list's objects' folder that isn't a safe relative folder: no
    // objects are fetched.
    void ObjectsIgnored(std::string_view folder);
    // At the end: each server that failed during the run, how often, its
    // first reason, and whether it was left for last.
    void Servers(const std::vector<TServers::TRecord>& records);
    // path: Windows-1252, as the list gives it.
    void Entry(std::string_view path, const TFailure& failure, std::int64_t bytes,
               std::chrono::steady_clock::duration took);
    // How an entry came, besides its end: a patch, or why one failed.
    void Note(std::string_view path, std::string_view note);
    // A file no longer published: removed, or kept since it was changed.
    void Obsolete(std::string_view path, bool removed);
    // The announced stage fetched ahead (name checked safe): how far it
    // came, or why it stopped short.
    void Next(std::string_view name, std::string_view what);
    // The channel the run was asked to follow (name checked safe): followed,
    // or why not.
    void Channel(std::string_view name, std::string_view what);
    void End(const TFailure& failure);

private:
    void Line(const std::string& text);
    void Open();

    std::filesystem::path path_;
    os::StdioFile file_;
    std::uintmax_t size_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
