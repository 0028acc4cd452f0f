// The bridge between the window and the update runs it starts: operations a
// worker hands to the window's thread, status and progress published to the
// window's feed, and the end of each run. A run can outlive the window (the
// user closes it mid-run), so each run holds the link rather than the
// window; once the window is gone the link drops every operation unrun and
// the worker goes on without waiting.
#pragma once

#include "engine/view/UpdateView.h"
#include "engine/view/ViewFeed.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class GFilesThread;

// Messages the link sends the window.
inline constexpr UINT WM_CORVEL_SYNC = WM_APP + 10;       // lParam: an operation to run, from a run
inline constexpr UINT WM_CORVEL_RUN_ENDED = WM_APP + 11;  // wParam: serial of a run that has ended
inline constexpr UINT WM_CORVEL_FRAME = WM_APP + 12;      // a run published status or progress

class TRunLink final : public TUpdateView, public TSynchronizer {
public:
    // window receives the messages; view (the window itself) takes the
    // mode changes.
    TRunLink(HWND window, TUpdateView& view);

    // Worker side: runs the operation on the window's thread and waits for
    // it, after the window has shown everything published before it; an
    // error it raised is raised again here. Returns at once, without
    // running it, when the window is gone.
    void Synchronize(const std::function<void()>& operation) override;
    // Worker side: the run with that serial has ended.
    void RunEnded(unsigned serial);

    // Window side.
    bool Attached() const { return hwnd_.load() != nullptr; }
    void Detach();
    TViewFeed& Feed() { return feed_; }
    // Runs the operation of a WM_CORVEL_SYNC message (its lParam), after
    // catchUp has shown what was published before it; an error either
    // raises goes back to the worker. Nothing runs once detached.
    void RunHanded(LPARAM message, const std::function<void()>& catchUp);

    // Status and progress, worker side: published to the feed, never waited for.
    void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) override;
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override;
    void SyncFileProgress(std::int32_t value) override;
    void SyncExtractProgress(std::int32_t value) override;
    void SyncTotalProgress(std::int32_t value) override;
    void SyncTransfer(const TTransferFigures& figures) override;
    void SyncNext(const TNextFigures& next) override;
    // Mode changes, window side only (inside an operation): forwarded to
    // the window while it exists.
    void BeginUpdateView() override;
    void EndUpdateView(const TFailure& failure) override;
    void ShowUpdateFinished(bool installFailed) override;
    void ChannelsKnown(const std::vector<std::string>& offered, const std::string& followed) override;

private:
    std::atomic<HWND> hwnd_;
    TUpdateView* view_;
    TViewFeed feed_;
};

// A run for the window, created suspended: it holds the link while it
// exists and tells the window (by serial) when it has ended.
std::unique_ptr<GFilesThread> NewWindowRun(std::shared_ptr<TRunLink> link, unsigned serial);
