// The update view of corvel-update: a line per installed or failed file on
// standard output (every status change too with --verbose), and on a
// terminal a progress line redrawn at most 10 times a second. A console line
// is a slow system round trip under Wine and in a Windows console, so a
// large install must not print one per status.
#pragma once

#include "engine/view/UpdateView.h"

#include <chrono>
#include <cstdint>
#include <string>

class TConsoleView final : public TUpdateView {
public:
    explicit TConsoleView(bool verbose);

    void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) override;
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override;
    void SyncFileProgress(std::int32_t value) override;
    void SyncExtractProgress(std::int32_t value) override;
    void SyncTotalProgress(std::int32_t value) override;
    void SyncTransfer(const TTransferFigures& figures) override;
    void BeginUpdateView() override {}
    void EndUpdateView(const TFailure& failure) override;
    void ShowUpdateFinished(bool installFailed) override;
    void EntryFinished(const std::string& path, const TFailure& failure) override;
    void ServerSkipped(const std::string& baseUrl, const TFailure& failure) override;

private:
    // Redraws the progress line unless it was drawn less than 100 ms ago.
    void DrawBar();
    void ClearBar();

    bool verbose_;
    bool terminal_;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
    TRunPhase phase_ = TRunPhase::Idle;
    std::string status_;
    std::string detail_;
    TTransferFigures figures_{};
    std::int32_t fileMax_ = 100, filePos_ = 0, totalMax_ = 100, totalPos_ = 0;
};
