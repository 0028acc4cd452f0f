// One update run: from fetching the published file list to the last
// installed file, on a worker thread of its own.
#pragma once

#include "engine/RunControl.h"
#include "engine/UpdateView.h"
#include "formats/LineRefs.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TInstallAhead;
class TListLines;
namespace os {
class File;
class HttpResponse;
}  // namespace os
enum class TProgressKind;

// How the run treats the [self] entry.
enum class TSelfMode {
    // The updater's own executable: fetched as ".New" and swapped in by
    // Update.bat, which ends and restarts the running program.
    Script,
    // A tool that is not the updater (corvel-update): the entry is installed
    // like any other file, verified and atomically, and no script is written.
    OrdinaryFile,
};

class GFilesThread {
public:
    // Created suspended; Start() runs Execute on a new thread. With
    // FreeOnTerminate set, the object deletes itself when Execute returns.
    GFilesThread(TUpdateView& view, TSynchronizer& synchronizer);
    virtual ~GFilesThread();
    GFilesThread(const GFilesThread&) = delete;
    GFilesThread& operator=(const GFilesThread&) = delete;

    // The thread is detached; Control() tells when it has ended.
    void Start();
    // Runs the body on the calling thread (the console tool and tests).
    void RunInline() {
        ExecuteGuarded();
        control_->MarkEnded();
    }
    // Shortest time between two positions of one bar (20 ms; tests use 0 to
    // see every position).
    void SetProgressInterval(std::chrono::steady_clock::duration interval);
    // Connections the install loop fetches on (kFetchConnections; tests use
    // 1 for the one-at-a-time loop on the run's own thread).
    void SetFetchConnections(int connections) { fetchConnections_ = connections; }

    bool FreeOnTerminate = false;
    TSelfMode SelfMode = TSelfMode::Script;

    // Fields of the run, in declaration order.
    std::int32_t ProgressValue = 0;
    std::string DetailText;
    std::string StatusText;
    TRunPhase Phase = TRunPhase::Idle;
    // The lines of the entries to install, referring into the list's text
    // while the list is held (SelfEntry is copied).
    TLineRefs PendingFiles;
    bool ForceCheck = false;
    std::int32_t ProgressBarSelector = 0;
    std::string BaseUrl;
    std::string SelfEntry;
    std::string InstallDir;
    TStream* ExtractSource = nullptr;
    bool InstallFailed = false;
    // The operator's Ed25519 public key (64 hex digits): with it, the list
    // must carry a valid signature and every copy its SHA-256. Empty: no
    // signature is asked for.
    std::string PublicKey;
    // Why a signed list was refused (for the console tool); empty otherwise.
    std::string TrustProblem;

    // Whether the run ended with every step done and nothing failed; read by
    // the console tool for its exit status.
    bool Succeeded() const { return succeeded_; }

    // Stop request and end signal, shared with the owner; a stopped run
    // ends at its next block or entry and is not a success.
    std::shared_ptr<TRunControl> Control() const { return control_; }
    void RequestStop() { control_->RequestStop(); }

    // Window-side operations: each reads the run's fields. Status and
    // progress go to the view at once, from the worker's thread (a window
    // publishes them and paints at display rate); the mode changes are
    // handed to the view's thread while the worker waits.
    // Sets Phase and its text in StatusText.
    void SetPhase(TRunPhase phase);
    void SyncStatus();
    void SyncProgressMax();
    void SyncFileProgress();
    void SyncExtractProgress();
    void SyncTotalProgress();
    void BeginUpdateView();
    void EndUpdateView();
    void ShowUpdateFinished();
    // Nothing to change: waits until the view has caught up (before the
    // update script starts).
    void CatchUp() {}

    // Operations of the run (public so that tests can drive them one by one).
    void Execute();
    void CheckFiles(const TListLines& lines);
    void UpdateFiles();
    void UpdateSelf(const std::string& entry);
    bool DownloadFile(const std::string& url, const std::string& localPath, bool reportProgress);
    void ExtractFile(const std::string& sourcePath, const std::string& targetPath);
    void DecompressStream(TStream& source, TStream& target);
    void OnExtractProgress(void* sender);

private:
    enum class TInstallResult { Installed, Failed, Unreachable };
    void ExecuteGuarded();
    void ProcessList(const std::string& listFile);
    TInstallResult InstallEntry(std::size_t i);
    void PutInPlace(const std::string& part, const std::string& target, std::size_t i);
    void StartAhead(std::optional<TInstallAhead>& ahead);
    TInstallResult ShowAheadEntry(TInstallAhead& ahead, std::size_t i);
    void ClaimAndSweep(std::initializer_list<const TListLines*> sections);
    void FindDuplicates(const TListLines& self, const TListLines& critical, const TListLines& normal);
    void ExtractVerified(const std::string& archive, const std::string& decoded, const std::string& digest,
                         std::int64_t size, const std::string& sha256);
    bool VerifyFetchedList(const std::string& listArchive);
    std::string FetchCopy(const std::string& url, const std::string& relative, const std::string& digest,
                          std::uint64_t size, bool fromZero, bool& resumed);
    void ReceiveBody(os::HttpResponse& response, os::File& file, std::uint64_t offset, bool reportProgress,
                     bool& broken);
    void Synchronize(void (GFilesThread::*operation)());
    // Sets the file bar's maximum to bytes, in the unit that fits 32 bits;
    // later positions of the bar are given in bytes and shown in that unit.
    void SetFileBarMax(std::int64_t bytes);
    void ReportProgress(TProgressKind kind);
    void ResetProgress(TProgressKind kind);
    void ShowFailure();
    void ReportEntry(std::string_view line, bool installed);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    TUpdateView& view_;
    TSynchronizer& sync_;
    std::shared_ptr<TRunControl> control_ = std::make_shared<TRunControl>();
    bool succeeded_ = false;
    int fetchConnections_;
};
