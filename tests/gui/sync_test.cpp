// Runs publish status and progress without waiting and the window shows them
// frame by frame; mode changes are handed to the window's thread and waited
// for. Closing the window during a run stops it, neither hangs it nor lets
// it reach the window.
#include "GuiFixture.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace {

using TSyncTest = TFMainTest;

TEST_F(TSyncTest, OperationsRunOnTheWindowThreadWhileTheWorkerWaits) {
    const DWORD windowThread = GetCurrentThreadId();
    std::atomic<int> done{0};
    std::vector<DWORD> ranOn;
    std::vector<int> seenByWorker;
    std::thread worker([&] {
        for (int i = 0; i < 5; ++i) {
            int value = -1;
            form->Link().Synchronize([&] {
                ranOn.push_back(GetCurrentThreadId());
                value = i;
            });
            seenByWorker.push_back(value);  // the operation has run when Synchronize returns
        }
        done = 1;
    });
    const bool finished = PumpUntil([&] { return done.load() == 1; }, std::chrono::seconds(10));
    worker.join();
    ASSERT_TRUE(finished);
    ASSERT_EQ(ranOn.size(), 5u);
    for (DWORD id : ranOn) EXPECT_EQ(id, windowThread);
    EXPECT_EQ(seenByWorker, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(TSyncTest, AnErrorInAnOperationIsRaisedInTheWorker) {
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            form->Link().Synchronize([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    PumpUntil([&] { return caught.load(); }, std::chrono::seconds(10));
    worker.join();
    EXPECT_TRUE(caught);
    EXPECT_TRUE(errorBoxes.empty());
}
TEST_F(TSyncTest, ClosingDuringARunDropsItsOperationsAndNeverBlocksIt) {
    std::atomic<int> ran{0};
    std::atomic<int> calls{0};
    std::atomic<bool> closed{false};
    bool ranAfterClose = false;
    std::shared_ptr<TRunLink> link = form->LinkPtr();
    std::thread worker([&, link] {
        for (int i = 0; i < 200; ++i) {
            // The rest of the calls come only once the window has closed, so
            // that closing happens mid-run whatever the timing.
            if (i == 5) {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!closed.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            }
            link->Synchronize([&] {
                ranAfterClose |= closed.load();
                ++ran;
                link->SyncTotalProgress(i % 100);
            });
            ++calls;
        }
    });
    ASSERT_TRUE(PumpUntil([&] { return ran.load() >= 5; }, std::chrono::seconds(10)));
    closed = true;
    form->Close();
    EXPECT_FALSE(link->Attached());
    form.reset();  // the window object is gone too; the run holds the link
    // The worker finishes every call without the window: no hang.
    const bool finished = PumpUntil([&] { return calls.load() == 200; }, std::chrono::seconds(10));
    worker.join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(ranAfterClose);
    EXPECT_LT(ran.load(), 200);
}

TEST_F(TSyncTest, PublishedStatusNeverWaitsForTheWindowAndTheLatestIsShown) {
    std::shared_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1.SetEnabled(false);  // its start-up run would clear the labels
    form->BeginUpdateView();
    // The window's thread pumps nothing while the worker publishes.
    std::thread worker([link] {
        link->SyncProgressMax(1, 999);
        for (int i = 0; i < 1000; ++i) {
            link->SyncStatus(TRunPhase::Checking, "Comprobando...", " f" + std::to_string(i));
            link->SyncTotalProgress(i);
        }
    });
    worker.join();
    EXPECT_TRUE(form->DBAdvSmoothLabel2.Caption().empty());
    ASSERT_TRUE(PumpUntil([&] { return form->DBAdvSmoothLabel2.Caption() == L" f999"; }, std::chrono::seconds(10)));
    EXPECT_EQ(form->DBAdvSmoothLabel1.Caption(), L"Comprobando...");
    EXPECT_EQ(form->ALProgressBar2.Max(), 999);
    EXPECT_EQ(form->ALProgressBar2.Position(), 999);
}

// Statuses held for a frame or longer each get a frame of their own, in
// order, even when the window comes late; the ones replaced at once are
// coalesced; frames are at least 16 ms apart.
TEST_F(TSyncTest, FramesShowEveryReadableStatusAndComeAtDisplayRate) {
    std::shared_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1.SetEnabled(false);  // its start-up run would clear the labels
    form->BeginUpdateView();
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::wstring>> frames;
    form->FrameShownFn = [&](std::chrono::steady_clock::time_point at) {
        frames.emplace_back(at, form->DBAdvSmoothLabel2.Caption());
    };
    std::thread worker([link] {
        link->SyncStatus(TRunPhase::Downloading, "Descargando...", "held-a");
        std::this_thread::sleep_for(std::chrono::milliseconds(40));  // current for two frames
        link->SyncStatus(TRunPhase::Downloading, "Descargando...", "held-b");
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        for (int i = 0; i < 500; ++i)
            link->SyncStatus(TRunPhase::Checking, "Comprobando...", "quick" + std::to_string(i));
        link->SyncStatus(TRunPhase::Idle, "", "last");
    });
    worker.join();  // the window comes late: everything is waiting for it
    ASSERT_TRUE(
        PumpUntil([&] { return !frames.empty() && frames.back().second == L"last"; }, std::chrono::seconds(10)));
    std::vector<std::wstring> shown;
    for (const auto& f : frames) shown.push_back(f.second);
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], L"held-a");
    EXPECT_EQ(shown[1], L"held-b");
    EXPECT_LE(shown.size(), 4u) << "the quick statuses were not coalesced";
    for (std::size_t i = 1; i < frames.size(); ++i)
        EXPECT_GE(frames[i].first - frames[i - 1].first, TViewFeed::kFrame) << i;
}

// A mode change finds the window as the worker left it, published state
// included, and it stays in order with it.
TEST_F(TSyncTest, ModeChangeSeesEverythingPublishedBeforeIt) {
    std::shared_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1.SetEnabled(false);  // its start-up run would clear the labels
    form->BeginUpdateView();
    std::wstring seenCaption;
    std::int32_t seenMax = -1, seenPosition = -1;
    std::atomic<bool> done{false};
    std::thread worker([&, link] {
        link->SyncStatus(TRunPhase::Extracting, "Extrayendo...", "data\\x.dat");
        link->SyncProgressMax(1, 10);
        link->SyncTotalProgress(7);
        link->Synchronize([&] {
            seenCaption = form->DBAdvSmoothLabel1.Caption();
            seenMax = form->ALProgressBar2.Max();
            seenPosition = form->ALProgressBar2.Position();
            link->EndUpdateView(TFailure{});
        });
        done = true;
    });
    const bool finished = PumpUntil([&] { return done.load(); }, std::chrono::seconds(10));
    worker.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(seenCaption, L"Extrayendo...");
    EXPECT_EQ(seenMax, 10);
    EXPECT_EQ(seenPosition, 7);
    EXPECT_FALSE(form->Image5.Visible());
}

// A real run against a closed port on loopback: it switches the view, fails
// to fetch the list, and closes its view by itself.
TEST_F(TSyncTest, RealRunWithoutAServerEndsInTheIdleView) {
    form->UpdateBaseUrl = "http://127.0.0.1:9/Updater/";
    form->StartRunFn = [](GFilesThread& run) { run.Start(); };
    std::weak_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1Timer();
    EXPECT_TRUE(form->RunActive());
    ASSERT_TRUE(PumpUntil([&] { return !form->RunActive(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(form->ImgBtn1.Visible());
    EXPECT_TRUE(form->ImgBtn2.Visible());
    EXPECT_FALSE(form->Image5.Visible());
    EXPECT_FALSE(form->DBAdvSmoothLabel1.Visible());
    EXPECT_TRUE(form->DBAdvSmoothLabel1.Caption().empty());
    EXPECT_FALSE(form->Timer3.Enabled() || form->Timer4.Enabled() || form->Timer5.Enabled());
    EXPECT_TRUE(form->CheckFiles1.Enabled());
    // The run has freed itself: only the window holds the link now.
    form.reset();
    EXPECT_TRUE(PumpUntil([&] { return link.expired(); }, std::chrono::seconds(10)));
}

// The window goes while a real run waits for the window's thread: the run
// is asked to stop, ends on its own and frees itself.
TEST_F(TSyncTest, RealRunOutlivesTheWindowAndFreesItself) {
    form->UpdateBaseUrl = "http://127.0.0.1:9/Updater/";
    form->StartRunFn = [](GFilesThread& run) { run.Start(); };
    std::weak_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1Timer();
    std::shared_ptr<TRunControl> control = form->RunControl();
    ASSERT_TRUE(control);
    EXPECT_FALSE(control->StopRequested());
    form->Close();
    EXPECT_TRUE(control->StopRequested());
    // The program's entry waits for the run, dispatching what it hands over.
    EXPECT_TRUE(form->StopRun(std::chrono::seconds(30)));
    EXPECT_TRUE(control->Ended());
    form.reset();
    EXPECT_TRUE(PumpUntil([&] { return link.expired(); }, std::chrono::seconds(30)));
}

}  // namespace
