// Shared helpers of the window's tests: a TFMain with recording seams, a
// message pump with a deadline, and pixel comparisons against the pictures
// that the window draws.
#pragma once

#include "engine/GetFilesThr.h"
#include "ui/Application.h"
#include "ui/UnitMain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Dispatches messages until pred holds or the time is up; true when it held.
bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);
// Dispatches the messages that are already waiting.
void PumpPending();

// Share of the picture's opaque pixels (inside clip, in client coordinates)
// that the rendering shows unchanged with the picture at (left, top).
double OpaqueMatch(const TPixels& screen, const TPicture& picture, int left, int top, const RECT& clip);
// Pixels of the area that differ between two renderings.
int DifferingPixels(const TPixels& a, const TPixels& b, const RECT& area);

struct TRecordedRun {
    std::string BaseUrl;
    bool ForceCheck;
    bool FreeOnTerminate;
};

struct TNotifyCall {
    DWORD Message;
    UINT Flags;
    std::wstring InfoTitle;
    std::wstring Info;
    DWORD InfoFlags;
    UINT Timeout;
};

class TFMainTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Sends a mouse message at a client point.
    void Mouse(UINT message, int x, int y);
    void Click(int x, int y);
    void ClickControl(const TControl& control);

    std::unique_ptr<TFMain> form;
    // What the seams saw.
    std::vector<TRecordedRun> runs;
    std::vector<std::unique_ptr<GFilesThread>> heldRuns;  // recorded runs are never started
    std::vector<std::string> programs;
    std::vector<std::string> addresses;
    std::vector<std::string> errorBoxes;
    std::vector<TNotifyCall> notifications;

private:
    std::function<void(const std::string&)> savedErrorBox_;
};
