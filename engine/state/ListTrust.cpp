#include "engine/state/ListTrust.h"

#include "engine/state/TempNames.h"
#include "formats/Classes.h"
#include "formats/Decimal.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A signature file is a few hundred bytes; anything larger is not one.
constexpr std::int64_t kMaxSignatureSize = 4096;

std::string ReadSmallFile(const std::string& path) {
    TFileStream in(path, TFileStream::Mode::OpenRead, os::Share::Read);
    const std::int64_t size = in.Size();
    if (size > kMaxSignatureSize) return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    in.ReadBuffer(text.data(), text.size());
    return text;
}

}  // namespace

TListTrust::TListTrust(const std::string& keyHex) {
    if (keyHex.empty()) return;
    key_ = sig::FromHex<32>(keyHex);
    if (!key_) throw Exception("the public key must be 64 hexadecimal digits");
}

bool TListTrust::TrustsKey(const std::string& hex) const {
    const auto key = sig::FromHex<32>(hex);
    return key_ && key && *key == *key_;
}

std::string TListTrust::VerifyList(const std::string& installDir, const std::string& listUrl,
                                   const std::string& listArchive, const TTemps& temps, const TFetch& fetch,
                                   std::uint64_t now, const std::function<void()>& waitBeforeAgain) {
    if (!key_) return {};
    const std::string& sigPath = temps.signature;
    std::string problem;
    sig::TListSignature accepted;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            // The first copy is ours; the fetch makes its file anew.
            if (attempt > 0) os::DeleteFile(listArchive);
            if (attempt > 0 && waitBeforeAgain) waitBeforeAgain();
            if (attempt > 0 && !fetch(listUrl, listArchive)) {
                problem = "the list could not be fetched again";
                break;
            }
            if (!fetch(listUrl + kSignatureSuffix, sigPath)) {
                problem = "the list's signature could not be fetched";
                os::DeleteFile(sigPath);
                continue;
            }
            const std::string text = ReadSmallFile(sigPath);
            os::DeleteFile(sigPath);
            const sig::TListVerdict verdict =
                sig::VerifyList(*key_, sig::FileSha256(listArchive), text, now, &accepted);
            if (verdict == sig::TListVerdict::Valid) {
                problem.clear();
                break;
            }
            problem = sig::Describe(verdict);
        } catch (const std::exception& e) {
            os::DeleteFile(sigPath);
            if (FailureOf(e).fault == TFault::Stopped) {
                os::DeleteFile(listArchive);
                throw;
            }
            problem = e.what();
        }
    }
    if (problem.empty()) {
        const auto last = ReadSerialState(installDir);
        if (last && accepted.serial < *last) {
            problem = "the list is older than one this install already accepted (serial " +
                      std::to_string(accepted.serial) + " < " + std::to_string(*last) + ")";
        }
    }
    if (problem.empty()) {
        try {
            WriteSerialState(installDir, accepted.serial, temps.state);
        } catch (const std::exception& e) {
            problem = std::string("the serial could not be recorded: ") + e.what();
        }
    }
    if (!problem.empty()) os::DeleteFile(listArchive);
    return problem;
}

void TListTrust::CheckCopy(const sig::TSha256& digest, const std::string& sha256Hex) const {
    if (!key_) return;
    const auto expected = sig::FromHex<32>(sha256Hex);
    if (!expected) throw Exception("the entry has no SHA-256 digest", TFault::NotTrusted);
    if (digest != *expected) throw Exception("the decoded file does not match its SHA-256 digest", TFault::DigestMismatch);
}

struct TCopyHasher::State {
    static constexpr std::size_t kMaxPending = 8;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> pending;
    std::vector<std::vector<std::uint8_t>> spare;  // buffers to reuse
    bool closing = false;
    sig::TSha256Stream hash;
    std::thread worker;

    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return closing || !pending.empty(); });
            if (pending.empty()) return;
            std::vector<std::uint8_t> block = std::move(pending.front());
            pending.pop_front();
            changed.notify_all();
            lock.unlock();
            hash.Update(block);
            lock.lock();
            spare.push_back(std::move(block));
        }
    }
};

TCopyHasher::TCopyHasher() : state_(std::make_unique<State>()) {
    state_->worker = std::thread([s = state_.get()] { s->Run(); });
}

TCopyHasher::~TCopyHasher() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        state_->pending.clear();
    }
    state_->changed.notify_all();
    if (state_->worker.joinable()) state_->worker.join();
}

void TCopyHasher::Update(std::span<const std::uint8_t> bytes) {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->pending.size() < State::kMaxPending; });
    std::vector<std::uint8_t> block;
    if (!state_->spare.empty()) {
        block = std::move(state_->spare.back());
        state_->spare.pop_back();
    }
    block.assign(bytes.begin(), bytes.end());
    state_->pending.push_back(std::move(block));
    state_->changed.notify_all();
}

sig::TSha256 TCopyHasher::Final() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->changed.notify_all();
    state_->worker.join();
    return state_->hash.Final();
}

std::optional<std::uint64_t> ReadSerialState(const std::string& installDir) {
    std::string text;
    try {
        text = ReadSmallFile(installDir + kSerialStateName);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || text.back() != '\n') return std::nullopt;
    text.pop_back();
    return ParseDecimal(text);
}

void WriteSerialState(const std::string& installDir, std::uint64_t serial, const std::string& temp) {
    ReplaceWithText(installDir + kSerialStateName, std::to_string(serial) + "\n", temp);
}
