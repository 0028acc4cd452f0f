// The player's hand on a run's transfers: a rate limit that holds over the
// whole transfer, and a pause that closes the connection once long, after
// which the copy continues where it stood.
#include "tests/e2e/engine_fixture.h"
#include "tests/e2e/quiet_view.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Keeps the figures the run publishes, and pauses the run once the
// download has brought pauseAt bytes (0: never).
class TFiguresView final : public TQuietView {
public:
    void SyncTransfer(const TTransferFigures& figures) override {
        std::lock_guard<std::mutex> lock(mutex_);
        figures_.push_back(figures);
        if (control && pauseAt > 0 && !pausedOnce_ && figures.done >= pauseAt) {
            control->SetPaused(true);
            pausedOnce_ = true;
            pausedAt_ = figures.done;
        }
    }
    std::vector<TTransferFigures> Figures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return figures_;
    }
    bool PausedOnce() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pausedOnce_;
    }
    std::int64_t PausedAt() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pausedAt_;
    }

    TRunControl* control = nullptr;
    std::int64_t pauseAt = 0;

private:
    mutable std::mutex mutex_;
    std::vector<TTransferFigures> figures_;
    bool pausedOnce_ = false;
    std::int64_t pausedAt_ = 0;
};

// Waits (bounded) until ready() holds.
template <class Ready>
bool WaitUntil(Ready ready, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

class PaceRun : public EngineRun {
protected:
    // Runs run on a thread of its own, from the install directory.
    void Start(GFilesThread& run) {
        run.BaseUrl = baseUrl_;
        run.SelfMode = TSelfMode::OrdinaryFile;
        fs::current_path(installDir_);
        worker_ = std::thread([&run] { run.RunInline(); });
    }
    void Join() {
        if (worker_.joinable()) worker_.join();
        fs::current_path(savedCwd_);
    }
    void TearDown() override {
        Join();
        EngineRun::TearDown();
    }

    TDirectSynchronizer sync_;
    std::thread worker_;
};

// 1 MiB at 256 KiB/s can't take less than about 4 s, whatever the number of
// connections; the figures end with every byte counted and a speed near the
// limit.
TEST_F(PaceRun, LimitHoldsOverTheWholeTransfer) {
    const std::string big = Noise(1 << 20, 3);
    Publish({{"big.dat", {big, true}}, {"small.dat", {Noise(100000, 4), true}}});
    const std::int64_t copies =
        static_cast<std::int64_t>(Compress(big).size() + Compress(Noise(100000, 4)).size());
    TFiguresView view;
    GFilesThread run(view, sync_);
    constexpr std::uint64_t kLimit = 256 * 1024;
    run.Control()->SetRateLimit(kLimit);
    const auto began = std::chrono::steady_clock::now();
    Start(run);
    Join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(ReadLocal("big.dat"), big);
    EXPECT_GE(seconds, 3.5);

    const auto figures = view.Figures();
    ASSERT_FALSE(figures.empty());
    EXPECT_EQ(figures.back().done, copies);
    EXPECT_EQ(figures.back().total, copies);
    EXPECT_FALSE(figures.back().paused);
    bool steady = false;
    for (const TTransferFigures& f : figures) {
        EXPECT_LE(f.done, f.total);
        // Reads are paced, so the measured speed never passes the limit by much.
        EXPECT_LE(f.speed, static_cast<std::int64_t>(kLimit) * 3 / 2);
        if (f.secondsLeft >= 0) steady = true;
    }
    EXPECT_TRUE(steady) << "no time left was ever given";
}

// A pause longer than the close time closes the transfers; on resuming, a
// large copy continues with a range from what its partial copy held, a
// small one (held in memory) starts over.
TEST_F(PaceRun, LongPauseClosesAndResumeContinuesTheCopy) {
    const std::string big = Noise(1 << 20, 5);
    const std::string small = Noise(100000, 7);
    Publish({{"big.dat", {big, true}}, {"small.dat", {small, true}}});
    const std::uint64_t copy = Compress(big).size();
    // About 200 KB/s from the server: the transfer is still going when the
    // view pauses it; the small copy at 25 KB/s takes about 4 s, so it is
    // still going as well.
    SetFault("big.dat.bz2", "trickle 4096 20");
    SetFault("small.dat.bz2", "trickle 512 20");
    TFiguresView view;
    GFilesThread run(view, sync_);
    run.SetPauseCloseAfter(std::chrono::milliseconds(500));
    view.control = run.Control().get();
    view.pauseAt = 256 * 1024;
    Start(run);
    // The server logs the first transfer once its connection is gone.
    ASSERT_TRUE(WaitUntil([&] { return ServedStatuses("big.dat.bz2").size() == 1; }, std::chrono::seconds(60)));
    EXPECT_TRUE(view.PausedOnce());
    const std::uint64_t firstSent = ServedBytes("big.dat.bz2");
    std::uint64_t held = 0;
    for (const std::string& p : Partials()) {
        if (p.find(".tag") == std::string::npos) held = fs::file_size(p);
    }
    // What the view saw when it paused was in the partial copy, apart from
    // what the small copy had brought by then.
    EXPECT_GE(held + Compress(small).size(), static_cast<std::uint64_t>(view.PausedAt()));
    EXPECT_GE(firstSent, held);
    run.Control()->SetPaused(false);
    Join();

    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(ReadLocal("big.dat"), big);
    // The server logs a trickled transfer a moment after its last bytes.
    EXPECT_TRUE(WaitUntil([&] { return ServedStatuses("big.dat.bz2").size() >= 2; }, std::chrono::seconds(10)));
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), ElementsAre(200, 206));
    EXPECT_EQ(ReadLocal("small.dat"), small);
    // A small copy is held in memory and never continued: closed by the
    // pause it is asked for whole again; on a slow machine it may have
    // arrived before the pause closed anything.
    EXPECT_TRUE(WaitUntil([&] { return !ServedStatuses("small.dat.bz2").empty(); }, std::chrono::seconds(10)));
    const std::vector<int> smallStatuses = ServedStatuses("small.dat.bz2");
    EXPECT_LE(smallStatuses.size(), 2u);
    EXPECT_THAT(smallStatuses, Each(200));
    // The range asked for exactly what the partial copy lacked; only what
    // was in flight when the connection closed came twice.
    EXPECT_EQ(ServedBytes("big.dat.bz2"), firstSent + (copy - held));
    EXPECT_LE(firstSent - held, std::uint64_t{512} << 10);
    EXPECT_THAT(Partials(), IsEmpty());
    EXPECT_THAT(Leftovers(), IsEmpty());
    bool sawPaused = false;
    for (const TTransferFigures& f : view.Figures()) sawPaused = sawPaused || f.paused;
    EXPECT_TRUE(sawPaused);
}

// A paused run still ends promptly when stopped, and keeps what it fetched.
TEST_F(PaceRun, PausedRunEndsAtAStop) {
    const std::string big = Noise(1 << 20, 6);
    WriteLocal("big.dat", "old big");
    Publish({{"big.dat", {big, true}}});
    SetFault("big.dat.bz2", "trickle 4096 20");
    TFiguresView view;
    GFilesThread run(view, sync_);
    view.control = run.Control().get();
    view.pauseAt = 64 * 1024;
    Start(run);
    ASSERT_TRUE(WaitUntil([&] { return view.PausedOnce(); }, std::chrono::seconds(60)));
    run.RequestStop();
    EXPECT_TRUE(run.Control()->WaitEnded(std::chrono::seconds(5))) << "the paused run went on after the stop";
    Join();
    EXPECT_FALSE(run.Succeeded());
    EXPECT_EQ(run.Failure().fault, TFault::Stopped);
    EXPECT_EQ(ReadLocal("big.dat"), "old big");
    EXPECT_THAT(Leftovers(), IsEmpty());
}
