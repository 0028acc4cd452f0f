// The player's limit and pause over all the transfers of a run: every body
// (the fetchers' copies and the run's own downloads) asks this one object
// before each read. A token bucket read against the run's control at every
// call, so a new limit applies to the next read of every connection.
#pragma once

#include "platform/errors.h"
#include "platform/sync.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

class TRunControl;

// A transfer given up because the run stayed paused too long: its
// connection is closed, and what arrived is kept (a resumable partial copy
// waits) so that the transfer continues once the run is resumed. Not a
// failure of the entry.
class ETransferPaused : public Exception {
public:
    ETransferPaused() : Exception("The transfer was closed while the update was paused", TFault::Cut) {}
};

class TPace {
public:
    using Clock = std::chrono::steady_clock;
    // How long a paused transfer keeps its connection before it is closed.
    static constexpr Clock::duration kCloseAfter = std::chrono::seconds(30);
    // The longest wait between two looks at the stop.
    static constexpr Clock::duration kWake = std::chrono::milliseconds(100);

    explicit TPace(const TRunControl& control) : control_(control) {}
    TPace(const TPace&) = delete;
    TPace& operator=(const TPace&) = delete;

    // Tests shorten the time a paused connection stays open.
    void SetCloseAfter(Clock::duration after) { closeAfter_ = after; }

    // Waits until some of want bytes may be read and returns how many (at
    // least 1, at most want). Waits while the run is paused; raises
    // ERunStopped once stopped() says so, and ETransferPaused once paused
    // for the close time.
    std::size_t Take(std::size_t want, const std::function<bool()>& stopped);
    // Bytes taken but not read (a read that returned fewer) go back.
    void GiveBack(std::size_t unused);
    // Returns once the run is not paused; raises ERunStopped once stopped().
    void WaitWhilePaused(const std::function<bool()>& stopped) const;

    bool Paused() const;

private:
    const TRunControl& control_;
    Clock::duration closeAfter_ = kCloseAfter;
    mutable os::Mutex mutex_;
    mutable os::Condition changed_;
    double tokens_ = 0;        // bytes that may be read now
    Clock::time_point filled_;  // when tokens_ was last brought up to date
    std::uint64_t rate_ = 0;    // the limit tokens_ was filled at
};
