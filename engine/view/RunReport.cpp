#include "engine/view/RunReport.h"


#include <string>

TRunReport::TRunReport(TRunFields& run, TUpdateView& view, TSynchronizer& sync)
    : run_(run), view_(view), sync_(sync),
      throttle_(std::chrono::milliseconds(20), [this](TProgressKind kind, std::int32_t value) {
          switch (kind) {
              case TProgressKind::File: view_.SyncFileProgress(value); break;
              case TProgressKind::Extract: view_.SyncExtractProgress(value); break;
              case TProgressKind::Total: view_.SyncTotalProgress(value); break;
          }
      }) {}

void TRunReport::Status(TRunPhase phase, std::string_view detail) {
    run_.SetPhase(phase);
    run_.DetailText.assign(detail);
    throttle_.BeforeOtherOperation();
    view_.SyncStatus(run_.Phase, run_.StatusText, run_.DetailText);
}

void TRunReport::BarMax(std::int32_t selector, std::int32_t value) {
    run_.ProgressBarSelector = selector;
    run_.ProgressValue = value;
    throttle_.BeforeOtherOperation();
    view_.SyncProgressMax(selector, value);
}

void TRunReport::FileBarMax(std::int64_t bytes) {
    fileBar_ = TBarScale(bytes);
    BarMax(0, fileBar_.Max());
}

void TRunReport::FilePosition(TProgressKind kind, std::int64_t bytes) { Position(kind, fileBar_.Position(bytes)); }

void TRunReport::Position(TProgressKind kind, std::int32_t value) {
    run_.ProgressValue = value;
    throttle_.Report(kind, value);
}

void TRunReport::Reset(TProgressKind kind) {
    run_.ProgressValue = 0;
    throttle_.ReportNow(kind, 0);
}

void TRunReport::Fail(const TFailure& failure) {
    Status(TRunPhase::Failed, "");
    shown_ = true;
    Keep(failure);
}

void TRunReport::FailQuietly(const TFailure& failure) { Keep(failure); }

void TRunReport::Keep(const TFailure& failure) {
    if (first_) return;
    first_ = failure;
    if (!first_) first_.fault = TFault::Other;  // a failure always has a reason
}

void TRunReport::Transfer(const TTransferFigures& figures, bool now) {
    constexpr auto kTransferInterval = std::chrono::milliseconds(250);
    const auto at = std::chrono::steady_clock::now();
    if (!now && transferShown_ && figures.paused == transferPaused_ && at - *transferShown_ < kTransferInterval) return;
    transferShown_ = at;
    transferPaused_ = figures.paused;
    view_.SyncTransfer(figures);
}

void TRunReport::EntryFinished(std::string_view path, const TFailure& failure) {
    const std::string name(path);
    Hand([this, &name, &failure] { view_.EntryFinished(name, failure); });
}

void TRunReport::ServerSkipped(std::string_view baseUrl, const TFailure& failure) {
    const std::string base(baseUrl);
    Hand([this, &base, &failure] { view_.ServerSkipped(base, failure); });
}

void TRunReport::ChannelsKnown(const std::vector<std::string>& offered, const std::string& followed) {
    Hand([this, &offered, &followed] { view_.ChannelsKnown(offered, followed); });
}

void TRunReport::BeginUpdateView() {
    Hand([this] { view_.BeginUpdateView(); });
}
void TRunReport::EndUpdateView() {
    const TFailure shown = ShownFailure();
    Hand([this, &shown] { view_.EndUpdateView(shown); });
}
void TRunReport::ShowUpdateFinished() {
    // No "everything is current" notice after a run that failed anywhere.
    Hand([this] { view_.ShowUpdateFinished(run_.InstallFailed || AnyFailure()); });
}
void TRunReport::CatchUp() {
    Hand([] {});
}

void TRunReport::Hand(const std::function<void()>& operation) {
    throttle_.BeforeOtherOperation();
    sync_.Synchronize(operation);
}
