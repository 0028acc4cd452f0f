#include "engine/fetch/TransferMeter.h"

void TTransferMeter::Add(Clock::time_point at, std::int64_t received) {
    if (samples_.empty()) firstOfSpan_ = received;
    if (!samples_.empty() && (at < samples_.back().at || received < samples_.back().received)) return;
    samples_.push_back({at, received});
    // Keep the newest sample at or before the window's start, so the
    // average covers the whole window once there is one.
    while (samples_.size() > 2 && samples_[1].at <= at - kWindow) samples_.pop_front();
}

void TTransferMeter::Restart() {
    if (!samples_.empty()) {
        measuredBefore_ += Span();
        measuredBytes_ += samples_.back().received - firstOfSpan_;
    }
    samples_.clear();
}

TTransferMeter::Clock::duration TTransferMeter::Span() const {
    if (samples_.empty()) return Clock::duration::zero();
    return samples_.back().at - samples_.front().at;
}

std::int64_t TTransferMeter::Speed() const {
    const Clock::duration span = Span();
    if (span < kFirstSpeed) return 0;
    const double seconds = std::chrono::duration<double>(span).count();
    return static_cast<std::int64_t>(static_cast<double>(samples_.back().received - samples_.front().received) / seconds);
}

std::int64_t TTransferMeter::SecondsLeft(std::int64_t remaining, std::int64_t total) const {
    const std::int64_t speed = Speed();
    if (speed <= 0) return -1;
    // What was measured in all: before the restarts and since the last.
    Clock::duration measured = measuredBefore_;
    std::int64_t bytes = measuredBytes_;
    measured += Span();
    bytes += samples_.back().received - firstOfSpan_;
    const bool steady = measured >= kSteady || (total > 0 && bytes * kSteadyDivisor >= total);
    if (!steady) return -1;
    if (remaining <= 0) return 0;
    return (remaining + speed - 1) / speed;
}
