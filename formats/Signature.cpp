#include "formats/Signature.h"

#include "formats/Decimal.h"
#include "formats/FileBlocks.h"
#include "platform/errors.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace sig {
namespace {

// sodium_init is idempotent and thread-safe; every entry point calls it.
void Init() {
    static const int status = sodium_init();
    if (status < 0) throw Exception("libsodium could not be initialised");
}

constexpr std::string_view kSecretTag = "corvel-ed25519-secret-key ";
constexpr std::string_view kSigHeader = "corvel-list-signature 1\n";

// One "name value\n" line at the front of text; advances text past it.
std::optional<std::string_view> TakeLine(std::string_view& text, std::string_view name) {
    if (text.substr(0, name.size()) != name || text.size() <= name.size() || text[name.size()] != ' ') {
        return std::nullopt;
    }
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view value = text.substr(name.size() + 1, end - name.size() - 1);
    text.remove_prefix(end + 1);
    return value;
}

// A number as the signature file writes it: digits only, no leading zero,
// below 2^63.
std::optional<std::uint64_t> ParseCanonicalNumber(std::string_view text) {
    if (text.size() > 1 && text.front() == '0') return std::nullopt;
    const std::optional<std::uint64_t> value = ParseDecimal(text);
    if (!value || *value > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return value;
}

// Lowercase only: the written form is the one form a reader accepts.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromLowerHex(std::string_view text) {
    if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'F'; })) return std::nullopt;
    return FromHex<N>(text);
}

}  // namespace

TSecretKey::TSecretKey(const std::array<std::uint8_t, 32>& seed) : seed_(seed) {}
TSecretKey::~TSecretKey() { sodium_memzero(seed_.data(), seed_.size()); }
TSecretKey::TSecretKey(TSecretKey&& other) noexcept : seed_(other.seed_) {
    sodium_memzero(other.seed_.data(), other.seed_.size());
}

TSecretKey TSecretKey::Generate() {
    Init();
    std::array<std::uint8_t, 32> seed;
    randombytes_buf(seed.data(), seed.size());
    TSecretKey key(seed);
    sodium_memzero(seed.data(), seed.size());
    return key;
}

TPublicKey TSecretKey::PublicKey() const {
    Init();
    TPublicKey pk;
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk;
    crypto_sign_seed_keypair(pk.data(), sk.data(), seed_.data());
    sodium_memzero(sk.data(), sk.size());
    return pk;
}

TSignature TSecretKey::Sign(std::span<const std::uint8_t> message) const {
    Init();
    TPublicKey pk;
    std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> sk;
    crypto_sign_seed_keypair(pk.data(), sk.data(), seed_.data());
    TSignature signature;
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), sk.data());
    sodium_memzero(sk.data(), sk.size());
    return signature;
}

bool Verify(const TPublicKey& key, std::span<const std::uint8_t> message, const TSignature& signature) {
    Init();
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(), key.data()) == 0;
}

TSha256 Sha256(std::span<const std::uint8_t> bytes) {
    Init();
    TSha256 digest;
    crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
    return digest;
}

static_assert(sizeof(crypto_hash_sha256_state) <= 128);

TSha256Stream::TSha256Stream() {
    Init();
    crypto_hash_sha256_init(reinterpret_cast<crypto_hash_sha256_state*>(state_.data()));
}

void TSha256Stream::Update(std::span<const std::uint8_t> bytes) {
    crypto_hash_sha256_update(reinterpret_cast<crypto_hash_sha256_state*>(state_.data()), bytes.data(), bytes.size());
}

TSha256 TSha256Stream::Final() {
    TSha256 digest;
    crypto_hash_sha256_final(reinterpret_cast<crypto_hash_sha256_state*>(state_.data()), digest.data());
    return digest;
}

TSha256 FileSha256(const std::string& path) {
    Init();
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    ForEachBlockOfFile(path, [&state](std::span<const std::uint8_t> bytes) {
        crypto_hash_sha256_update(&state, bytes.data(), bytes.size());
    });
    TSha256 digest;
    crypto_hash_sha256_final(&state, digest.data());
    return digest;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
    text.pop_back();
    return text;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FromHex(std::string_view text) {
    Init();
    if (text.size() != 2 * N) return std::nullopt;
    std::array<std::uint8_t, N> bytes;
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_hex2bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end) != 0 ||
        length != N || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return bytes;
}
template std::optional<std::array<std::uint8_t, 32>> FromHex<32>(std::string_view);
template std::optional<std::array<std::uint8_t, 64>> FromHex<64>(std::string_view);

std::string FormatSecretKeyFile(const TSecretKey& key) { return std::string(kSecretTag) + ToHex(key.Seed()) + "\n"; }

std::optional<TSecretKey> ParseSecretKeyFile(std::string_view text) {
    if (text.substr(0, kSecretTag.size()) != kSecretTag) return std::nullopt;
    text.remove_prefix(kSecretTag.size());
    // One line; a CR before the LF is tolerated (a file edited on Windows).
    if (text.ends_with("\r\n")) {
        text.remove_suffix(2);
    } else if (text.ends_with("\n")) {
        text.remove_suffix(1);
    } else {
        return std::nullopt;
    }
    auto seed = FromHex<32>(text);
    if (!seed) return std::nullopt;
    TSecretKey key(*seed);
    sodium_memzero(seed->data(), seed->size());
    return key;
}

std::string SignedPart(const TListSignature& s) {
    std::string text(kSigHeader);
    text += "serial " + std::to_string(s.serial) + "\n";
    if (s.expires) text += "expires " + std::to_string(*s.expires) + "\n";
    text += "sha256 " + ToHex(s.listSha256) + "\n";
    return text;
}

std::string FormatListSignature(const TListSignature& s) {
    std::string text = SignedPart(s) + "ed25519 " + ToHex(s.signature) + "\n";
    for (const TSignature& signature : s.further) text += "ed25519 " + ToHex(signature) + "\n";
    return text;
}

std::optional<TListSignature> ParseListSignature(std::string_view text) {
    if (text.substr(0, kSigHeader.size()) != kSigHeader) return std::nullopt;
    text.remove_prefix(kSigHeader.size());
    TListSignature s;
    const auto serial = TakeLine(text, "serial");
    if (!serial) return std::nullopt;
    const auto serialValue = ParseCanonicalNumber(*serial);
    if (!serialValue || *serialValue == 0) return std::nullopt;
    s.serial = *serialValue;
    if (text.starts_with("expires ")) {
        const auto expires = TakeLine(text, "expires");
        if (!expires) return std::nullopt;
        s.expires = ParseCanonicalNumber(*expires);
        if (!s.expires) return std::nullopt;
    }
    const auto digest = TakeLine(text, "sha256");
    if (!digest) return std::nullopt;
    const auto digestBytes = FromLowerHex<32>(*digest);
    if (!digestBytes) return std::nullopt;
    s.listSha256 = *digestBytes;
    for (std::size_t count = 0; count == 0 || !text.empty(); ++count) {
        if (count == kMaxListSignatures) return std::nullopt;
        const auto signature = TakeLine(text, "ed25519");
        if (!signature) return std::nullopt;
        const auto signatureBytes = FromLowerHex<64>(*signature);
        if (!signatureBytes) return std::nullopt;
        if (count == 0) {
            s.signature = *signatureBytes;
        } else {
            s.further.push_back(*signatureBytes);
        }
    }
    return s;
}

std::string SignList(std::span<const TSecretKey* const> keys, const TSha256& listDigest, std::uint64_t serial,
                     std::optional<std::uint64_t> expires) {
    if (serial == 0 || serial > static_cast<std::uint64_t>(INT64_MAX)) {
        throw std::invalid_argument("serial out of range");
    }
    if (keys.empty() || keys.size() > kMaxListSignatures) throw std::invalid_argument("too many or no signing keys");
    TListSignature s;
    s.serial = serial;
    s.expires = expires;
    s.listSha256 = listDigest;
    const std::string part = SignedPart(s);
    const std::span<const std::uint8_t> message{reinterpret_cast<const std::uint8_t*>(part.data()), part.size()};
    s.signature = keys.front()->Sign(message);
    for (const TSecretKey* key : keys.subspan(1)) s.further.push_back(key->Sign(message));
    return FormatListSignature(s);
}

std::string SignList(const TSecretKey& key, const TSha256& listDigest, std::uint64_t serial,
                     std::optional<std::uint64_t> expires) {
    const TSecretKey* const keys[] = {&key};
    return SignList(keys, listDigest, serial, expires);
}

std::optional<std::size_t> SignerOf(const TListSignature& s, std::span<const TPublicKey> keys) {
    // The parse is strict, so the canonical form is exactly the file's bytes.
    const std::string part = SignedPart(s);
    const std::span<const std::uint8_t> message{reinterpret_cast<const std::uint8_t*>(part.data()), part.size()};
    for (std::size_t k = 0; k < keys.size(); ++k) {
        if (Verify(keys[k], message, s.signature)) return k;
        for (const TSignature& signature : s.further) {
            if (Verify(keys[k], message, signature)) return k;
        }
    }
    return std::nullopt;
}

TListVerdict VerifyList(std::span<const TPublicKey> keys, const TSha256& listDigest, std::string_view sigText,
                        std::uint64_t now, TListSignature* parsed) {
    const auto s = ParseListSignature(sigText);
    if (!s) return TListVerdict::Malformed;
    if (!SignerOf(*s, keys)) return TListVerdict::BadSignature;
    if (sodium_memcmp(s->listSha256.data(), listDigest.data(), listDigest.size()) != 0) {
        return TListVerdict::DigestMismatch;
    }
    if (s->expires && now >= *s->expires) return TListVerdict::Expired;
    if (parsed) *parsed = *s;
    return TListVerdict::Valid;
}

TListVerdict VerifyList(const TPublicKey& key, const TSha256& listDigest, std::string_view sigText, std::uint64_t now,
                        TListSignature* parsed) {
    return VerifyList(std::span<const TPublicKey>(&key, 1), listDigest, sigText, now, parsed);
}

const char* Describe(TListVerdict verdict) {
    switch (verdict) {
        case TListVerdict::Valid: return "valid";
        case TListVerdict::Malformed: return "the signature file is malformed";
        case TListVerdict::DigestMismatch: return "the list does not match its signature";
        case TListVerdict::BadSignature: return "the signature is not the publisher's";
        case TListVerdict::Expired: return "the signature has expired";
    }
    return "unknown";
}

}  // namespace sig
