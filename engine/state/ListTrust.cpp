#include "engine/state/ListTrust.h"

#include "engine/state/TempNames.h"
#include "formats/Classes.h"
#include "formats/Decimal.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A keyring of the most keys and revocations lists may name.
constexpr std::int64_t kMaxKeyringSize = 2 * kMaxListedKeys * 72;

std::string ReadSmallFile(const std::string& path, std::int64_t bound = kMaxSignatureSize) {
    TFileStream in(path, TFileStream::Mode::OpenRead, os::Share::Read);
    const std::int64_t size = in.Size();
    if (size > bound) return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    in.ReadBuffer(text.data(), text.size());
    return text;
}

bool Contains(const std::vector<sig::TPublicKey>& keys, const sig::TPublicKey& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

bool TKeyring::Revoked(const sig::TPublicKey& key) const { return Contains(revoked, key); }

bool TKeyring::Learn(const std::vector<sig::TPublicKey>& named, const std::vector<sig::TPublicKey>& revokes) {
    bool changed = false;
    for (const sig::TPublicKey& key : revokes) {
        if (Revoked(key) || revoked.size() >= kMaxListedKeys) continue;
        revoked.push_back(key);
        changed = true;
    }
    const auto gone = std::remove_if(keys.begin(), keys.end(), [this](const auto& key) { return Revoked(key); });
    changed = changed || gone != keys.end();
    keys.erase(gone, keys.end());
    for (const sig::TPublicKey& key : named) {
        if (Revoked(key) || Contains(keys, key) || keys.size() >= kMaxListedKeys) continue;
        keys.push_back(key);
        changed = true;
    }
    return changed;
}

std::string TKeyring::Text() const {
    std::string text;
    for (const sig::TPublicKey& key : keys) text += "key " + sig::ToHex(key) + "\n";
    for (const sig::TPublicKey& key : revoked) text += "revoke " + sig::ToHex(key) + "\n";
    return text;
}

std::optional<TKeyring> TKeyring::Parse(std::string_view text) {
    TKeyring ring;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return std::nullopt;
        const auto key = sig::FromHex<32>(line.substr(space + 1));
        const std::string_view kind = line.substr(0, space);
        if (!key || (kind != "key" && kind != "revoke")) return std::nullopt;
        std::vector<sig::TPublicKey>& into = kind == "key" ? ring.keys : ring.revoked;
        if (into.size() >= kMaxListedKeys) return std::nullopt;
        into.push_back(*key);
    }
    return ring;
}

TListTrust::TListTrust(const std::string& keyHex) {
    if (keyHex.empty()) return;
    key_ = sig::FromHex<32>(keyHex);
    if (!key_) throw Exception("the public key must be 64 hexadecimal digits");
}

std::string TListTrust::VerifyList(const std::string& installDir, const std::string& listUrl,
                                   const std::string& listArchive, const TTemps& temps, const TFetch& fetch,
                                   std::uint64_t now, const std::function<void()>& waitBeforeAgain) {
    if (!key_) return {};
    keyring_ = ReadKeyringState(installDir);
    const std::vector<sig::TPublicKey> trusted = Trusted();
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
            const sig::TSha256 digest = sig::FileSha256(listArchive);
            const sig::TListVerdict verdict = sig::VerifyList(trusted, digest, text, now, &accepted);
            if (verdict == sig::TListVerdict::Valid) {
                problem.clear();
                break;
            }
            problem = sig::Describe(verdict);
            // Said apart for the operator: the list is genuine but its key is
            // no longer good.
            if (verdict == sig::TListVerdict::BadSignature &&
                sig::VerifyList(keyring_.revoked, digest, text, now) != sig::TListVerdict::BadSignature) {
                problem = "the list is signed by a revoked key";
            }
        } catch (const std::exception& e) {
            os::DeleteFile(sigPath);
            if (FailureOf(e).fault == TFault::Stopped) {
                os::DeleteFile(listArchive);
                throw;
            }
            problem = e.what();
        }
    }
    if (problem.empty() && !temps.state.empty()) {
        const auto last = ReadSerialState(installDir, temps.stateName);
        if (last && accepted.serial < *last) {
            problem = "the list is older than one this install already accepted (serial " +
                      std::to_string(accepted.serial) + " < " + std::to_string(*last) + ")";
        }
    }
    if (problem.empty() && !temps.state.empty()) {
        try {
            WriteSerialState(installDir, accepted.serial, temps.state, temps.stateName);
        } catch (const std::exception& e) {
            problem = std::string("the serial could not be recorded: ") + e.what();
        }
    }
    if (!problem.empty()) os::DeleteFile(listArchive);
    return problem;
}

std::vector<sig::TPublicKey> TListTrust::Trusted() const {
    std::vector<sig::TPublicKey> trusted;
    if (key_ && !keyring_.Revoked(*key_)) trusted.push_back(*key_);
    for (const sig::TPublicKey& key : keyring_.keys) {
        if (!keyring_.Revoked(key) && !Contains(trusted, key)) trusted.push_back(key);
    }
    return trusted;
}

bool TListTrust::TrustsKey(const std::string& hex) const {
    const auto key = sig::FromHex<32>(hex);
    return key && Contains(Trusted(), *key);
}

void TListTrust::LearnKeys(const std::string& installDir, const std::vector<sig::TPublicKey>& named,
                           const std::vector<sig::TPublicKey>& revokes, const std::string& tempPath) {
    if (!key_) return;
    // The root needs no naming: a list signed by it alone keeps no keyring.
    std::vector<sig::TPublicKey> others;
    std::copy_if(named.begin(), named.end(), std::back_inserter(others), [this](const auto& k) { return k != *key_; });
    if (!keyring_.Learn(others, revokes)) return;
    ReplaceWithText(installDir + kKeyringStateName, keyring_.Text(), tempPath);
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

std::optional<std::uint64_t> ReadSerialState(const std::string& installDir, const std::string& stateName) {
    std::string text;
    try {
        text = ReadSmallFile(installDir + stateName);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || text.back() != '\n') return std::nullopt;
    text.pop_back();
    return ParseDecimal(text);
}

void WriteSerialState(const std::string& installDir, std::uint64_t serial, const std::string& temp,
                      const std::string& stateName) {
    ReplaceWithText(installDir + stateName, std::to_string(serial) + "\n", temp);
}

TKeyring ReadKeyringState(const std::string& installDir) {
    try {
        if (auto ring = TKeyring::Parse(ReadSmallFile(installDir + kKeyringStateName, kMaxKeyringSize))) {
            return std::move(*ring);
        }
    } catch (const std::exception&) {
        // Missing or unreadable: the compiled-in key alone.
    }
    return {};
}
