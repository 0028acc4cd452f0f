#include "engine/view/ViewFeed.h"

#include <algorithm>
#include <utility>

TViewFeed::TViewFeed(std::function<void()> wake, std::size_t capacity, std::function<Clock::time_point()> now)
    : wake_(std::move(wake)), capacity_(std::max<std::size_t>(capacity, 2)), now_(std::move(now)) {}

void TViewFeed::Status(TRunPhase phase, const std::string& status, const std::string& detail) {
    Op op{Kind::Status};
    op.phase = phase;
    op.status = status;
    op.detail = detail;
    Push(std::move(op));
}

void TViewFeed::ProgressMax(std::int32_t selector, std::int32_t value) { Push(Op{Kind::Max, selector, value}); }
void TViewFeed::FileProgress(std::int32_t value) { Push(Op{Kind::File, value}); }
void TViewFeed::ExtractProgress(std::int32_t value) { Push(Op{Kind::Extract, value}); }
void TViewFeed::TotalProgress(std::int32_t value) { Push(Op{Kind::Total, value}); }
void TViewFeed::Transfer(const TTransferFigures& figures) {
    Op op{Kind::Transfer};
    op.figures = figures;
    Push(std::move(op));
}

void TViewFeed::Next(const TNextFigures& next) {
    Op op{Kind::Next};
    op.next = next;
    Push(std::move(op));
}

void TViewFeed::Push(Op op) {
    bool wake = false;
    {
        std::unique_lock<os::Mutex> lock(mutex_);
        room_.wait(lock, [&] { return closed_ || ops_.size() < capacity_; });
        if (closed_) return;
        op.at = now_();
        if (op.kind == Kind::Status) {
            // The status this one replaces, if the window hasn't taken it:
            // shown for less than a frame, nobody could have read it.
            auto last = std::find_if(ops_.rbegin(), ops_.rend(), [](const Op& o) { return o.kind == Kind::Status; });
            if (last != ops_.rend() && op.at - last->at < kFrame) ops_.erase(std::next(last).base());
        }
        ops_.push_back(std::move(op));
        if (!wakePending_) wake = wakePending_ = true;
    }
    // Outside the lock: the window may take the operations at once.
    if (wake && wake_) wake_();
}

std::deque<TViewFeed::Op> TViewFeed::Take(bool oneFrame) {
    std::deque<Op> taken;
    std::lock_guard<os::Mutex> lock(mutex_);
    std::size_t end = ops_.size();
    if (oneFrame) {
        bool sawStatus = false;
        for (std::size_t i = 0; i < ops_.size(); ++i) {
            if (ops_[i].kind != Kind::Status) continue;
            if (sawStatus) {
                end = i;
                break;
            }
            sawStatus = true;
        }
    }
    taken.insert(taken.end(), std::make_move_iterator(ops_.begin()),
                 std::make_move_iterator(ops_.begin() + static_cast<std::ptrdiff_t>(end)));
    ops_.erase(ops_.begin(), ops_.begin() + static_cast<std::ptrdiff_t>(end));
    // With nothing left, the next operation wakes the window again.
    if (ops_.empty()) wakePending_ = false;
    room_.notify_all();
    return taken;
}

bool TViewFeed::TakeFrame(TUpdateView& view) {
    for (const Op& op : Take(true)) Apply(op, view);
    std::lock_guard<os::Mutex> lock(mutex_);
    return !ops_.empty();
}

void TViewFeed::Drain(TUpdateView& view) {
    for (const Op& op : Take(false)) Apply(op, view);
}

void TViewFeed::Close() {
    std::lock_guard<os::Mutex> lock(mutex_);
    closed_ = true;
    ops_.clear();
    room_.notify_all();
}

std::size_t TViewFeed::Pending() const {
    std::lock_guard<os::Mutex> lock(mutex_);
    return ops_.size();
}

void TViewFeed::Apply(const Op& op, TUpdateView& view) {
    switch (op.kind) {
        case Kind::Status: view.SyncStatus(op.phase, op.status, op.detail); break;
        case Kind::Max: view.SyncProgressMax(op.a, op.b); break;
        case Kind::File: view.SyncFileProgress(op.a); break;
        case Kind::Extract: view.SyncExtractProgress(op.a); break;
        case Kind::Total: view.SyncTotalProgress(op.a); break;
        case Kind::Transfer: view.SyncTransfer(op.figures); break;
        case Kind::Next: view.SyncNext(op.next); break;
    }
}
