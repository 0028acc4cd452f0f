// The status and progress of a run, published by the worker without waiting
// and shown by the window at display rate. A blocking hand-off to the
// window's thread, with a repaint each, cost about half a millisecond per
// checked file under Wine: 20,000 current files took 13.5 s to check in the
// window against 2.9 s in the console tool.
//
// The worker appends operations in order; the window takes them frame by
// frame and applies them to its view in the same order, so bars and labels
// end exactly as if every operation had been handed over alone. A frame
// shows at most one status that the player could have read: a status that
// was replaced within a frame (16 ms) is dropped when its successor arrives,
// and every other one gets a frame of its own, the latest one last.
#pragma once

#include "engine/view/UpdateView.h"

#include "platform/sync.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class TViewFeed {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kFrame = std::chrono::milliseconds(16);

    // wake runs on the publishing thread when an operation arrives and no
    // frame is due yet: the window then schedules one. now is the clock
    // (tests pass their own). Past capacity operations the publisher waits
    // for the window: memory stays bounded when the window stalls.
    explicit TViewFeed(std::function<void()> wake, std::size_t capacity = 4096,
                       std::function<Clock::time_point()> now = &Clock::now);
    TViewFeed(const TViewFeed&) = delete;
    TViewFeed& operator=(const TViewFeed&) = delete;

    // ---- worker side ------------------------------------------------------
    void Status(TRunPhase phase, const std::string& status, const std::string& detail);
    void ProgressMax(std::int32_t selector, std::int32_t value);
    void FileProgress(std::int32_t value);
    void ExtractProgress(std::int32_t value);
    void TotalProgress(std::int32_t value);
    // The install's download figures; in order with the rest, like a position.
    void Transfer(const TTransferFigures& figures);
    void Next(const TNextFigures& next);

    // ---- window side --------------------------------------------------------
    // Applies what the next frame shows: the operations in order up to the
    // second status among them. True when operations are left for a later
    // frame (the window then schedules one; no wake comes for them).
    bool TakeFrame(TUpdateView& view);
    // Applies every pending operation: before a mode change, which must find
    // the view as the worker left it.
    void Drain(TUpdateView& view);
    // The window is gone: pending and later operations are dropped and a
    // publisher waiting for room goes on.
    void Close();

    std::size_t Pending() const;

private:
    enum class Kind : std::uint8_t { Status, Max, File, Extract, Total, Transfer, Next };
    struct Op {
        Kind kind;
        std::int32_t a = 0;  // selector, or position
        std::int32_t b = 0;  // maximum
        TRunPhase phase = TRunPhase::Idle;
        TTransferFigures figures{};
        TNextFigures next{};
        std::string status, detail;
        Clock::time_point at;
    };
    void Push(Op op);
    static void Apply(const Op& op, TUpdateView& view);
    std::deque<Op> Take(bool oneFrame);

    std::function<void()> wake_;
    std::size_t capacity_;
    std::function<Clock::time_point()> now_;
    mutable os::Mutex mutex_;
    os::Condition room_;
    std::deque<Op> ops_;
    bool wakePending_ = false;
    bool closed_ = false;
};
