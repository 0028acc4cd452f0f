// One update run: from fetching the published file list to the last
// installed file, on a worker thread of its own.
#pragma once

#include "engine/UpdateView.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TListLines;
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
    GFilesThread(TUpdateView& view, TSynchronizer& synchronizer, bool createSuspended = true);
    virtual ~GFilesThread();
    GFilesThread(const GFilesThread&) = delete;
    GFilesThread& operator=(const GFilesThread&) = delete;

    void Start();
    // Runs the body on the calling thread (the console tool and tests).
    void RunInline() { ExecuteGuarded(); }
    // Shortest time between two positions of one bar (20 ms; tests use 0 to
    // see every position).
    void SetProgressInterval(std::chrono::steady_clock::duration interval);

    bool FreeOnTerminate = false;
    TSelfMode SelfMode = TSelfMode::Script;

    // Fields of the run, in declaration order.
    std::int32_t ProgressValue = 0;
    std::string DetailText;
    std::string StatusText;
    // Views into the list's text (or SelfEntry), held while the list is.
    std::vector<std::string_view> PendingFiles;
    bool ForceCheck = false;
    std::int32_t ProgressBarSelector = 0;
    std::string BaseUrl;
    std::string SelfEntry;
    std::string InstallDir;
    TStream* ExtractSource = nullptr;
    bool InstallFailed = false;

    // Whether the run ended with every step done and nothing failed; read by
    // the console tool for its exit status.
    bool Succeeded() const { return succeeded_; }

    // Window-side operations: each reads the run's fields and is handed to
    // the view's thread while the worker waits.
    void SyncStatus();
    void SyncProgressMax();
    void SyncFileProgress();
    void SyncExtractProgress();
    void SyncTotalProgress();
    void BeginUpdateView();
    void EndUpdateView();
    void ShowUpdateFinished();

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
    TInstallResult InstallEntry(std::string_view line);
    void ClaimAndSweep(std::initializer_list<const TListLines*> sections);
    void ExtractVerified(const std::string& archive, const std::string& decoded, const std::string& digest,
                         std::int64_t size);
    void Synchronize(void (GFilesThread::*operation)());
    void ReportProgress(TProgressKind kind);
    void ResetProgress(TProgressKind kind);
    void ShowFailure();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    TUpdateView& view_;
    TSynchronizer& sync_;
    bool succeeded_ = false;
};
