// The slow-transfer rule both HTTP backends apply: a transfer fails once any
// window of the stall timeout has brought less than kMinRate bytes a second
// on average. Threat: a server (or whoever answers for it) that trickles a
// few bytes a second holds a run for as long as it likes; a rule on silence
// alone, or on 1 KiB a window, let 200 bytes a second pass.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace os {

class HttpPace {
public:
    using Clock = std::chrono::steady_clock;
    // Bytes a second a transfer must average over every window: players'
    // links are far above it.
    static constexpr std::uint64_t kMinRate = 1024;

    HttpPace(Clock::duration window, Clock::time_point start)
        : window_(window),
          seconds_(std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::seconds>(window).count())),
          minBytes_(kMinRate * static_cast<std::uint64_t>(seconds_)),
          start_(start) {}

    // Bytes that arrived at a time.
    void Add(std::size_t bytes, Clock::time_point now) {
        if (bytes == 0) return;
        // Arrivals close together count as one, at the first one's time
        // (the deadline comes at most a 64th of the window early): however
        // small the blocks a server sends, the record stays short.
        if (!arrivals_.empty() && now - arrivals_.back().at < window_ / 64) {
            arrivals_.back().bytes += bytes;
        } else {
            arrivals_.push_back({now, bytes});
        }
        sum_ += bytes;
        // Only the newest arrivals that still make up minBytes_ matter: an
        // older one leaves the window after them.
        while (sum_ - arrivals_.front().bytes >= minBytes_) {
            sum_ -= arrivals_.front().bytes;
            arrivals_.pop_front();
        }
    }

    // When the rule fails the transfer if nothing more arrives: once the
    // first full window has passed with less than minBytes_ in it.
    Clock::time_point Deadline() const {
        if (sum_ < minBytes_) return start_ + window_;
        return arrivals_.front().at + window_;
    }

    bool Expired(Clock::time_point now) const { return now >= Deadline(); }

    // The reader held the transfer back (its buffer was full): the time it
    // stood still was the reader's, not the server's, so the rule starts over.
    void Restart(Clock::time_point now) {
        arrivals_.clear();
        sum_ = 0;
        start_ = now;
    }

    // Why the rule failed a transfer.
    std::string Failure() const {
        return "Download failed: less than 1 KiB a second over " + std::to_string(seconds_) + " seconds";
    }

private:
    struct Arrival {
        Clock::time_point at;
        std::uint64_t bytes;
    };
    Clock::duration window_;
    std::int64_t seconds_;
    std::uint64_t minBytes_;
    Clock::time_point start_;
    std::deque<Arrival> arrivals_;
    std::uint64_t sum_ = 0;
};

}  // namespace os
