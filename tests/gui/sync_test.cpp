// Runs hand their operations to the window's thread and wait; closing the
// window during a run neither hangs the run nor lets it reach the window.
#include "GuiFixture.h"

#include <atomic>
#include <thread>

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
// ends on its own and frees itself.
TEST_F(TSyncTest, RealRunOutlivesTheWindowAndFreesItself) {
    form->UpdateBaseUrl = "http://127.0.0.1:9/Updater/";
    form->StartRunFn = [](GFilesThread& run) { run.Start(); };
    std::weak_ptr<TRunLink> link = form->LinkPtr();
    form->Timer1Timer();
    form.reset();  // closed before the run could show anything
    EXPECT_TRUE(PumpUntil([&] { return link.expired(); }, std::chrono::seconds(30)));
}

}  // namespace
