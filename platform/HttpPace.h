// The slow-transfer rule both HTTP backends apply: a transfer fails once it
// has delivered less than kMinBytes in any window of the stall timeout. A
// rule on silence alone let a server hold a download forever with one byte
// per second; counting bytes per window catches the trickle as well.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace os {

class HttpPace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint64_t kMinBytes = 1024;

    HttpPace(Clock::duration window, Clock::time_point start) : window_(window), start_(start) {}

    // Bytes that arrived at a time.
    void Add(std::size_t bytes, Clock::time_point now) {
        if (bytes == 0) return;
        arrivals_.push_back({now, bytes});
        sum_ += bytes;
        // Only the newest arrivals that still make up kMinBytes matter: an
        // older one leaves the window after them. That bounds the record.
        while (sum_ - arrivals_.front().bytes >= kMinBytes) {
            sum_ -= arrivals_.front().bytes;
            arrivals_.pop_front();
        }
    }

    // When the rule fails the transfer if nothing more arrives: once the
    // first full window has passed with less than kMinBytes in it.
    Clock::time_point Deadline() const {
        if (sum_ < kMinBytes) return start_ + window_;
        return arrivals_.front().at + window_;
    }

    bool Expired(Clock::time_point now) const { return now >= Deadline(); }

private:
    struct Arrival {
        Clock::time_point at;
        std::uint64_t bytes;
    };
    Clock::duration window_;
    Clock::time_point start_;
    std::deque<Arrival> arrivals_;
    std::uint64_t sum_ = 0;
};

}  // namespace os
