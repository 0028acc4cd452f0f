#include "tools/update/ConsoleView.h"

#include "platform/os.h"

#include <algorithm>
#include <cstdio>
#include <utility>

using os::ConsoleText;

namespace {

constexpr std::int64_t kKB = 1024;

// One decimal below ten units ("3.2"), whole units from there on.
std::string Amount(std::int64_t bytes, std::int64_t unit) {
    const std::int64_t tenths = (bytes * 10 + unit / 2) / unit;
    if (tenths < 100 && tenths % 10 != 0) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    return std::to_string((tenths + 5) / 10);
}

std::pair<std::int64_t, const char*> UnitOf(std::int64_t bytes) {
    if (bytes >= kKB * kKB * kKB) return {kKB * kKB * kKB, "GB"};
    if (bytes >= kKB * kKB) return {kKB * kKB, "MB"};
    return {kKB, "KB"};
}

}  // namespace

std::string TransferText(const TTransferFigures& figures) {
    std::string text;
    auto append = [&](const std::string& part) {
        if (!text.empty()) text += ", ";
        text += part;
    };
    if (figures.total > 0) {
        const auto [unit, name] = UnitOf(figures.total);
        append(Amount(figures.done, unit) + "/" + Amount(figures.total, unit) + " " + name);
    }
    if (figures.paused) {
        append("paused");
        return text;
    }
    if (figures.speed > 0) {
        const auto [unit, name] = figures.speed >= kKB * kKB ? std::pair<std::int64_t, const char*>{kKB * kKB, "MB"}
                                                             : std::pair<std::int64_t, const char*>{kKB, "KB"};
        append(Amount(figures.speed, unit) + " " + name + "/s");
    }
    if (figures.secondsLeft >= 0) {
        const std::int64_t s = figures.secondsLeft;
        const std::int64_t minutes = (s + 59) / 60;
        std::string left;
        if (s < 60) {
            left = std::to_string(s) + " s";
        } else if (minutes < 60) {
            left = std::to_string(minutes) + " min";
        } else {
            left = std::to_string(minutes / 60) + " h";
            if (minutes % 60) left += " " + std::to_string(minutes % 60) + " min";
        }
        append(left + " left");
    }
    return text;
}

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
        std::printf("failed     %s: %s\n", ConsoleText(path).c_str(), ConsoleText(DescribeFailure(failure)).c_str());
    } else {
        std::printf("installed  %s\n", ConsoleText(path).c_str());
    }
    std::fflush(stdout);
    DrawBar();
}

void TConsoleView::ServerSkipped(const std::string& baseUrl, const TFailure& failure) {
    ClearBar();
    std::string reason = DescribeFailure(failure);
    if (failure.fault == TFault::CannotConnect && !failure.text.empty()) reason += " (" + failure.text + ")";
    std::printf("skipped    %s: %s\n", ConsoleText(baseUrl).c_str(), ConsoleText(reason).c_str());
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
    if (const std::string figures = TransferText(figures_); !figures.empty()) {
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
