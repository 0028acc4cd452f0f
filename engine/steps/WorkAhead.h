// Work on a list of items done on two cores, with the results taken in list
// order. The check of an installation hashed one file at a time on one core
// at md5sum's speed; with a second thread working ahead, two files are
// hashed at once while the run still shows and decides the entries in order.
//
// A helper thread and the consumer both claim the next unclaimed item, never
// more than Window items past the one the consumer takes: memory is Window
// results plus what two computations hold at once. A helper that reached
// the window's end sleeps until half of it is free again: woken for every
// item taken, it switched threads twice per small file.
#pragma once

#include "platform/sync.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

template <class Result>
class TWorkAhead {
public:
    static constexpr std::size_t Window = 32;

    // Starts the helper thread; work(i) computes the result of item i, on
    // either thread.
    TWorkAhead(std::size_t count, std::function<Result(std::size_t)> work)
        : count_(count), work_(std::move(work)), helper_([this] { Help(); }) {}
    ~TWorkAhead() {
        {
            std::lock_guard<os::Mutex> lock(mutex_);
            stopping_ = true;
        }
        room_.notify_all();
        helper_.join();
    }
    TWorkAhead(const TWorkAhead&) = delete;
    TWorkAhead& operator=(const TWorkAhead&) = delete;

    // The result of item i; items are taken in increasing order (some may be
    // skipped). While the helper still works on i, the caller computes a
    // later item itself rather than wait idle. An error that work raised for
    // item i is raised here.
    Result Take(std::size_t i) {
        std::unique_lock<os::Mutex> lock(mutex_);
        consumed_ = i;
        if (next_ < i) next_ = i;  // skipped items are never computed
        if (helperWaiting_ && HelperMayGo()) room_.notify_one();
        for (;;) {
            Slot& slot = slots_[i % Window];
            if (slot.index == i && slot.done) {
                slot.index = kNone;
                if (slot.error) std::rethrow_exception(std::exchange(slot.error, nullptr));
                return std::move(*slot.result);
            }
            if (next_ < count_ && next_ < i + Window) {
                RunOne(lock);
            } else {
                // Slot i is the helper's: it says when it is done.
                done_.wait(lock);
            }
        }
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Slot {
        std::size_t index = kNone;
        bool done = false;
        std::optional<Result> result;
        std::exception_ptr error;
    };

    // Claims the next item and computes it outside the lock.
    void RunOne(std::unique_lock<os::Mutex>& lock) {
        const std::size_t j = next_++;
        Slot& slot = slots_[j % Window];
        slot.index = j;
        slot.done = false;
        slot.result.reset();
        slot.error = nullptr;
        lock.unlock();
        std::optional<Result> result;
        std::exception_ptr error;
        try {
            result.emplace(work_(j));
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (slot.index != j) return;  // skipped meanwhile, and the slot given to a later item
        slot.result = std::move(result);
        slot.error = error;
        slot.done = true;
        done_.notify_one();  // only the consumer waits for a slot
    }

    // Half the window free, or every item left fits in what is free.
    bool HelperMayGo() const {
        if (next_ >= count_) return false;
        const std::size_t free = consumed_ + Window - next_;
        return next_ < consumed_ + Window && free >= std::min(Window / 2, count_ - next_);
    }

    void Help() {
        std::unique_lock<os::Mutex> lock(mutex_);
        while (!stopping_) {
            if (next_ < count_ && next_ < consumed_ + Window) {
                RunOne(lock);
                continue;
            }
            helperWaiting_ = true;
            room_.wait(lock, [&] { return stopping_ || HelperMayGo(); });
            helperWaiting_ = false;
        }
    }

    const std::size_t count_;
    const std::function<Result(std::size_t)> work_;
    os::Mutex mutex_;
    os::Condition done_;  // a slot is done (the consumer waits)
    os::Condition room_;  // the helper may claim again
    std::array<Slot, Window> slots_{};
    std::size_t next_ = 0;      // first item not claimed yet
    std::size_t consumed_ = 0;  // the item the consumer takes now
    bool stopping_ = false;
    bool helperWaiting_ = false;
    std::thread helper_;  // last: starts once everything above is ready
};
