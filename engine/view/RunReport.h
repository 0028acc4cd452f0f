// The run's report to its view: the status lines, both bars, each entry's
// end and the run's first failure. Status and progress are published
// without the worker waiting (the view takes them at display rate); the
// mode changes are handed to the view's thread and waited for. A handed
// operation finds the view as the worker left it: the window takes every
// status published before it first.
#pragma once

#include "engine/view/Progress.h"
#include "engine/view/RunFields.h"
#include "engine/view/UpdateView.h"
#include "platform/errors.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

class TRunReport {
public:
    TRunReport(TRunFields& run, TUpdateView& view, TSynchronizer& sync);

    // Shortest time between two positions of one bar.
    void SetInterval(std::chrono::steady_clock::duration interval) { throttle_.SetInterval(interval); }

    // The phase with its text and the detail line.
    void Status(TRunPhase phase, std::string_view detail);
    // A bar's maximum (selector 0: the file bar, 1: the total bar).
    void BarMax(std::int32_t selector, std::int32_t value);
    // The file bar's maximum in bytes, in the unit that fits 32 bits; later
    // positions in bytes are shown in that unit.
    void FileBarMax(std::int64_t bytes);
    void FilePosition(TProgressKind kind, std::int64_t bytes);
    void Position(TProgressKind kind, std::int32_t value);
    // Position 0, always shown.
    void Reset(TProgressKind kind);

    // Shows "Actualización Fallida"; the run fails, and keeps the first reason.
    void Fail(const TFailure& failure);
    // The run fails without a word to the view (no server at all).
    void FailQuietly(const TFailure& failure);
    // The install's download figures, at most about 4 times a second
    // unless now (or the pause changed): published, never waited for.
    void Transfer(const TTransferFigures& figures, bool now = false);
    // The next publication's pre-download: published, never waited for.
    void Next(const TNextFigures& next) { view_.SyncNext(next); }

    // One entry of the install loop ended: installed when failure is None.
    void EntryFinished(std::string_view path, const TFailure& failure);
    // A server gave no usable list.
    void ServerSkipped(std::string_view baseUrl, const TFailure& failure);
    void ChannelsKnown(const std::vector<std::string>& offered, const std::string& followed);
    bool AnyFailure() const { return static_cast<bool>(first_); }
    // The run's reason: its first failure (None while nothing failed). The
    // report alone keeps it; the console and the log read it here.
    const TFailure& FirstFailure() const { return first_; }
    // The reason as the view is to show it: None when the view was never
    // told of a failure ("Actualización Fallida").
    TFailure ShownFailure() const { return shown_ ? first_ : TFailure{}; }

    // The mode changes, handed to the view's thread while the worker waits.
    void BeginUpdateView();
    // The run's end: the view goes idle with the reason it shows.
    void EndUpdateView();
    void ShowUpdateFinished();
    // Returns once the view has taken every status before it.
    void CatchUp();

private:
    void Hand(const std::function<void()>& operation);
    void Keep(const TFailure& failure);

    TRunFields& run_;
    TUpdateView& view_;
    TSynchronizer& sync_;
    TProgressThrottle throttle_;
    TBarScale fileBar_;
    TFailure first_;
    bool shown_ = false;
    std::optional<std::chrono::steady_clock::time_point> transferShown_;
    bool transferPaused_ = false;
};
