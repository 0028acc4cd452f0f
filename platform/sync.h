// A mutex and a condition variable for the threads of a run. On Windows the
// thread library's std::mutex and std::condition_variable wait on kernel
// events and semaphores: under Wine every wait, wake and contended unlock is
// a round trip to the server (about a third of the server's requests of a
// fresh install of small files). The system's slim lock and condition
// variable wait in the process. Elsewhere they are the standard ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace os {

#ifdef _WIN32

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();
    bool try_lock();
    void* native() { return &lock_; }

private:
    void* lock_ = nullptr;  // an SRWLOCK: one pointer, zero when free
};

class Condition {
public:
    using Clock = std::chrono::steady_clock;
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    void notify_one();
    void notify_all();
    void wait(std::unique_lock<Mutex>& lock);
    template <class Ready>
    void wait(std::unique_lock<Mutex>& lock, Ready ready) {
        while (!ready()) wait(lock);
    }
    // Returns on a wake, at the deadline, or spuriously: callers re-check.
    void wait_until(std::unique_lock<Mutex>& lock, Clock::time_point deadline);
    template <class Rep, class Period, class Ready>
    bool wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> timeout, Ready ready) {
        const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
        while (!ready()) {
            if (Clock::now() >= deadline) return ready();
            wait_until(lock, deadline);
        }
        return true;
    }

private:
    void* condition_ = nullptr;  // a CONDITION_VARIABLE: one pointer, zero when unused
};

#else

using Mutex = std::mutex;
using Condition = std::condition_variable;

#endif

}  // namespace os
