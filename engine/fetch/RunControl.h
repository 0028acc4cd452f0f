// What a run shares with whoever started it: the download limit and the
// pause the player sets while it runs (the tray menu, --limit-rate), a
// request to stop, and the signal that its thread has ended. The window
// keeps this after the run has gone, so that closing it can stop the run and
// wait for it (bounded) before the process exits, instead of ending a run in
// the middle of a file.
#pragma once

#include "platform/errors.h"
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <algorithm>
#include <mutex>
#include <thread>

// Raised inside a run at the first block or entry after a stop request; the
// handlers of each step remove its temporaries as for any failure.
class ERunStopped : public Exception {
public:
    ERunStopped() : Exception("The update was stopped", TFault::Stopped) {}
};

class TRunControl {
public:
    // The player's hand on the run's transfers, from any thread at any time:
    // a limit in bytes per second for all its connections together (0: no
    // limit), and a pause.
    void SetRateLimit(std::uint64_t bytesPerSecond) { rateLimit_.store(bytesPerSecond, std::memory_order_relaxed); }
    std::uint64_t RateLimit() const { return rateLimit_.load(std::memory_order_relaxed); }
    void SetPaused(bool paused) { paused_.store(paused, std::memory_order_relaxed); }
    bool Paused() const { return paused_.load(std::memory_order_relaxed); }

    void RequestStop() { stop_.store(true, std::memory_order_relaxed); }
    bool StopRequested() const { return stop_.load(std::memory_order_relaxed); }
    void ThrowIfStopped() const {
        if (StopRequested()) throw ERunStopped();
    }
    // Waits for a while, looking at the stop every 100 ms: raises
    // ERunStopped once it is asked.
    void WaitFor(std::chrono::steady_clock::duration wait) const {
        const auto until = std::chrono::steady_clock::now() + wait;
        for (;;) {
            ThrowIfStopped();
            const auto now = std::chrono::steady_clock::now();
            if (now >= until) return;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                     std::chrono::milliseconds(100)));
        }
    }

    // Called by the run's thread as its very last step.
    void MarkEnded() {
        std::lock_guard<os::Mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    bool Ended() const {
        std::lock_guard<os::Mutex> lock(mutex_);
        return ended_;
    }
    // True once the run has ended, false when the time ran out first.
    bool WaitEnded(std::chrono::steady_clock::duration limit) const {
        std::unique_lock<os::Mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return ended_; });
    }

private:
    std::atomic<std::uint64_t> rateLimit_{0};
    std::atomic<bool> paused_{false};
    std::atomic<bool> stop_{false};
    mutable os::Mutex mutex_;
    mutable os::Condition changed_;
    bool ended_ = false;
};
