// Ed25519 signatures, SHA-256 digests and the signature file that proves
// who published a file list. Threat: anyone on the network path between a
// player and the update server (open Wi-Fi, a poisoned DNS answer, a
// hijacked mirror) serving a list and copies of their own. Everything
// cryptographic here is a call into libsodium.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sig {

using TPublicKey = std::array<std::uint8_t, 32>;
using TSignature = std::array<std::uint8_t, 64>;
using TSha256 = std::array<std::uint8_t, 32>;

// An Ed25519 secret key: the 32-byte seed the key pair derives from. Wiped
// when destroyed; move-only.
class TSecretKey {
public:
    explicit TSecretKey(const std::array<std::uint8_t, 32>& seed);
    ~TSecretKey();
    TSecretKey(TSecretKey&& other) noexcept;
    TSecretKey& operator=(TSecretKey&&) = delete;
    TSecretKey(const TSecretKey&) = delete;
    TSecretKey& operator=(const TSecretKey&) = delete;

    const std::array<std::uint8_t, 32>& Seed() const { return seed_; }
    TPublicKey PublicKey() const;
    TSignature Sign(std::span<const std::uint8_t> message) const;

    // A new key from the system's random source.
    static TSecretKey Generate();

private:
    std::array<std::uint8_t, 32> seed_;
};

// True only when signature is key's signature of exactly message.
bool Verify(const TPublicKey& key, std::span<const std::uint8_t> message, const TSignature& signature);

TSha256 Sha256(std::span<const std::uint8_t> bytes);
// SHA-256 of data handed in pieces.
class TSha256Stream {
public:
    TSha256Stream();
    void Update(std::span<const std::uint8_t> bytes);
    TSha256 Final();

private:
    alignas(16) std::array<std::uint8_t, 128> state_;  // crypto_hash_sha256_state
};
// Digest of a file's whole content; a missing or empty file gives the
// digest of empty input. Raises EInOutError when a page can't be read.
TSha256 FileSha256(const std::string& path);

// Lowercase hexadecimal digits.
std::string ToHex(std::span<const std::uint8_t> bytes);
// Exactly 2*N hexadecimal digits (either case) or nullopt.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromHex(std::string_view text);

// The secret key file: one line "corvel-ed25519-secret-key <64 hex digits
// of the seed>\n". Nullopt when text is anything else.
std::string FormatSecretKeyFile(const TSecretKey& key);
std::optional<TSecretKey> ParseSecretKeyFile(std::string_view text);

// The signature file (files.lst.bz2.sig), ASCII lines ending in LF:
//   corvel-list-signature 1
//   serial <decimal, 1 .. 2^63-1>
//   expires <Unix time, decimal>        (optional line)
//   sha256 <64 hex digits of the list file's bytes>
//   ed25519 <128 hex digits>            (1 to kMaxListSignatures lines)
// Every signature covers every byte before the first "ed25519" line, so the
// serial, the expiry and the list's digest are all bound to each key. No
// line names its key: a reader tries the keys it trusts, and a file with
// one signature is the same bytes launchers without keyrings read.
inline constexpr std::size_t kMaxListSignatures = 8;
struct TListSignature {
    std::uint64_t serial = 0;
    std::optional<std::uint64_t> expires;
    TSha256 listSha256{};
    TSignature signature{};
    std::vector<TSignature> further;  // the lines after the first, in order
};

// The signed part (every line before "ed25519"), as written and verified.
std::string SignedPart(const TListSignature& s);
std::string FormatListSignature(const TListSignature& s);
// Strict: the exact layout above, lowercase hex, no leading zeros, nothing
// else. Nullopt for anything that deviates.
std::optional<TListSignature> ParseListSignature(std::string_view text);

// Makes the signature file's content for a list whose bytes have listDigest,
// one signature per key in that order. Raises std::invalid_argument for a
// serial out of range or a number of keys out of 1..kMaxListSignatures.
std::string SignList(std::span<const TSecretKey* const> keys, const TSha256& listDigest, std::uint64_t serial,
                     std::optional<std::uint64_t> expires);
std::string SignList(const TSecretKey& key, const TSha256& listDigest, std::uint64_t serial,
                     std::optional<std::uint64_t> expires);

// The index in keys of the first key that made one of s's signatures.
std::optional<std::size_t> SignerOf(const TListSignature& s, std::span<const TPublicKey> keys);

enum class TListVerdict { Valid, Malformed, DigestMismatch, BadSignature, Expired };
// Checks a signature file's content against the digest of the list's bytes,
// the public keys and the current Unix time: valid when one of its
// signatures is one of keys'. On Valid, parsed receives the file's fields.
TListVerdict VerifyList(std::span<const TPublicKey> keys, const TSha256& listDigest, std::string_view sigText,
                        std::uint64_t now, TListSignature* parsed = nullptr);
TListVerdict VerifyList(const TPublicKey& key, const TSha256& listDigest, std::string_view sigText, std::uint64_t now,
                        TListSignature* parsed = nullptr);
const char* Describe(TListVerdict verdict);

}  // namespace sig
