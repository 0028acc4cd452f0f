#include "engine/ahead/AheadQueue.h"

#include "engine/fetch/Resume.h"

namespace {

// What an entry claimed ahead holds of the budget: its copy's largest size
// and its decoded size; an object's, its decoded size only (it is decoded
// as it arrives; a failed one's copy goes to disk).
std::uint64_t CostOf(const std::optional<TAheadJob>& job) {
    if (!job) return 0;
    const auto copy = job->object.empty() ? static_cast<std::uint64_t>(job->copyLimit) : 0;
    return static_cast<std::uint64_t>(job->size) + copy;
}

}  // namespace

TAheadQueue::TAheadQueue(std::uint64_t budget, std::size_t count,
                         std::function<std::optional<TAheadJob>(std::size_t)> jobAt)
    : budget_(budget), count_(count), jobAt_(std::move(jobAt)) {}

TAheadQueue::~TAheadQueue() {
    for (auto& [index, slot] : slots_) {
        // Decoded ahead for an entry never installed, or fetched whole and
        // not decoded yet (a complete copy is never continued).
        if (!slot.part.empty()) os::DeleteFile(slot.part);
        if (!slot.claim.part.empty()) os::DeleteFile(slot.claim.part);
        DropCopy(slot.claim);
        DropPatches(slot.claim);
    }
}

void TAheadQueue::Stop() {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

// The next entry in order is always claimed; later ones while they fit the
// window and the byte budget.
bool TAheadQueue::CanClaim() {
    if (exhausted_ || next_ >= count_) return false;
    if (next_ <= consumed_) return true;
    if (next_ >= consumed_ + Window) return false;
    if (!nextJob_ || nextJob_->first != next_) nextJob_.emplace(next_, jobAt_(next_));
    return ahead_ + CostOf(nextJob_->second) <= budget_;
}

TAheadQueue::Slot& TAheadQueue::Claim() {
    const std::size_t j = next_++;
    Slot& slot = slots_.try_emplace(j, *this).first->second;
    slot.job = nextJob_ && nextJob_->first == j ? std::move(nextJob_->second) : jobAt_(j);
    nextJob_.reset();
    slot.claim.entry = j;
    slot.claim.job = slot.job ? &*slot.job : nullptr;
    slot.claim.progress = &slot;
    slot.cost = CostOf(slot.job);
    ahead_ += slot.cost;
    return slot;
}

TClaim* TAheadQueue::NextToFetch(const std::function<bool()>& serves, bool& fromZero) {
    std::unique_lock<os::Mutex> lock(mutex_);
    for (;;) {
        while (!changed_.wait_for(lock, std::chrono::milliseconds(100), [&] {
            return stopping_ || ((!fetchAgain_.empty() || !sameReady_.empty() || CanClaim()) && serves());
        })) {
        }
        if (stopping_) return nullptr;
        if (TClaim* claim = ClaimLocked(fromZero)) return claim;
    }
}

TClaim* TAheadQueue::TryNextToFetch(bool& fromZero) {
    std::lock_guard<os::Mutex> lock(mutex_);
    while (!stopping_ && (!fetchAgain_.empty() || !sameReady_.empty() || CanClaim())) {
        if (TClaim* claim = ClaimLocked(fromZero)) return claim;
    }
    return nullptr;
}

// The next claim once the bounds allowed one (mutex_ held); null when the
// entry claimed needs no fetch, or waits for an earlier one of its content.
TClaim* TAheadQueue::ClaimLocked(bool& fromZero) {
    fromZero = !fetchAgain_.empty();
    if (fromZero) {
        const std::size_t j = *fetchAgain_.begin();
        fetchAgain_.erase(fetchAgain_.begin());
        Slot& slot = slots_.at(j);
        KeepInMemoryIfRoom(slot);
        return &slot.claim;
    }
    if (!sameReady_.empty()) {
        Slot& slot = slots_.at(*sameReady_.begin());
        sameReady_.erase(sameReady_.begin());
        KeepInMemoryIfRoom(slot);
        return &slot.claim;
    }
    Slot& slot = Claim();
    if (slot.job && Waits(slot)) return nullptr;
    if (slot.job) {
        KeepInMemoryIfRoom(slot);
        return &slot.claim;
    }
    // Nothing to fetch: the run's thread gives its reason.
    Finish(slot, TFetched::Failed, TFailure{});
    changed_.notify_all();
    return nullptr;
}

// An entry whose content an earlier one brings waits until the run put
// that one in place (mutex_ held); it is copied from the earlier one's file
// when that was installed, else fetched.
bool TAheadQueue::Waits(Slot& slot) {
    if (!slot.job->sameAs) return false;
    const std::size_t first = *slot.job->sameAs;
    if (slots_.contains(first) || (taken_ && taken_->index == first)) {
        sameWaiting_.emplace(first, slot.claim.entry);
        return true;
    }
    if (const auto it = sharedTaken_.find(first); it != sharedTaken_.end()) slot.claim.localFrom = it->second;
    return false;
}

// The run asks for an entry after the last first one taken, which it put in
// place by then: what waited for it may be fetched (mutex_ held).
void TAheadQueue::Release(std::size_t before) {
    if (!taken_ || taken_->index >= before) return;
    const TTaken taken = std::move(*taken_);
    taken_.reset();
    const bool ready = taken.outcome == TAheadOutcome::Ready;
    if (ready) sharedTaken_.emplace(taken.index, taken.path);
    const auto [begin, end] = sameWaiting_.equal_range(taken.index);
    for (auto it = begin; it != end; ++it) {
        if (ready) slots_.at(it->second).claim.localFrom = taken.path;
        sameReady_.insert(it->second);
    }
    sameWaiting_.erase(begin, end);
    changed_.notify_all();
}

// Small copies stay in memory while the budget has room for their largest
// size; the others (and the rest) go to disk.
void TAheadQueue::KeepInMemoryIfRoom(Slot& slot) {
    // An object is decoded as it arrives: nothing of it is held.
    if (!slot.job->object.empty() && slot.claim.objectFailedAt.empty()) return;
    const auto limit = static_cast<std::uint64_t>(slot.job->copyLimit);
    if (static_cast<std::uint64_t>(slot.job->size) < kResumableSize && inMemory_ + limit <= MemoryBudget) {
        slot.claim.memory = limit;
        inMemory_ += limit;
    }
}

void TAheadQueue::Fetched(TClaim& claim, TFetched fetched, TFailure failure) {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        Slot& slot = slots_.at(claim.entry);
        if (fetched == TFetched::Copy || fetched == TFetched::Ready) {
            slot.fetched = true;
            slot.fetchedCopy = slot.state.bytes;
            slot.fetchedSize = slot.job->size;
            tally_.fetchedCopies += slot.fetchedCopy;
            tally_.fetchedSizes += slot.fetchedSize;
        }
        if (fetched == TFetched::Copy) {
            toDecode_.insert(claim.entry);
        } else if (fetched == TFetched::Ready) {
            // Decoded and verified as it arrived: no decoder stage.
            inMemory_ -= claim.memory;
            claim.memory = 0;
            slot.outcome = TAheadOutcome::Ready;
            slot.part = std::move(claim.part);
            slot.state.stage = TAheadStage::Done;
        } else {
            Finish(slot, fetched, std::move(failure));
        }
    }
    changed_.notify_all();
}

// A failed entry is done (mutex_ held).
void TAheadQueue::Finish(Slot& slot, TFetched fetched, TFailure failure) {
    if (slot.job) tally_.failedSizes += slot.job->size;
    inMemory_ -= slot.claim.memory;
    slot.claim.memory = 0;
    slot.claim.copy = {};
    slot.outcome = fetched == TFetched::Unreachable ? TAheadOutcome::Unreachable : TAheadOutcome::Failed;
    slot.failure = std::move(failure);
    slot.state.stage = TAheadStage::Done;
    // A server that can't be reached ends the loop at this entry.
    if (fetched == TFetched::Unreachable) exhausted_ = true;
}

TClaim* TAheadQueue::NextToDecode() {
    std::unique_lock<os::Mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || !toDecode_.empty(); });
    if (stopping_) return nullptr;
    const std::size_t j = *toDecode_.begin();
    toDecode_.erase(toDecode_.begin());
    return &slots_.at(j).claim;
}

void TAheadQueue::Decoded(TClaim& claim, TDecoded decoded) {
    {
        std::lock_guard<os::Mutex> lock(mutex_);
        Slot& slot = slots_.at(claim.entry);
        inMemory_ -= claim.memory;
        claim.memory = 0;
        if (decoded.again) {
            fetchAgain_.insert(claim.entry);
            slot.fetched = false;
            tally_.fetchedCopies -= slot.fetchedCopy;
            tally_.fetchedSizes -= slot.fetchedSize;
        } else {
            slot.outcome = decoded.outcome;
            slot.failure = std::move(decoded.failure);
            slot.part = std::move(decoded.part);
            slot.state.stage = TAheadStage::Done;
        }
    }
    changed_.notify_all();
}

TAheadState TAheadQueue::Wait(std::size_t i, std::chrono::steady_clock::duration wait) {
    std::unique_lock<os::Mutex> lock(mutex_);
    Release(i);
    if (consumed_ != i) {
        consumed_ = i;
        changed_.notify_all();
    }
    const auto done = [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TAheadStage::Done;
    };
    changed_.wait_for(lock, wait, done);
    const auto it = slots_.find(i);
    return it == slots_.end() ? TAheadState{} : it->second.state;
}

TAheadOutcome TAheadQueue::Take(std::size_t i, std::string& part, TFailure& failure, std::string* note) {
    std::unique_lock<os::Mutex> lock(mutex_);
    Release(i);
    consumed_ = i;
    changed_.notify_all();
    changed_.wait(lock, [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TAheadStage::Done;
    });
    const auto it = slots_.find(i);
    const TAheadOutcome outcome = it->second.outcome;
    part = std::move(it->second.part);
    failure = std::move(it->second.failure);
    if (note) *note = std::move(it->second.claim.note);
    if (it->second.job && it->second.job->shared) taken_ = TTaken{i, outcome, it->second.job->path};
    ahead_ -= it->second.cost;
    slots_.erase(it);
    consumed_ = i + 1;
    changed_.notify_all();
    return outcome;
}

TAheadQueue::TTally TAheadQueue::Tally() {
    std::lock_guard<os::Mutex> lock(mutex_);
    TTally tally = tally_;
    tally.inHand = tally_.fetchedCopies;
    for (const auto& [index, slot] : slots_) {
        if (slot.state.stage == TAheadStage::Downloading && !slot.fetched) tally.inHand += slot.state.bytes;
    }
    return tally;
}

void TAheadQueue::Slot::Begin(TAheadStage stage, std::int64_t compressed) {
    {
        std::lock_guard<os::Mutex> lock(queue.mutex_);
        if (stage == TAheadStage::Downloading) {
            ++state.attempt;
            state.compressed = 0;
            state.from = 0;
        }
        state.stage = stage;
        state.bytes = 0;
        if (compressed >= 0) state.compressed = compressed;
    }
    queue.changed_.notify_all();
}

void TAheadQueue::Slot::From(std::int64_t offset) {
    std::lock_guard<os::Mutex> lock(queue.mutex_);
    state.from = offset;
    state.bytes = offset;
}

void TAheadQueue::Slot::Bytes(std::int64_t bytes) {
    std::lock_guard<os::Mutex> lock(queue.mutex_);
    if (state.stage == TAheadStage::Downloading && bytes > state.bytes) queue.tally_.received += bytes - state.bytes;
    state.bytes = bytes;
}
