#include "engine/view/Progress.h"

#include <algorithm>
#include <limits>

TBarScale::TBarScale(std::int64_t maximum) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    maximum = std::max<std::int64_t>(maximum, 0);
    while ((maximum >> shift_) > kLimit) shift_ += 10;
    max_ = static_cast<std::int32_t>(maximum >> shift_);
}

std::int32_t TBarScale::Position(std::int64_t bytes) const {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(bytes >> shift_, 0, kLimit));
}

namespace {
std::size_t Index(TProgressKind kind) { return static_cast<std::size_t>(kind); }
}  // namespace

void TProgressThrottle::Report(TProgressKind kind, std::int32_t value) {
    if (pending_ && pending_->kind != kind) Flush();
    const auto& last = lastSent_[Index(kind)];
    if (!last || Clock::now() - *last >= interval_) {
        pending_.reset();
        Send(kind, value);
    } else {
        pending_ = Pending{kind, value};
    }
}

void TProgressThrottle::ReportNow(TProgressKind kind, std::int32_t value) {
    Flush();
    Send(kind, value);
    // The next value of this bar starts a new sequence and goes out at once.
    lastSent_[Index(kind)].reset();
}

void TProgressThrottle::BeforeOtherOperation() {
    Flush();
    lastSent_.fill(std::nullopt);
}

void TProgressThrottle::Flush() {
    if (!pending_) return;
    const Pending p = *pending_;
    pending_.reset();
    Send(p.kind, p.value);
}

void TProgressThrottle::Send(TProgressKind kind, std::int32_t value) {
    lastSent_[Index(kind)] = Clock::now();
    deliver_(kind, value);
}
