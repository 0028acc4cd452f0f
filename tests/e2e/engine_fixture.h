// Whole update runs against the fault server (tests/e2e/with_server.py):
// a recording view, a published server directory built at run time, and an
// install directory of the test's own.
#pragma once

#include "engine/GetFilesThr.h"
#include "tests/e2e/quiet_view.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// The status of a run or an entry that failed, as the window shows it.
inline const std::string kFailed = "Actualizaci\xF3n Fallida";

// Data that bzip2 can't shrink much, so that a cut lands inside the stream.
std::string Noise(std::size_t size, unsigned seed);

// Records every window-side operation as one line of text.
class TRecordingView final : public TUpdateView {
public:
    void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) override {
        log.push_back("Status|" + status + "|" + detail);
        phases.push_back(phase);
    }
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override {
        log.push_back("Max " + std::to_string(selector) + " " + std::to_string(value));
    }
    void SyncFileProgress(std::int32_t value) override { log.push_back("File " + std::to_string(value)); }
    void SyncExtractProgress(std::int32_t value) override { log.push_back("Extract " + std::to_string(value)); }
    void SyncTotalProgress(std::int32_t value) override { log.push_back("Total " + std::to_string(value)); }
    void BeginUpdateView() override { log.push_back("Begin"); }
    void EndUpdateView(const TFailure& failure) override {
        log.push_back("End");
        runFailure = failure;
    }
    void ShowUpdateFinished(bool installFailed) override {
        log.push_back(std::string("Finished ") + (installFailed ? "failed" : "ok"));
    }

    void EntryFinished(const std::string& path, const TFailure& failure) override {
        entries.push_back(path + (failure ? " failed" : " ok"));
        reasons.push_back(failure.fault);
    }

    bool Contains(const std::string& line) const;
    std::size_t Count(const std::string& line) const;

    std::vector<std::string> log;
    std::vector<TRunPhase> phases;     // one per Status line of log
    std::vector<std::string> entries;  // "PATH ok" or "PATH failed", as the loop ended them
    std::vector<TFault> reasons;       // one per line of entries
    TFailure runFailure;               // as the run ended
};

// One file of a published tree.
struct TPublished {
    std::string content;
    bool critical = true;
};

class EngineRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the server directory for this test: one .bz2 per file and the
    // list. Paths use "\" as in the list.
    void Publish(const std::map<std::string, TPublished>& files, int rev = 1, const std::string& self = "");
    // The list text alone, for hand-made lists.
    void PublishList(const std::string& listText);
    // Stores raw bytes on the server under a path ("/" separated).
    void PutServerFile(const std::string& urlPath, const std::string& bytes);
    // Makes the server misbehave for one path (see fault_server.py).
    void SetFault(const std::string& urlPath, const std::string& fault);

    // Runs one update in the install directory and returns whether it
    // reported success.
    bool Run(bool force = false, TSelfMode mode = TSelfMode::OrdinaryFile, const std::string& baseUrl = "");
    // Runs a run the test made itself (its own view, its own stop) in the
    // install directory, from this test's server unless it names another.
    bool RunIn(GFilesThread& run);

    std::string Local(const std::string& relative) const;      // install dir path
    fs::path LocalPath(const std::string& relative) const;     // the same, as this system names it
    std::string ReadLocal(const std::string& relative) const;  // content, or "<missing>"
    void WriteLocal(const std::string& relative, const std::string& content) const;
    // Files in the install directory that a run must not leave behind
    // (partial copies kept on purpose are listed by Partials).
    std::vector<std::string> Leftovers() const;
    // Partial copies kept for a later run, and their validator files.
    std::vector<std::string> Partials() const;
    // Body bytes the server sent for a path ("/" separated), and the status
    // of each answer, in order.
    std::uint64_t ServedBytes(const std::string& urlPath) const;
    std::vector<int> ServedStatuses(const std::string& urlPath) const;
    // Each answer's status and body bytes, in order.
    std::vector<std::pair<int, std::uint64_t>> ServedLines(const std::string& urlPath) const;
    // Every file below the server root's parent that isn't the server's or
    // the install directory's: proof that nothing was written outside.
    std::vector<std::string> Requests() const;
    // Whether the run asked for this server path ("/" separated).
    bool Asked(const std::string& urlPath) const;
    // The lines of the install's CorvelUpdater.log holding marker, from it on.
    std::vector<std::string> LogLinesFrom(const std::string& marker) const;
    // How many connections the server accepted for this test's requests.
    std::size_t Connections() const;

    static std::string Compress(const std::string& data);
    static std::string Md5Hex(const std::string& data);
    static std::string EntryLine(const std::string& path, const std::string& content);

    // Connections of the install loop; 0 leaves the engine's default
    // (fetch ahead), 1 is the one-at-a-time loop.
    int connections_ = 0;
    // Where the install directory lies in the test's sandbox; a test may
    // name another place in its constructor.
    fs::path installPlace_ = "install";
    std::string baseUrl_;
    fs::path serverDir_;
    fs::path installDir_;
    fs::path sandbox_;
    fs::path savedCwd_;
    TRecordingView view_;
    std::vector<std::string> listLines_;
};
