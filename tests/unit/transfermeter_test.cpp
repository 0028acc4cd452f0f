// The speed and time left shown for an install's downloads (a made-up
// clock), and the pace's bounds that do not depend on time.
#include "engine/fetch/Pace.h"
#include "engine/fetch/RunControl.h"
#include "engine/fetch/TransferMeter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Clock = TTransferMeter::Clock;

struct TSample {
    Clock::duration at;  // since the test's start
    std::int64_t received;
};

TTransferMeter Fed(const std::vector<TSample>& samples) {
    TTransferMeter meter;
    const Clock::time_point start{};
    for (const TSample& s : samples) meter.Add(start + s.at, s.received);
    return meter;
}

// Every 250 ms from..to, at rate bytes per second, starting at base bytes.
std::vector<TSample> Steady(Clock::duration from, Clock::duration to, std::int64_t rate, std::int64_t base = 0) {
    std::vector<TSample> samples;
    for (Clock::duration t = from; t <= to; t += 250ms) {
        samples.push_back({t, base + rate * std::chrono::duration_cast<std::chrono::milliseconds>(t - from).count() / 1000});
    }
    return samples;
}

TEST(TransferMeter, SpeedOverTheLatestWindow) {
    struct TCase {
        const char* name;
        std::vector<TSample> samples;
        std::int64_t speed;
    };
    std::vector<TSample> changed = Steady(0s, 10s, 100000);
    for (const TSample& s : Steady(10250ms, 20s, 400000, 1000000 + 100000)) changed.push_back(s);
    std::vector<TSample> burst = Steady(0s, 6s, 0);
    burst.push_back({6250ms, 500000});  // one block after silence
    const std::vector<TCase> cases = {
        {"nothing yet", {}, 0},
        {"one sample", {{0s, 1000}}, 0},
        {"less than a second", Steady(0s, 750ms, 100000), 0},
        {"a steady second", Steady(0s, 1s, 100000), 100000},
        {"steady for a minute", Steady(0s, 60s, 512 * 1024), 512 * 1024},
        // Five seconds after a change, only the new rate is averaged.
        {"a new rate", changed, 400000},
        {"a burst is spread over the window", burst, 500000 / 5},
    };
    for (const TCase& c : cases) {
        const TTransferMeter meter = Fed(c.samples);
        EXPECT_NEAR(meter.Speed(), c.speed, c.speed / 100 + 1) << c.name;
    }
}

TEST(TransferMeter, TimeLeftOnceSteady) {
    struct TCase {
        const char* name;
        std::vector<TSample> samples;
        std::int64_t remaining;
        std::int64_t total;
        std::int64_t secondsLeft;
    };
    const std::vector<TCase> cases = {
        {"no speed yet", Steady(0s, 750ms, 100000), 1000000, 2000000, -1},
        {"too soon, too little", Steady(0s, 3s, 100000), 10000000, 10300000, -1},
        {"five seconds measured", Steady(0s, 5s, 100000), 1000000, 10000000, 10},
        {"a tenth received early", Steady(0s, 2s, 100000), 1800000, 2000000, 18},
        {"rounded up", Steady(0s, 6s, 100000), 1000001, 10000000, 11},
        {"all there", Steady(0s, 6s, 100000), 0, 600000, 0},
        {"stalled: no speed", Steady(0s, 10s, 0), 1000, 2000, -1},
    };
    for (const TCase& c : cases) {
        const TTransferMeter meter = Fed(c.samples);
        EXPECT_EQ(meter.SecondsLeft(c.remaining, c.total), c.secondsLeft) << c.name;
    }
}

TEST(TransferMeter, PausesAreNotMeasured) {
    TTransferMeter meter;
    const Clock::time_point start{};
    for (const TSample& s : Steady(0s, 3s, 100000)) meter.Add(start + s.at, s.received);
    meter.Restart();
    // No speed right after a pause, however long it was.
    meter.Add(start + 60s, 300000);
    EXPECT_EQ(meter.Speed(), 0);
    EXPECT_EQ(meter.SecondsLeft(1000, 100000000), -1);
    for (const TSample& s : Steady(60s, 62s, 200000, 300000)) meter.Add(start + s.at, s.received);
    EXPECT_NEAR(meter.Speed(), 200000, 2000);
    // 3 s before the pause and 2 s after make it steady; the 57 s paused
    // do not lower the speed.
    EXPECT_EQ(meter.SecondsLeft(2000000, 100000000), 10);
}

TEST(TransferMeter, SamplesGoingBackAreIgnored) {
    TTransferMeter meter;
    const Clock::time_point start{};
    meter.Add(start, 0);
    meter.Add(start + 2s, 200000);
    meter.Add(start + 1s, 900000);  // out of order
    meter.Add(start + 3s, 100000);  // fewer bytes
    EXPECT_EQ(meter.Speed(), 100000);
}

TEST(Pace, WithoutLimitAReadTakesAllItAsks) {
    TRunControl control;
    TPace pace(control);
    EXPECT_EQ(pace.Take(65536, nullptr), 65536u);
}

TEST(Pace, UnderALimitAReadTakesNoMoreThanAnEighthOfASecond) {
    TRunControl control;
    control.SetRateLimit(64 * 1024);
    TPace pace(control);
    std::uint64_t taken = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t n = pace.Take(65536, nullptr);
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, 8192u);
        taken += n;
    }
    EXPECT_GT(taken, 0u);
    // A smaller request is never exceeded.
    EXPECT_LE(pace.Take(100, nullptr), 100u);
}

TEST(Pace, APausedReadEndsAtAStopOrCloses) {
    TRunControl control;
    control.SetPaused(true);
    TPace pace(control);
    bool asked = false;
    EXPECT_THROW(pace.Take(65536, [&] { return std::exchange(asked, true); }), ERunStopped);
    EXPECT_THROW(pace.WaitWhilePaused([] { return true; }), ERunStopped);
    pace.SetCloseAfter(0s);
    EXPECT_THROW(pace.Take(65536, nullptr), ETransferPaused);
    control.SetPaused(false);
    EXPECT_NO_THROW(pace.WaitWhilePaused(nullptr));
    EXPECT_EQ(pace.Take(10, nullptr), 10u);
}

}  // namespace
