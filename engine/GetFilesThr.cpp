#include "engine/GetFilesThr.h"

#include "engine/fetch/Servers.h"
#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/run/Transfer.h"
#include "engine/state/ListTrust.h"
#include "engine/steps/ChannelStep.h"
#include "engine/steps/CheckStep.h"
#include "engine/steps/InstallStep.h"
#include "engine/steps/NextStep.h"
#include "engine/steps/ObsoleteStep.h"
#include "engine/steps/RunList.h"
#include "engine/steps/RunNames.h"
#include "engine/steps/SelfUpdate.h"
#include "formats/LstFile.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <thread>

GFilesThread::GFilesThread(TUpdateView& view, TSynchronizer& synchronizer)
    : view_(view), context_(std::make_unique<TRunContext>(*this, view, synchronizer, *control_)) {}

GFilesThread::~GFilesThread() = default;

void GFilesThread::Start() {
    std::thread([this, control = control_] {
        const bool freeOnTerminate = FreeOnTerminate;
        ExecuteGuarded();
        if (freeOnTerminate) delete this;
        control->MarkEnded();
    }).detach();
}

void GFilesThread::SetProgressInterval(std::chrono::steady_clock::duration interval) {
    context_->report.SetInterval(interval);
}

void GFilesThread::SetFetchConnections(int connections) { context_->connections = connections; }
void GFilesThread::SetUseObjects(bool use) { context_->useObjects = use; }
void GFilesThread::SetPreDownload(bool on, bool afterView) {
    context_->preDownload = on;
    context_->preDownloadAfterView = afterView;
}

void GFilesThread::SetChannel(const std::string& name) {
    // Threat: a name that would reach outside channels/ on the server.
    if (!name.empty() && !IsPublicationName(name)) throw Exception("'" + name + "' can't name a channel");
    context_->channel = name;
}

void GFilesThread::SetPauseCloseAfter(std::chrono::steady_clock::duration after) {
    context_->pace.SetCloseAfter(after);
}

void GFilesThread::ExecuteGuarded() {
    try {
        Execute();
    } catch (...) {
        // Execute closes the run on every path; nothing may leave the
        // thread, and what did is still the run's reason.
        succeeded_ = false;
        context_->report.FailQuietly(CurrentFailure());
    }
}

const TFailure& GFilesThread::Failure() const { return context_->report.FirstFailure(); }

// ---- window-side operations -------------------------------------------------

void GFilesThread::SyncStatus() { view_.SyncStatus(Phase, StatusText, DetailText); }
void GFilesThread::SyncProgressMax() { view_.SyncProgressMax(ProgressBarSelector, ProgressValue); }
void GFilesThread::SyncFileProgress() { view_.SyncFileProgress(ProgressValue); }
void GFilesThread::SyncExtractProgress() { view_.SyncExtractProgress(ProgressValue); }
void GFilesThread::SyncTotalProgress() { view_.SyncTotalProgress(ProgressValue); }
void GFilesThread::BeginUpdateView() { view_.BeginUpdateView(); }
void GFilesThread::EndUpdateView() { view_.EndUpdateView(context_->report.ShownFailure()); }
void GFilesThread::ShowUpdateFinished() { view_.ShowUpdateFinished(InstallFailed); }

// ---- the run ------------------------------------------------------------------

void GFilesThread::Execute() {
    TRunContext& run = *context_;
    InstallDir = os::GetCurrentDir() + "\\";
    run.report.BeginUpdateView();
    run.report.Status(TRunPhase::Searching, "");
    if (BaseUrl.empty() || BaseUrl.back() != '/') BaseUrl += '/';
    if (!LogFile.empty()) run.log = std::make_unique<TRunLog>(LogFile);
    if (run.log) {
        std::string servers = BaseUrl;
        for (const std::string& mirror : Mirrors) servers += " " + mirror;
        run.log->Start(servers);
        if (PublicKey.empty()) run.log->Unsigned();
    }

    bool current = false;
    if (const std::optional<std::string> listFile = FetchList(run)) {
        TRunList live(*listFile);
        std::unique_ptr<TRunList> channel;
        try {
            ReadList(*listFile, live);
            AddListedMirrors(run, live);
            // Before a channel's list is verified: the live list's revocations hold for it.
            LearnListedKeys(run, live);
            TRunList& list = FollowChannel(run, live, channel);
            UseListedObjects(run, list);
            if (run.log) {
                const std::string store = channel ? ChannelSerialName(run.channel) : std::string(kSerialStateName);
                run.log->List(list.rev, run.trust.Enabled() ? ReadSerialState(InstallDir, store).value_or(0) : 0);
            }
            PendingFiles.Reset(list.reader.Text());
            run.missing.clear();
            run.patches.Reset(list.patches);
            ClaimAndSweep(run, list);
            FindDuplicates(run, list);
            LoadInstallRecord(run);
            // A revision above 0, or the check button, checks every file;
            // otherwise only the critical ones are.
            const bool checkNormal = ForceCheck || list.rev > 0;
            PendingFiles.reserve(list.critical.size() + (checkNormal ? list.normal.size() : 0) + 1);
            SelfEntry = list.self.empty() ? std::string(kNoSectionLine) : std::string(list.self.front());
            if (SelfEntry != kNoSectionLine) UpdateSelf(SelfEntry);
            CheckFiles(list.critical);
            if (checkNormal) CheckFiles(list.normal);
            UpdateFiles();
            RemoveObsolete(run, list);
            // Fetching ahead is the live publication's; on a channel, what the
            // folder holds waits for the player's return.
            current = !InstallFailed && !run.report.AnyFailure() && !channel;
            if (current && !run.preDownloadAfterView) StageNext(run, list);
        } catch (const std::exception& e) {
            // A list the run can't use, a stop, a file that can't be written:
            // the run fails but still closes below.
            run.report.Fail(FailureOf(e));
        }
        SaveInstallRecord(run);
        PendingFiles.clear();  // views into the list, which is gone
        run.missing.clear();
        run.patches.Clear();
        if (current && run.preDownloadAfterView && !control_->StopRequested()) {
            Close();
            StageAfterClose(live);
            return;
        }
    }
    Close();
}

// The run's result is set: whatever stops the stage short (a stop, a folder
// that can't be listed) goes to the log only.
void GFilesThread::StageAfterClose(const TRunList& list) {
    TRunContext& run = *context_;
    try {
        StageNext(run, list);
    } catch (const std::exception& e) {
        NextProblem = DescribeFailure(FailureOf(e));
        if (run.log) run.log->Next(NextName, NextProblem);
        run.report.Next(TNextFigures{NextStaged, NextNeeded, false, true});
    }
}

// The closing steps, reached on every path.
void GFilesThread::Close() {
    TRunContext& run = *context_;
    run.report.Status(TRunPhase::Idle, "");
    // Without a reason of its own, a failed entry or a stop still fails the run.
    if (InstallFailed) run.report.FailQuietly(TFailure{TFault::Other, 0, "an entry failed"});
    if (control_->StopRequested()) run.report.FailQuietly(TFailure{TFault::Stopped, 0, "The update was stopped"});
    succeeded_ = !run.report.AnyFailure();
    if (run.log && run.servers) run.log->Servers(run.servers->Records());
    if (run.log) run.log->End(run.report.FirstFailure());
    run.report.EndUpdateView();
}

void GFilesThread::CheckFiles(const TListLines& section) { CheckSection(*context_, section); }
void GFilesThread::UpdateFiles() { InstallPending(*context_); }
void GFilesThread::UpdateSelf(const std::string& entry) { ReplaceSelf(*context_, entry); }

// ---- transfers ----------------------------------------------------------------

bool GFilesThread::DownloadFile(const std::string& url, const std::string& localPath, bool reportProgress,
                                std::uint64_t limit) {
    return DownloadTo(*context_, url, localPath, TDownload{limit, reportProgress, false}).has_value();
}
void GFilesThread::ExtractFile(const std::string& sourcePath, const std::string& targetPath, TCopyCheck& check) {
    ExtractTo(*context_, sourcePath, targetPath, check);
}
void GFilesThread::DecompressStream(TStream& source, TStream& target, TCopyCheck& check) {
    DecompressTo(*context_, source, target, check);
}
void GFilesThread::OnExtractProgress(void* sender) { ::OnExtractProgress(*context_, sender); }
