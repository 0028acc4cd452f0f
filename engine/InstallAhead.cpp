#include "engine/InstallAhead.h"

#include "engine/CopyStreams.h"
#include "engine/ListTrust.h"
#include "engine/Resume.h"
#include "engine/RunControl.h"
#include "engine/TempNames.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"
#include "formats/md5.h"

#include <vector>

namespace {

std::uint64_t CostOf(const std::optional<TAheadJob>& job) {
    if (!job) return 0;
    return static_cast<std::uint64_t>(job->size) + static_cast<std::uint64_t>(job->copyLimit);
}

}  // namespace

struct TInstallAhead::TWorker {
    std::optional<os::HttpSession>& http;
    const std::string& agent;
    os::HttpSession& Http() {
        if (!http) http.emplace(agent);
        return *http;
    }
};

TInstallAhead::TInstallAhead(TOptions options, std::size_t count,
                             std::function<std::optional<TAheadJob>(std::size_t)> jobAt)
    : options_(std::move(options)), count_(count), jobAt_(std::move(jobAt)) {
    const std::size_t n = static_cast<std::size_t>(options_.connections > 1 ? options_.connections : 1);
    sessions_.resize(n);
    if (options_.session && *options_.session) sessions_[0] = std::move(*options_.session);
    workers_.reserve(n);
    for (std::size_t w = 0; w < n; ++w) workers_.emplace_back([this, w] { Work(w); });
}

TInstallAhead::~TInstallAhead() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    for (auto& [index, slot] : slots_) {
        if (!slot.part.empty()) os::DeleteFile(slot.part);  // decoded ahead for an entry never installed
    }
    if (options_.session && sessions_[0]) *options_.session = std::move(sessions_[0]);
}

TInstallAhead::TState TInstallAhead::Wait(std::size_t i, std::chrono::steady_clock::duration wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (consumed_ != i) {
        consumed_ = i;
        changed_.notify_all();
    }
    const auto done = [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TStage::Done;
    };
    changed_.wait_for(lock, wait, done);
    const auto it = slots_.find(i);
    return it == slots_.end() ? TState{} : it->second.state;
}

TInstallAhead::TOutcome TInstallAhead::Take(std::size_t i, std::string& part) {
    std::unique_lock<std::mutex> lock(mutex_);
    consumed_ = i;
    changed_.notify_all();
    changed_.wait(lock, [&] {
        const auto it = slots_.find(i);
        return it != slots_.end() && it->second.state.stage == TStage::Done;
    });
    const auto it = slots_.find(i);
    const TOutcome outcome = it->second.outcome;
    part = std::move(it->second.part);
    ahead_ -= it->second.cost;
    slots_.erase(it);
    consumed_ = i + 1;
    changed_.notify_all();
    return outcome;
}

// The next entry in order is always claimed; later ones while they fit the
// window and the byte budget.
bool TInstallAhead::CanClaim() {
    if (exhausted_ || next_ >= count_) return false;
    if (next_ <= consumed_) return true;
    if (next_ >= consumed_ + Window) return false;
    if (!nextCost_ || nextCost_->first != next_) nextCost_.emplace(next_, CostOf(jobAt_(next_)));
    return ahead_ + nextCost_->second <= options_.budget;
}

void TInstallAhead::Work(std::size_t w) {
    TWorker worker{sessions_[w], options_.agent};
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || CanClaim(); });
        if (stopping_) return;
        const std::size_t j = next_++;
        Slot& slot = slots_[j];
        slot.cost = nextCost_ && nextCost_->first == j ? nextCost_->second : CostOf(jobAt_(j));
        ahead_ += slot.cost;
        lock.unlock();
        const std::optional<TAheadJob> job = jobAt_(j);
        std::string part;
        TOutcome outcome = TOutcome::Failed;
        if (job) {
            try {
                outcome = Prepare(worker, slot, *job, part);
            } catch (const std::exception&) {
                outcome = TOutcome::Failed;
            }
        }
        lock.lock();
        slot.outcome = outcome;
        slot.part = std::move(part);
        slot.state.stage = TStage::Done;
        // A server that can't be reached ends the loop at this entry.
        if (outcome == TOutcome::Unreachable) exhausted_ = true;
        changed_.notify_all();
    }
}

// Fetches and decodes one entry; a resumed copy that fails verification is
// fetched once more, whole.
TInstallAhead::TOutcome TInstallAhead::Prepare(TWorker& worker, Slot& slot, const TAheadJob& job, std::string& part) {
    const std::string target = options_.installDir + job.path;
    const std::string targetDir = target.substr(0, target.rfind('\\') + 1);
    for (bool fromZero = false;; fromZero = true) {
        SetState(slot, TStage::Downloading, 0);
        std::string archive;
        bool resumed = false;
        try {
            {
                std::lock_guard<std::mutex> lock(namesMutex_);
                if (!os::DirectoryExists(targetDir)) os::ForceDirectories(targetDir);
            }
            archive = Fetch(worker, slot, job, fromZero, resumed);
        } catch (const std::exception&) {
            return TOutcome::Failed;
        }
        if (archive.empty()) return TOutcome::Unreachable;

        // At most Decoders copies at once: the decoders' memory, and the cores.
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || decoding_ < Decoders; });
            ++decoding_;
        }
        struct Release {
            TInstallAhead& ahead;
            ~Release() {
                {
                    std::lock_guard<std::mutex> lock(ahead.mutex_);
                    --ahead.decoding_;
                }
                ahead.changed_.notify_all();
            }
        } release{*this};
        try {
            part = Pick(job.path, ".part");
            DecodeVerified(archive, part, job, slot);
            return TOutcome::Ready;
        } catch (const ERunStopped&) {
            part.clear();
            return TOutcome::Failed;
        } catch (const std::exception&) {
            part.clear();
            if (!resumed) return TOutcome::Failed;
        }
    }
}

// The entry's copy over the worker's own connection, as the run's FetchCopy
// fetches it; "" when the server can't be reached.
std::string TInstallAhead::Fetch(TWorker& worker, Slot& slot, const TAheadJob& job, bool fromZero, bool& resumed) {
    const TCopyFetch how{
        worker.Http(), options_.installDir, *options_.temps,
        [this](const std::string& relative, const std::string& suffix) { return Pick(relative, suffix); },
        [this, &slot, &job](os::HttpResponse& response, os::File& file, std::uint64_t offset, bool& broken) {
            Receive(response, file, offset, job.copyLimit, slot, broken);
        }};
    return FetchEntryCopy(how, job.url, job.path, job.digest, static_cast<std::uint64_t>(job.size),
                          static_cast<std::uint64_t>(job.copyLimit), fromZero, resumed);
}

void TInstallAhead::Receive(os::HttpResponse& response, os::File& file, std::uint64_t offset, std::int64_t limit,
                            Slot& slot, bool& broken) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.state.from = static_cast<std::int64_t>(offset);
        slot.state.bytes = static_cast<std::int64_t>(offset);
    }
    ReceiveCopy(
        response, file, offset, static_cast<std::uint64_t>(limit),
        [this, &slot](std::uint64_t received) { SetBytes(slot, static_cast<std::int64_t>(received)); },
        [this] { return Stopped(); }, broken);
}

// Decodes archive into part (removing archive in every case), no larger than
// the entry's size, then checks the MD5 and, with a key, the SHA-256; a copy
// that fails is removed.
void TInstallAhead::DecodeVerified(const std::string& archive, const std::string& part, const TAheadJob& job,
                                   Slot& slot) {
    auto source = std::make_unique<TFileStream>(archive, TFileStream::Mode::OpenRead, os::Share::Read);
    SetState(slot, TStage::Extracting, 0, source->Size());
    std::unique_ptr<TCopyHasher> hasher;
    if (options_.trust->Enabled()) hasher = std::make_unique<TCopyHasher>();
    bool created = false;
    try {
        TFileStream target(part, TFileStream::Mode::CreateNew, os::Share::None);
        created = true;
        TBZDecompressionStream decoder(*source);
        decoder.OnProgress = [this, &slot, &source](void*) { SetBytes(slot, source->Position()); };
        DecodeCopy(decoder, target, job.size, hasher.get(), [this] {
            if (Stopped()) throw ERunStopped();
        });
        target.Close();
    } catch (...) {
        source.reset();
        os::DeleteFile(archive);
        if (created) os::DeleteFile(part);
        throw;
    }
    source.reset();
    os::DeleteFile(archive);
    try {
        VerifyDecoded(part, job.digest, hasher.get(), *options_.trust, job.sha256);
    } catch (...) {
        os::DeleteFile(part);
        throw;
    }
}

std::string TInstallAhead::Pick(const std::string& relative, const std::string& suffix) {
    std::lock_guard<std::mutex> lock(namesMutex_);
    return options_.temps->Pick(options_.installDir, relative, suffix);
}

void TInstallAhead::SetState(Slot& slot, TStage stage, std::int64_t bytes, std::int64_t compressed) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stage == TStage::Downloading) {
            ++slot.state.attempt;
            slot.state.compressed = 0;
            slot.state.from = 0;
        }
        slot.state.stage = stage;
        slot.state.bytes = bytes;
        if (compressed >= 0) slot.state.compressed = compressed;
    }
    changed_.notify_all();
}

void TInstallAhead::SetBytes(Slot& slot, std::int64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    slot.state.bytes = bytes;
}

bool TInstallAhead::Stopped() const { return options_.control->StopRequested() || stopping_.load(); }
