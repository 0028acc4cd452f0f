// One update run: from fetching the published file list to the last
// installed file, on a worker thread of its own. Execute reads as the order
// of a run; each step lives in a module of its own (engine/steps/: RunList,
// RunNames, ChannelStep, CheckStep, InstallStep, ObsoleteStep, SelfUpdate,
// NextStep; the view's side in engine/view/RunReport).
#pragma once

#include "engine/fetch/RunControl.h"
#include "engine/view/RunFields.h"
#include "engine/view/UpdateView.h"
#include "platform/errors.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

class TCopyCheck;
class TStream;
class TListLines;
struct TRunList;
struct TRunContext;

class GFilesThread : public TRunFields {
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
    // Connections the install fetches on (kFetchConnections; tests use 1 to
    // see each entry fetched before the next begins).
    void SetFetchConnections(int connections);
    // Whether a list's objects are fetched (true); false reads lists as a
    // launcher that knows only the ".bz2" copies does.
    void SetUseObjects(bool use);
    // Whether the stage a list announces is fetched ahead once everything
    // is current (engine/steps/NextStep); false unless set. afterView: only
    // once the run has closed (its view ended, its result and log's end
    // set), so the stage never holds the window's play button.
    void SetPreDownload(bool on, bool afterView = false);
    // The channel the run follows (engine/steps/ChannelStep): a name the
    // live list offers; empty (the default) for the live publication.
    // Raises Exception for a name that can't be a channel's.
    void SetChannel(const std::string& name);
    // How long a paused transfer keeps its connection (TPace::kCloseAfter;
    // tests shorten it).
    void SetPauseCloseAfter(std::chrono::steady_clock::duration after);

    bool FreeOnTerminate = false;
    // Where the run logs what it did (engine/run/RunLog); empty: no log. A
    // relative path is read from the current directory, the install's.
    std::filesystem::path LogFile;

    // Whether the run ended with every step done and nothing failed; read by
    // the console tool for its exit status.
    bool Succeeded() const { return succeeded_; }
    // Why it did not: the first failure of the run (None after a success),
    // as the run's report keeps it.
    const TFailure& Failure() const;

    // Stop request and end signal, shared with the owner; a stopped run
    // ends at its next block or entry and is not a success.
    std::shared_ptr<TRunControl> Control() const { return control_; }
    void RequestStop() { control_->RequestStop(); }

    // Window-side operations: each reads the run's fields (engine/view/RunReport
    // says which are published and which are handed over).
    void SyncStatus();
    void SyncProgressMax();
    void SyncFileProgress();
    void SyncExtractProgress();
    void SyncTotalProgress();
    void BeginUpdateView();
    void EndUpdateView();
    void ShowUpdateFinished();

    // What the steps share.
    TRunContext& Context() { return *context_; }

private:
    // The steps of the run: Execute calls them in order, and each hands its
    // work to the module named at the top.
    void Execute();
    void CheckFiles(const TListLines& lines);
    void UpdateFiles();
    void UpdateSelf(const std::string& entry);
    // Fetches url into localPath, a name nothing stands at, no more than
    // limit bytes; false when the server can't be reached.
    bool DownloadFile(const std::string& url, const std::string& localPath, bool reportProgress,
                      std::uint64_t limit);
    // Decodes sourcePath into targetPath (created new) through check,
    // removing the source in every case and a failed target.
    void ExtractFile(const std::string& sourcePath, const std::string& targetPath, TCopyCheck& check);
    void DecompressStream(TStream& source, TStream& target, TCopyCheck& check);
    void OnExtractProgress(void* sender);

    void ExecuteGuarded();
    void Close();
    void StageAfterClose(const TRunList& list);

    TUpdateView& view_;
    std::shared_ptr<TRunControl> control_ = std::make_shared<TRunControl>();  // before the context, which uses it
    std::unique_ptr<TRunContext> context_;
    bool succeeded_ = false;
};
