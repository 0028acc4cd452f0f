// What an update run shows, and how it gets to the window's thread.
//
// The worker never touches a control. Status and progress (SyncStatus,
// SyncProgressMax and the positions) are called on the worker's own thread,
// in order, and must not block: the window publishes them (TViewFeed) and
// paints at display rate. The mode changes (BeginUpdateView, EndUpdateView,
// ShowUpdateFinished) are handed to the view's thread through the front
// end's TSynchronizer while the worker waits. The window (TFMain, through
// its TRunLink), the console front end and the test views implement
// TUpdateView.
#pragma once

#include "platform/errors.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the run is doing. The first status line is the phase's text; a view
// that acts on the phase itself (the console's progress line) reads it here
// rather than recognising the text.
enum class TRunPhase : std::uint8_t { Idle, Searching, CheckingFiles, Checking, Downloading, Extracting, Failed };

// How far the downloads of an install are, in bytes, for the player.
struct TTransferFigures {
    std::int64_t done = 0;          // bytes of the install's downloads received so far
    std::int64_t total = 0;         // bytes they come to in all (as far as known)
    std::int64_t speed = 0;         // bytes per second, smoothed over several seconds; 0 until known
    std::int64_t secondsLeft = -1;  // -1 until the speed is steady
    bool paused = false;
};

// The next publication fetched ahead once the install is current
// (engine/steps/NextStep), for the idle view.
struct TNextFigures {
    std::int64_t staged = 0;  // bytes of its contents the install holds
    std::int64_t needed = 0;  // bytes it needs beyond the installed files
    bool going = false;       // still fetching; false once it has ended
    bool shortOf = false;     // ended without all of it (a stop or a fault, which the log tells)
};

class TUpdateView {
public:
    virtual ~TUpdateView() = default;
    // The phase, its text (the first status line, empty when idle) and the
    // second status line (a relative path).
    virtual void SyncStatus(TRunPhase phase, const std::string& status, const std::string& detail) = 0;
    // Selector 0: maximum of the file bar; 1: of the total bar; others: none.
    virtual void SyncProgressMax(std::int32_t selector, std::int32_t value) = 0;
    // Position of the file bar during a download.
    virtual void SyncFileProgress(std::int32_t value) = 0;
    // Position of the file bar during a decoding.
    virtual void SyncExtractProgress(std::int32_t value) = 0;
    // Position of the total bar.
    virtual void SyncTotalProgress(std::int32_t value) = 0;
    virtual void BeginUpdateView() = 0;
    // The run has ended: back to the idle view. failure is the reason of
    // its first failure when the view was told of one ("Actualización
    // Fallida"); None after a success and after a run that ended without a
    // word to the view (no server answered for the list).
    virtual void EndUpdateView(const TFailure& failure) = 0;
    // The end-of-install notice; the balloon only when nothing failed.
    virtual void ShowUpdateFinished(bool installFailed) = 0;
    // One entry of the install loop has ended: installed when failure is
    // None, else failed with its reason (the console prints a line per file;
    // the window shows none).
    virtual void EntryFinished(const std::string& /*path*/, const TFailure& /*failure*/) {}
    // The install's download figures, a few times a second while it
    // downloads; published like the positions (never blocks).
    virtual void SyncTransfer(const TTransferFigures& /*figures*/) {}
    // How far the next publication's pre-download is: when it begins, at
    // each content staged, and once when it ends. Published like the
    // positions; it comes after the update view has ended.
    virtual void SyncNext(const TNextFigures& /*next*/) {}
    // A server gave no usable list and the next is asked (or none is
    // left): its base URL and why.
    virtual void ServerSkipped(const std::string& /*baseUrl*/, const TFailure& /*failure*/) {}
    // Once the live list is read: the channels it offers, in its order, and
    // the one the run follows (empty: the live publication, also when the
    // one asked for is no longer offered). Handed to the view's thread.
    virtual void ChannelsKnown(const std::vector<std::string>& /*offered*/, const std::string& /*followed*/) {}
};

// Runs an operation on the view's thread and returns once it has run.
class TSynchronizer {
public:
    virtual ~TSynchronizer() = default;
    virtual void Synchronize(const std::function<void()>& operation) = 0;
};

// For front ends whose view lives on the worker's own thread (the console
// tool, tests): the operation simply runs.
class TDirectSynchronizer final : public TSynchronizer {
public:
    void Synchronize(const std::function<void()>& operation) override { operation(); }
};
