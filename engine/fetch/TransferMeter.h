// The speed of a run's downloads and the time they have left, from samples
// of the bytes received so far. Pure: the caller gives the times, so tests
// run on a made-up clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

class TTransferMeter {
public:
    using Clock = std::chrono::steady_clock;
    // The speed is the average over this much of the latest samples: long
    // enough to smooth the bursts of several connections, short enough to
    // follow a new limit within a few seconds.
    static constexpr Clock::duration kWindow = std::chrono::seconds(5);
    // No speed is given from less than this much of samples.
    static constexpr Clock::duration kFirstSpeed = std::chrono::seconds(1);
    // The time left is given once this much was measured (pauses aside)...
    static constexpr Clock::duration kSteady = std::chrono::seconds(5);
    // ...or once this part of the bytes was received while measuring.
    static constexpr std::int64_t kSteadyDivisor = 10;

    // received: the bytes received so far, at a time (neither goes back).
    void Add(Clock::time_point at, std::int64_t received);
    // After a pause the speed is measured anew; what was measured before
    // still counts toward steadiness.
    void Restart();

    // Bytes per second over the latest kWindow; 0 until kFirstSpeed.
    std::int64_t Speed() const;
    // Seconds to receive remaining more bytes at Speed(), rounded up; -1
    // until steady (kSteady measured, or a tenth of total received) or while
    // there is no speed.
    std::int64_t SecondsLeft(std::int64_t remaining, std::int64_t total) const;

private:
    struct Sample {
        Clock::time_point at;
        std::int64_t received;
    };
    Clock::duration Span() const;

    std::deque<Sample> samples_;
    Clock::duration measuredBefore_{};  // spans of the samples Restart forgot
    std::int64_t measuredBytes_ = 0;    // bytes received over those spans
    std::int64_t firstOfSpan_ = 0;      // received at the first sample since Restart
};
