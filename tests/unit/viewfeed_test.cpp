// How a run's status and progress reach the window: published without
// waiting, applied in order, one readable status per frame, bounded memory.
#include "engine/fetch/RunControl.h"
#include "engine/view/ViewFeed.h"
#include "engine/steps/WorkAhead.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;
using namespace std::chrono_literals;

namespace {

class TLogView final : public TUpdateView {
public:
    void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) override {
        log.push_back("Status|" + status + "|" + detail);
        phases.push_back(phase);
    }
    void SyncProgressMax(std::int32_t selector, std::int32_t value) override {
        log.push_back("Max " + std::to_string(selector) + " " + std::to_string(value));
    }
    void SyncFileProgress(std::int32_t value) override { log.push_back("File " + std::to_string(value)); }
    void SyncExtractProgress(std::int32_t value) override { log.push_back("Extract " + std::to_string(value)); }
    void SyncTotalProgress(std::int32_t value) override { log.push_back("Total " + std::to_string(value)); }
    void SyncTransfer(const TTransferFigures& f) override {
        log.push_back("Transfer " + std::to_string(f.done) + "/" + std::to_string(f.total) + " " +
                      std::to_string(f.speed) + " " + std::to_string(f.secondsLeft) + (f.paused ? " paused" : ""));
    }
    void BeginUpdateView() override { log.push_back("Begin"); }
    void EndUpdateView(const TFailure&) override { log.push_back("End"); }
    void ShowUpdateFinished(bool) override { log.push_back("Finished"); }
    std::vector<std::string> log;
    std::vector<TRunPhase> phases;
};

// A clock the test moves by hand.
struct TFakeClock {
    TViewFeed::Clock::time_point now{};
    std::function<TViewFeed::Clock::time_point()> Fn() {
        return [this] { return now; };
    }
};

}  // namespace

TEST(ViewFeed, EachReadableStatusGetsAFrameAndEverythingArrivesInOrder) {
    TFakeClock clock;
    int wakes = 0;
    TViewFeed feed([&] { ++wakes; }, 4096, clock.Fn());
    feed.Status(TRunPhase::CheckingFiles, "Comprobando Archivos...", "");
    feed.ProgressMax(1, 2);
    feed.TotalProgress(0);
    clock.now += 20ms;
    feed.Status(TRunPhase::Checking, "Comprobando...", " a.txt");
    feed.TotalProgress(1);
    clock.now += 16ms;  // exactly a frame: still readable
    feed.Status(TRunPhase::Idle, "", "");
    EXPECT_EQ(wakes, 1);  // one frame asked for, however much arrived

    TLogView view;
    EXPECT_TRUE(feed.TakeFrame(view));
    EXPECT_THAT(view.log, ElementsAre("Status|Comprobando Archivos...|", "Max 1 2", "Total 0"));
    view.log.clear();
    EXPECT_TRUE(feed.TakeFrame(view));
    EXPECT_THAT(view.log, ElementsAre("Status|Comprobando...| a.txt", "Total 1"));
    view.log.clear();
    EXPECT_FALSE(feed.TakeFrame(view));
    EXPECT_THAT(view.log, ElementsAre("Status||"));
    EXPECT_EQ(feed.Pending(), 0u);
    EXPECT_THAT(view.phases, ElementsAre(TRunPhase::CheckingFiles, TRunPhase::Checking, TRunPhase::Idle));

    // Empty again: the next operation asks for a frame again.
    feed.FileProgress(5);
    EXPECT_EQ(wakes, 2);
}

TEST(ViewFeed, StatusReplacedWithinAFrameIsDroppedButNotTheBarsAroundIt) {
    TFakeClock clock;
    TViewFeed feed(nullptr, 4096, clock.Fn());
    feed.Status(TRunPhase::Checking, "Comprobando...", " a");
    feed.TotalProgress(1);
    clock.now += 5ms;
    feed.Status(TRunPhase::Checking, "Comprobando...", " b");  // a was current for 5 ms: gone
    feed.TotalProgress(2);
    clock.now += 15ms;
    feed.Status(TRunPhase::Checking, "Comprobando...", " c");  // b for 15 ms: gone too
    clock.now += 30ms;
    feed.Status(TRunPhase::Failed, "Actualizaci\xF3n Fallida", "");  // c for 30 ms: stays
    feed.Status(TRunPhase::Idle, "", "");                            // at once: the failure goes, nobody saw it

    TLogView view;
    feed.Drain(view);
    EXPECT_THAT(view.log, ElementsAre("Total 1", "Total 2", "Status|Comprobando...| c", "Status||"));
}

// The figures travel like a position: every one, in order, whole, and a
// status dropped within a frame takes none of them with it.
TEST(ViewFeed, TransferFiguresArriveWholeAndInOrderAroundStatuses) {
    TFakeClock clock;
    TViewFeed feed(nullptr, 4096, clock.Fn());
    feed.Status(TRunPhase::Downloading, "Descargando...", " a");
    feed.Transfer({100, 5000, 0, -1, false});
    clock.now += 5ms;
    feed.Status(TRunPhase::Downloading, "Descargando...", " b");  // current for 5 ms: dropped
    feed.Transfer({2500, 5000, 1200, 2, false});
    feed.FileProgress(7);
    feed.Transfer({2500, 5000, 0, -1, true});

    TLogView view;
    EXPECT_FALSE(feed.TakeFrame(view));
    EXPECT_THAT(view.log, ElementsAre("Transfer 100/5000 0 -1", "Status|Descargando...| b", "Transfer 2500/5000 1200 2",
                                      "File 7", "Transfer 2500/5000 0 -1 paused"));
}

TEST(ViewFeed, AStatusTheWindowHasTakenIsNeverDroppedAfterwards) {
    TFakeClock clock;
    TViewFeed feed(nullptr, 4096, clock.Fn());
    TLogView view;
    feed.Status(TRunPhase::Downloading, "Descargando...", "a.txt");
    EXPECT_FALSE(feed.TakeFrame(view));
    clock.now += 1ms;
    feed.Status(TRunPhase::Extracting, "Extrayendo...", "a.txt");
    clock.now += 1ms;
    feed.Status(TRunPhase::Downloading, "Descargando...", "b.txt");
    feed.Drain(view);
    EXPECT_THAT(view.log, ElementsAre("Status|Descargando...|a.txt", "Status|Descargando...|b.txt"));
}

TEST(ViewFeed, FrameLeftoversScheduleTheWindowWithoutAnotherWake) {
    TFakeClock clock;
    int wakes = 0;
    TViewFeed feed([&] { ++wakes; }, 4096, clock.Fn());
    TLogView view;
    feed.Status(TRunPhase::Checking, "a", "");
    clock.now += 20ms;
    feed.Status(TRunPhase::Checking, "b", "");
    ASSERT_TRUE(feed.TakeFrame(view));  // "b" is left: the window comes back by itself
    feed.TotalProgress(3);
    EXPECT_EQ(wakes, 1);
    EXPECT_FALSE(feed.TakeFrame(view));
    EXPECT_THAT(view.log, ElementsAre("Status|a|", "Status|b|", "Total 3"));
}

// A worker far ahead of a slow window: it waits for room at the capacity,
// and the window still sees every operation, in order.
TEST(ViewFeed, FullFeedHoldsThePublisherUntilTheWindowTakes) {
    std::atomic<int> wakes{0};
    TViewFeed feed([&] { ++wakes; }, 8);
    constexpr int kOps = 1000;
    std::thread worker([&] {
        for (int i = 0; i < kOps; ++i) feed.TotalProgress(i);
    });
    TLogView view;
    while (view.log.size() < kOps) {
        EXPECT_LE(feed.Pending(), 8u);
        feed.Drain(view);
        std::this_thread::yield();
    }
    worker.join();
    ASSERT_EQ(view.log.size(), static_cast<std::size_t>(kOps));
    for (int i = 0; i < kOps; ++i) ASSERT_EQ(view.log[i], "Total " + std::to_string(i));
}

TEST(ViewFeed, ClosedFeedDropsEverythingAndReleasesAWaitingPublisher) {
    TViewFeed feed(nullptr, 4);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) feed.FileProgress(i);  // blocks at 4 until closed
        done = true;
    });
    while (feed.Pending() < 4) std::this_thread::yield();
    EXPECT_FALSE(done.load());
    feed.Close();
    worker.join();
    EXPECT_TRUE(done.load());
    TLogView view;
    feed.Drain(view);
    EXPECT_TRUE(view.log.empty());
}

TEST(RunControl, StopRequestRaisesAtTheNextCheckAndTheEndIsSignalled) {
    TRunControl control;
    EXPECT_NO_THROW(control.ThrowIfStopped());
    control.RequestStop();
    EXPECT_THROW(control.ThrowIfStopped(), ERunStopped);

    EXPECT_FALSE(control.WaitEnded(1ms));
    std::thread worker([&] { control.MarkEnded(); });
    EXPECT_TRUE(control.WaitEnded(60s));
    worker.join();
    EXPECT_TRUE(control.Ended());
}

// Two items are worked on at once: item 0 can't finish before item 1 has
// started on the other thread. Results still come in list order.
TEST(WorkAhead, TwoItemsAtOnceAndResultsInOrder) {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<std::size_t> started;
    std::set<std::thread::id> threads;
    bool overlapped = false;
    TWorkAhead<std::string> work(40, [&](std::size_t i) {
        std::unique_lock<std::mutex> lock(mutex);
        started.insert(i);
        threads.insert(std::this_thread::get_id());
        changed.notify_all();
        if (i == 0) overlapped = changed.wait_for(lock, 60s, [&] { return started.count(1) != 0; });
        return "r" + std::to_string(i * i);
    });
    for (std::size_t i = 0; i < 40; ++i) ASSERT_EQ(work.Take(i), "r" + std::to_string(i * i));
    EXPECT_TRUE(overlapped);
    EXPECT_EQ(threads.size(), 2u);
}

// Never more than the window ahead of the item taken, skipped items are
// not waited for, and an error of one item arrives with that item.
TEST(WorkAhead, BoundedAheadSkipsAndErrors) {
    std::atomic<std::size_t> computed{0};
    std::atomic<std::size_t> taking{0};
    std::atomic<bool> beyond{false};
    TWorkAhead<int> work(100, [&](std::size_t i) {
        if (i >= taking.load() + TWorkAhead<int>::Window) beyond = true;
        ++computed;
        if (i == 50) throw std::runtime_error("unreadable");
        return static_cast<int>(i);
    });
    // 0..19 one by one, then 50 (the error), then 95..99: the jump from 50
    // to 95 is longer than the window, so some items are never reached
    // however fast the helper is.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < 20; ++i) order.push_back(i);
    for (std::size_t i : {50, 95, 96, 97, 98, 99}) order.push_back(i);
    static_assert(95 - 50 > TWorkAhead<int>::Window);
    for (std::size_t i : order) {
        taking = i;
        if (i == 50) {
            EXPECT_THROW(work.Take(i), std::runtime_error);
        } else {
            EXPECT_EQ(work.Take(i), static_cast<int>(i));
        }
    }
    EXPECT_FALSE(beyond.load());
    EXPECT_LT(computed.load(), 100u);  // items jumped over are never worked on
}

// A stopped run destroys its work with the helper ahead of it, working or
// asleep at the window's end: the helper stops, having started nothing past
// the window.
TEST(WorkAhead, DestroyedAheadOfTheConsumerStopsTheHelper) {
    std::atomic<std::size_t> computed{0};
    for (std::size_t taken = 1; taken <= 40; taken += 13) {
        computed = 0;
        {
            TWorkAhead<int> work(1000, [&](std::size_t i) {
                ++computed;
                return static_cast<int>(i);
            });
            for (std::size_t i = 0; i < taken; ++i) ASSERT_EQ(work.Take(i), static_cast<int>(i));
        }
        EXPECT_GE(computed.load(), taken);
        EXPECT_LE(computed.load(), taken + TWorkAhead<int>::Window);
    }
}
