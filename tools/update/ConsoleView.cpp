#include "tools/update/ConsoleView.h"

#include "engine/run/RunLog.h"
#include "engine/view/Figures.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdio>

using os::ConsoleText;

TConsoleView::TConsoleView(bool verbose) : verbose_(verbose), terminal_(os::StandardErrorIsTerminal()) {}

void TConsoleView::SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) {
    if (phase == phase_ && status == status_ && detail == detail_) return;
    phase_ = phase;
    status_ = status;
    detail_ = detail;
    // Between phases there is nothing to print and no bar to draw.
    if (!verbose_ || phase == TRunPhase::Idle) {
        DrawBar();
        return;
    }
    ClearBar();
    std::printf("%s%s%s\n", ConsoleText(status).c_str(), detail.empty() ? "" : "  ", ConsoleText(detail).c_str());
    std::fflush(stdout);
    DrawBar();
}

void TConsoleView::EntryFinished(const std::string& path, const TFailure& failure) {
    ClearBar();
    if (failure) {
        std::printf("%s\n", ConsoleText(FailedLine(path, failure)).c_str());
    } else {
        std::printf("installed  %s\n", ConsoleText(path).c_str());
    }
    std::fflush(stdout);
    DrawBar();
}

void TConsoleView::ServerSkipped(const std::string& baseUrl, const TFailure& failure) {
    ClearBar();
    std::printf("%s\n", ConsoleText(SkippedLine(baseUrl, failure)).c_str());
    std::fflush(stdout);
    DrawBar();
}

void TConsoleView::SyncProgressMax(std::int32_t selector, std::int32_t value) {
    if (selector == 0) fileMax_ = value;
    if (selector == 1) totalMax_ = value;
}

void TConsoleView::SyncFileProgress(std::int32_t value) {
    filePos_ = value;
    DrawBar();
}

void TConsoleView::SyncExtractProgress(std::int32_t value) {
    filePos_ = value;
    DrawBar();
}

void TConsoleView::SyncTotalProgress(std::int32_t value) {
    totalPos_ = value;
    DrawBar();
}

void TConsoleView::SyncTransfer(const TTransferFigures& figures) {
    figures_ = figures;
    DrawBar();
}

// The reason is printed once the run has returned (main), with the exit status.
void TConsoleView::EndUpdateView(const TFailure& /*failure*/) { ClearBar(); }

void TConsoleView::ShowUpdateFinished(bool installFailed) {
    ClearBar();
    std::printf("%s\n", installFailed ? "Some files could not be updated." : "All files are up to date.");
    std::fflush(stdout);
}

void TConsoleView::DrawBar() {
    if (!terminal_ || phase_ == TRunPhase::Idle) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    auto percent = [](std::int32_t pos, std::int32_t max) {
        return max <= 0 ? 0 : static_cast<int>(std::clamp<std::int64_t>(std::int64_t{pos} * 100 / max, 0, 100));
    };
    const int total = percent(totalPos_, totalMax_ + 1);
    const int file = percent(filePos_, fileMax_);
    const int width = 30;
    std::string bar(static_cast<std::size_t>(total * width / 100), '#');
    bar.resize(width, '.');
    // Appended piece by piece: "text" + std::string trips a false
    // -Wrestrict in GCC 12's optimiser.
    std::string line = "\r[";
    line += bar;
    line += "] ";
    line += std::to_string(total);
    line += "%  ";
    // Before the status and path, which the width may cut.
    if (const std::string figures = FormatFigures(figures_, kEnglishFigures); !figures.empty()) {
        line += figures;
        line += "  ";
    }
    line += ConsoleText(status_);
    if (!detail_.empty()) {
        line += ' ';
        line += ConsoleText(detail_);
    }
    if (filePos_ > 0) {
        line += "  ";
        line += std::to_string(file);
        line += '%';
    }
    if (line.size() > 100) line.resize(100);
    std::fprintf(stderr, "%s\x1b[K", line.c_str());
    std::fflush(stderr);
    barShown_ = true;
}

void TConsoleView::ClearBar() {
    if (!barShown_) return;
    std::fprintf(stderr, "\r\x1b[K");
    std::fflush(stderr);
    barShown_ = false;
}
