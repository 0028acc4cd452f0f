#include "platform/sync.h"

#include <windows.h>

#include <algorithm>

namespace os {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

SRWLOCK* Srw(void* storage) { return static_cast<SRWLOCK*>(storage); }
CONDITION_VARIABLE* Cv(void* storage) { return static_cast<CONDITION_VARIABLE*>(storage); }

}  // namespace

void Mutex::lock() { ::AcquireSRWLockExclusive(Srw(&lock_)); }
void Mutex::unlock() { ::ReleaseSRWLockExclusive(Srw(&lock_)); }
bool Mutex::try_lock() { return ::TryAcquireSRWLockExclusive(Srw(&lock_)) != 0; }

void Condition::notify_one() { ::WakeConditionVariable(Cv(&condition_)); }
void Condition::notify_all() { ::WakeAllConditionVariable(Cv(&condition_)); }

void Condition::wait(std::unique_lock<Mutex>& lock) {
    ::SleepConditionVariableSRW(Cv(&condition_), Srw(lock.mutex()->native()), INFINITE, 0);
}

void Condition::wait_until(std::unique_lock<Mutex>& lock, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const DWORD ms = left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
    ::SleepConditionVariableSRW(Cv(&condition_), Srw(lock.mutex()->native()), ms, 0);
}

}  // namespace os
