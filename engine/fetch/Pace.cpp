#include "engine/fetch/Pace.h"

#include "engine/fetch/RunControl.h"

#include <algorithm>
#include <optional>

namespace {

// The bucket holds an eighth of a second of the limit: a 1 s window then
// carries at most 1.125 times it, and a read is never smaller than what is
// worth a wake (1 KiB) nor larger than a block.
double Capacity(std::uint64_t rate) { return std::max(static_cast<double>(rate) / 8.0, 1024.0); }

// A read waits until this much can be taken at once, so a slow limit makes
// few reads of a useful size rather than many of a byte.
double Quantum(std::uint64_t rate, std::size_t want) {
    return std::min({Capacity(rate), 16384.0, static_cast<double>(want)});
}

bool Asked(const std::function<bool()>& stopped) { return stopped && stopped(); }

}  // namespace

bool TPace::Paused() const { return control_.Paused(); }

void TPace::WaitWhilePaused(const std::function<bool()>& stopped) const {
    std::unique_lock<os::Mutex> lock(mutex_);
    while (control_.Paused()) {
        if (Asked(stopped)) throw ERunStopped();
        changed_.wait_for(lock, kWake, [] { return false; });
    }
    if (Asked(stopped)) throw ERunStopped();
}

std::size_t TPace::Take(std::size_t want, const std::function<bool()>& stopped) {
    if (want == 0) return 0;
    std::unique_lock<os::Mutex> lock(mutex_);
    std::optional<Clock::time_point> pausedSince;
    for (;;) {
        if (Asked(stopped)) throw ERunStopped();
        const Clock::time_point now = Clock::now();
        if (control_.Paused()) {
            if (!pausedSince) pausedSince = now;
            if (now - *pausedSince >= closeAfter_) throw ETransferPaused();
            changed_.wait_for(lock, kWake, [] { return false; });
            continue;
        }
        const std::uint64_t rate = control_.RateLimit();
        if (rate == 0) {
            rate_ = 0;
            return want;
        }
        pausedSince.reset();
        if (rate != rate_) {
            // A new limit starts from an empty bucket: nothing saved up
            // under the old one comes at once.
            tokens_ = 0;
            rate_ = rate;
            filled_ = now;
        }
        const double elapsed = std::chrono::duration<double>(now - filled_).count();
        tokens_ = std::min(Capacity(rate), tokens_ + elapsed * static_cast<double>(rate));
        filled_ = now;
        const double quantum = Quantum(rate, want);
        if (tokens_ >= quantum) {
            const auto granted = static_cast<std::size_t>(std::min(tokens_, static_cast<double>(want)));
            tokens_ -= static_cast<double>(granted);
            return granted;
        }
        const auto needed = std::chrono::duration<double>((quantum - tokens_) / static_cast<double>(rate));
        const auto wait = std::min(std::chrono::duration_cast<Clock::duration>(needed) + std::chrono::milliseconds(1),
                                   kWake);
        changed_.wait_for(lock, wait, [] { return false; });
    }
}

void TPace::GiveBack(std::size_t unused) {
    if (unused == 0) return;
    std::lock_guard<os::Mutex> lock(mutex_);
    if (rate_ != 0) tokens_ = std::min(Capacity(rate_), tokens_ + static_cast<double>(unused));
}
