// Thins out the progress positions of a run. The worker no longer waits for
// the window on each (engine/view/ViewFeed queues them), but a position per
// 1024-byte block would still be hundreds of queued operations per frame
// that the window applies one by one, and past the feed's capacity the
// worker would wait for it after all. A bar gets at most one position per
// interval, but always its first value, its last value before a reset, and
// any value still pending before another window-side operation, so what the
// window shows stays in order.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

enum class TProgressKind { File = 0, Extract = 1, Total = 2 };

// A bar's positions are 32-bit (the view's and the control's), sizes are
// 64-bit: a quantity whose maximum does not fit is shown in KiB (or MiB,
// ...), so a 6 GiB file still moves its bar smoothly. Up to 2^31 - 1 the
// unit is the byte and positions are the sizes themselves.
class TBarScale {
public:
    TBarScale() = default;
    explicit TBarScale(std::int64_t maximum);

    // The bar's maximum in the chosen unit.
    std::int32_t Max() const { return max_; }
    // bytes in the chosen unit, clamped to 0 .. 2^31 - 1.
    std::int32_t Position(std::int64_t bytes) const;
    // log2 of the unit: 0 for bytes, 10 for KiB, ...
    int Shift() const { return shift_; }

private:
    int shift_ = 0;
    std::int32_t max_ = 0;
};

class TProgressThrottle {
public:
    using Clock = std::chrono::steady_clock;
    using Deliver = std::function<void(TProgressKind, std::int32_t)>;

    TProgressThrottle(Clock::duration interval, Deliver deliver) : interval_(interval), deliver_(std::move(deliver)) {}

    // A new position, delivered now or held until the interval has passed.
    void Report(TProgressKind kind, std::int32_t value);
    // A position that is always delivered (the reset to 0 at the end of a
    // transfer); a held value goes first.
    void ReportNow(TProgressKind kind, std::int32_t value);
    // Called before every other window-side operation.
    void BeforeOtherOperation();

    void SetInterval(Clock::duration interval) { interval_ = interval; }

private:
    struct Pending {
        TProgressKind kind;
        std::int32_t value;
    };
    void Flush();
    void Send(TProgressKind kind, std::int32_t value);

    Clock::duration interval_;
    Deliver deliver_;
    std::optional<Pending> pending_;
    std::array<std::optional<Clock::time_point>, 3> lastSent_{};
};
