// What a run with a compiled-in public key checks before it installs
// anything. Threat: anyone between the player and the update server serving
// a list, an older genuine list, or copies of their own making; only what
// a key this install trusts signed, at a serial not older than the last
// one this install accepted, is installed, and each copy must match the
// SHA-256 the signed list gives it. Threat: a leaked key; a signed list
// names new keys and revokes old ones, the compiled-in key included.
#pragma once

#include "formats/Publication.h"
#include "formats/Signature.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A signed install keeps two files in its install directory (names in
// formats/Publication.h): kSerialStateName, the serial of the last list it
// accepted, as a decimal line; and kKeyringStateName, what verified lists
// said of keys, "key <hex>" and "revoke <hex>" lines.

// The keys an install trusts: the compiled-in root, the keys verified lists
// named, less every key a verified list revoked (a revocation is final).
struct TKeyring {
    std::vector<sig::TPublicKey> keys;
    std::vector<sig::TPublicKey> revoked;

    // What a list's Key and Revoke lines add; false when nothing changed.
    bool Learn(const std::vector<sig::TPublicKey>& named, const std::vector<sig::TPublicKey>& revokes);
    bool Revoked(const sig::TPublicKey& key) const;
    std::string Text() const;
    // Nullopt for text that isn't such lines.
    static std::optional<TKeyring> Parse(std::string_view text);
};

class TListTrust {
public:
    // keyHex: 64 hex digits, or empty for a build without a key (then
    // nothing here is checked). Raises Exception for a malformed key.
    explicit TListTrust(const std::string& keyHex);

    bool Enabled() const { return key_.has_value(); }
    // Whether a list signed by this public key (64 hex digits) would be
    // accepted now: the root or a key a verified list named, not revoked.
    bool TrustsKey(const std::string& hex) const;

    // Fetches a file; false when the server can't be reached. May raise.
    using TFetch = std::function<bool(const std::string& url, const std::string& localPath)>;

    // Verifies listArchive (already fetched from listUrl) with the signature
    // fetched from listUrl + ".sig". A list and signature that don't agree
    // may be a publication caught halfway, so the pair is fetched once more
    // before the list is refused. Then refuses a serial older than the
    // install's state and records the new one. Returns an empty string, or
    // why the list is refused (listArchive is then deleted). The signature
    // is fetched into temps.signature and the new state written through
    // temps.state, both temporary names of the run's.
    // The keyring is read from installDir first. With temps.state empty (a
    // staged list, whose serial is its own and installs nothing) the serial
    // is neither checked nor recorded.
    struct TTemps {
        std::string signature;
        std::string state;
        // The state file the serial is held to, relative to installDir: the
        // live list's, or a channel's (ChannelSerialName).
        std::string stateName = kSerialStateName;
    };
    // waitBeforeAgain runs before the pair is fetched once more: a moment
    // for the publication (or a cache) to settle.
    std::string VerifyList(const std::string& installDir, const std::string& listUrl, const std::string& listArchive,
                           const TTemps& temps, const TFetch& fetch, std::uint64_t now,
                           const std::function<void()>& waitBeforeAgain = {});

    // With a key, a decoded copy whose bytes have digest must have the
    // SHA-256 its entry gives (64 hex digits; an empty field fails). Raises
    // Exception when it doesn't. Without a key, does nothing.
    void CheckCopy(const sig::TSha256& digest, const std::string& sha256Hex) const;

    // After VerifyList accepted a list: keeps the keys it names and the
    // revocations, writing the keyring through tempPath when it changed.
    // Raises EInOutError.
    void LearnKeys(const std::string& installDir, const std::vector<sig::TPublicKey>& named,
                   const std::vector<sig::TPublicKey>& revokes, const std::string& tempPath);

private:
    std::vector<sig::TPublicKey> Trusted() const;

    std::optional<sig::TPublicKey> key_;
    TKeyring keyring_;
};

// SHA-256 of a copy as the decoder produces it, computed on a thread of its
// own: hashing a second pass over each file would add about a tenth to a
// fresh install, overlapped with decoding it costs next to nothing.
class TCopyHasher {
public:
    TCopyHasher();
    ~TCopyHasher();
    TCopyHasher(const TCopyHasher&) = delete;
    TCopyHasher& operator=(const TCopyHasher&) = delete;

    // Queues a copy of bytes; waits only while several blocks are pending.
    void Update(std::span<const std::uint8_t> bytes);
    // The digest of everything queued.
    sig::TSha256 Final();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The install's last accepted serial (in stateName: the live list's
// store, or a channel's); nullopt when the state file is missing or damaged
// (no rollback check for that run).
std::optional<std::uint64_t> ReadSerialState(const std::string& installDir,
                                             const std::string& stateName = kSerialStateName);
// Replaces the state file in one rename, writing it first to tempPath (a
// name nothing stands at). Raises EInOutError.
void WriteSerialState(const std::string& installDir, std::uint64_t serial, const std::string& tempPath,
                      const std::string& stateName = kSerialStateName);
// The install's keyring; empty when the file is missing or damaged.
TKeyring ReadKeyringState(const std::string& installDir);
