// The update view of corvel-update: each status change as a line on
// standard output, and a progress line on a terminal.
#pragma once

#include "engine/UpdateView.h"

#include <cstdint>
#include <string>

class TConsoleView final : public TUpdateView {
public:
    explicit TConsoleView(bool verbose);

    void SyncStatus(const std::string& status, const std::string& detail) override;
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override;
    void SyncFileProgress(std::int32_t value) override;
    void SyncExtractProgress(std::int32_t value) override;
    void SyncTotalProgress(std::int32_t value) override;
    void BeginUpdateView() override {}
    void EndUpdateView() override;
    void ShowUpdateFinished(bool installFailed) override;

private:
    void DrawBar();
    void ClearBar();

    bool verbose_;
    bool terminal_;
    bool barShown_ = false;
    std::string status_;
    std::string detail_;
    std::int32_t fileMax_ = 100, filePos_ = 0, totalMax_ = 100, totalPos_ = 0;
};

// Texts of the run are Windows-1252; a POSIX terminal wants UTF-8.
std::string ConsoleText(const std::string& cp1252);
