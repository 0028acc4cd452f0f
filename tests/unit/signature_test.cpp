// The signature module: libsodium's answers against published vectors, and
// the signature file attacked field by field.
#include "formats/Signature.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <string>

using namespace sig;

namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string HexSha(const std::string& text) { return ToHex(Sha256(Bytes(text))); }

// RFC 8032, section 7.1, TEST 1 (empty message).
constexpr const char* kRfcSecret = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr const char* kRfcPublic = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr const char* kRfcSignature =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe"
    "24655141438e7a100b";

TSecretKey RfcKey() { return TSecretKey(*FromHex<32>(kRfcSecret)); }

}  // namespace

TEST(Sha256, KnownAnswersForBytesAndFiles) {
    // FIPS 180-2 examples.
    EXPECT_EQ(HexSha(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexSha("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HexSha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(HexSha(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "a", million);
    EXPECT_EQ(ToHex(FileSha256((dir.Native() / "a").string())),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Larger than one hashing slice, so the slices join correctly.
    std::string big(20 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 13));
    scratch::WriteAll(dir.Native() / "big", big);
    EXPECT_EQ(FileSha256((dir.Native() / "big").string()), Sha256(Bytes(big)));
    scratch::WriteAll(dir.Native() / "empty", "");
    EXPECT_EQ(ToHex(FileSha256((dir.Native() / "empty").string())), HexSha(""));
    EXPECT_EQ(ToHex(FileSha256((dir.Native() / "missing").string())), HexSha(""));
}

TEST(Ed25519, Rfc8032Test1AndTampering) {
    const TSecretKey key = RfcKey();
    EXPECT_EQ(ToHex(key.PublicKey()), kRfcPublic);
    const TSignature signature = key.Sign({});
    EXPECT_EQ(ToHex(signature), kRfcSignature);
    const TPublicKey pub = *FromHex<32>(kRfcPublic);
    EXPECT_TRUE(Verify(pub, {}, signature));

    // One more byte of message, one flipped bit of signature, another key.
    const std::string oneByte = "x";
    EXPECT_FALSE(Verify(pub, Bytes(oneByte), signature));
    for (std::size_t bit : {0u, 255u, 256u, 511u}) {
        TSignature flipped = signature;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(Verify(pub, {}, flipped)) << bit;
    }
    const TSecretKey other = TSecretKey::Generate();
    EXPECT_NE(other.PublicKey(), pub);
    EXPECT_FALSE(Verify(other.PublicKey(), {}, signature));
    EXPECT_TRUE(Verify(other.PublicKey(), Bytes(oneByte), other.Sign(Bytes(oneByte))));
    // Two generated keys differ: the random source is really used.
    EXPECT_NE(TSecretKey::Generate().Seed(), TSecretKey::Generate().Seed());
}

TEST(Hex, RoundTripAndRejection) {
    EXPECT_EQ(ToHex(*FromHex<32>(kRfcPublic)), kRfcPublic);
    std::string upper = kRfcPublic;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ToHex(*FromHex<32>(upper)), kRfcPublic);
    EXPECT_FALSE(FromHex<32>(std::string(kRfcPublic).substr(2)));
    EXPECT_FALSE(FromHex<32>(std::string(kRfcPublic) + "00"));
    EXPECT_FALSE(FromHex<32>("g" + std::string(kRfcPublic).substr(1)));
    EXPECT_FALSE(FromHex<32>(" " + std::string(kRfcPublic).substr(1)));
    EXPECT_FALSE(FromHex<32>(""));
}

TEST(SecretKeyFile, RoundTripAndMalformedFiles) {
    const std::string text = FormatSecretKeyFile(RfcKey());
    EXPECT_EQ(text, std::string("corvel-ed25519-secret-key ") + kRfcSecret + "\n");
    ASSERT_TRUE(ParseSecretKeyFile(text));
    EXPECT_EQ(ToHex(ParseSecretKeyFile(text)->PublicKey()), kRfcPublic);
    EXPECT_TRUE(ParseSecretKeyFile(text.substr(0, text.size() - 1) + "\r\n"));

    for (const std::string& bad : {
             std::string(), text.substr(0, text.size() - 1),                   // no line end
             text + "\n",                                                      // a second line
             text.substr(0, text.size() - 3) + "\n",                           // short
             "corvel-ed25519-public-key " + text.substr(26),                   // another tag
             std::string("corvel-ed25519-secret-key  ") + kRfcSecret + "\n",   // two spaces
             std::string("corvel-ed25519-secret-key ") + kRfcPublic + "00\n",  // too long
         }) {
        EXPECT_FALSE(ParseSecretKeyFile(bad)) << bad;
    }
}

class ListSignatureTest : public ::testing::Test {
protected:
    const TSecretKey key_ = TSecretKey::Generate();
    const TPublicKey pub_ = key_.PublicKey();
    const std::string list_ = "BZh91AY&SY fake list bytes";
    const TSha256 digest_ = Sha256(Bytes(list_));
    static constexpr std::uint64_t kNow = 1'800'000'000;

    TListVerdict Check(const std::string& sigText, const TSha256& digest) const {
        return VerifyList(pub_, digest, sigText, kNow);
    }
    TListVerdict Check(const std::string& sigText) const { return Check(sigText, digest_); }
    // The signature file with one text replaced by another.
    static std::string Edited(std::string text, const std::string& from, const std::string& to) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    }
};

TEST_F(ListSignatureTest, ValidFileAndItsFields) {
    const std::string text = SignList(key_, digest_, 42, kNow + 86400);
    const std::string digestHex = ToHex(digest_);
    EXPECT_EQ(text.substr(0, text.find("ed25519 ")),
              "corvel-list-signature 1\nserial 42\nexpires 1800086400\nsha256 " + digestHex + "\n");
    TListSignature parsed;
    ASSERT_EQ(VerifyList(pub_, digest_, text, kNow, &parsed), TListVerdict::Valid);
    EXPECT_EQ(parsed.serial, 42u);
    EXPECT_EQ(parsed.expires, kNow + 86400);
    EXPECT_EQ(FormatListSignature(parsed), text);

    // Without an expiry the line is absent and the signature never expires.
    const std::string forever = SignList(key_, digest_, 43, std::nullopt);
    EXPECT_EQ(forever.find("expires"), std::string::npos);
    EXPECT_EQ(VerifyList(pub_, digest_, forever, UINT64_MAX / 2), TListVerdict::Valid);
}

TEST_F(ListSignatureTest, AttacksOnTheListTheKeyAndTheFieldsFail) {
    const std::string text = SignList(key_, digest_, 42, kNow + 86400);

    // A list changed by one byte.
    std::string changed = list_;
    changed[5] ^= 1;
    EXPECT_EQ(Check(text, Sha256(Bytes(changed))), TListVerdict::DigestMismatch);
    // The same file signed by someone else's key.
    const TSecretKey other = TSecretKey::Generate();
    EXPECT_EQ(Check(SignList(other, digest_, 42, kNow + 86400)), TListVerdict::BadSignature);
    // A forger's own digest in the right key's file.
    EXPECT_EQ(Check(Edited(text, ToHex(digest_), ToHex(Sha256(Bytes(changed)))), Sha256(Bytes(changed))),
              TListVerdict::BadSignature);
    // A raised serial (to pass a rollback check), a later or removed expiry.
    EXPECT_EQ(Check(Edited(text, "serial 42", "serial 43")), TListVerdict::BadSignature);
    EXPECT_EQ(Check(Edited(text, "expires 1800086400", "expires 1900086400")), TListVerdict::BadSignature);
    EXPECT_EQ(Check(Edited(text, "expires 1800086400\n", "")), TListVerdict::BadSignature);
    // Expired: the expiry time itself is already too late.
    EXPECT_EQ(Check(SignList(key_, digest_, 42, kNow)), TListVerdict::Expired);
    EXPECT_EQ(Check(SignList(key_, digest_, 42, kNow + 1)), TListVerdict::Valid);
}

TEST_F(ListSignatureTest, AnyDeviationFromTheLayoutIsMalformed) {
    const std::string text = SignList(key_, digest_, 42, kNow + 86400);
    const std::string sigHex = text.substr(text.find("ed25519 ") + 8, 128);
    std::string upperSig = sigHex;
    for (char& c : upperSig) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& bad : {
             std::string(),
             text.substr(0, text.size() - 1),  // no final LF
             text + "\n",                      // trailing line
             Edited(text, "corvel-list-signature 1", "corvel-list-signature 2"),
             Edited(text, "serial 42", "serial 042"),
             Edited(text, "serial 42", "serial +42"),
             Edited(text, "serial 42", "serial 0"),
             Edited(text, "serial 42", "serial 9223372036854775808"),
             Edited(text, "serial 42\n", ""),
             Edited(text, "expires 1800086400", "expires "),
             Edited(text, "sha256 ", "sha256  "),
             Edited(text, "\nsha256", "\r\nsha256"),
             Edited(text, sigHex, upperSig),
             Edited(text, sigHex, sigHex.substr(2)),
         }) {
        EXPECT_EQ(Check(bad), TListVerdict::Malformed) << bad;
    }
}

// A rotation's file: one signature per key over the same signed part, so a
// reader trusting either key accepts it; more than the bound, or any other
// line after them, is malformed.
TEST_F(ListSignatureTest, SeveralSignaturesEachVerifyUnderTheirKey) {
    const TSecretKey old = TSecretKey::Generate();
    const TSecretKey* const both[] = {&key_, &old};
    const std::string text = SignList(both, digest_, 42, std::nullopt);
    const std::string single = SignList(key_, digest_, 42, std::nullopt);
    EXPECT_EQ(text.substr(0, single.size()), single);
    const TPublicKey stranger = TSecretKey::Generate().PublicKey();
    TListSignature parsed;
    const TPublicKey keys[] = {stranger, old.PublicKey()};
    ASSERT_EQ(VerifyList(keys, digest_, text, kNow, &parsed), TListVerdict::Valid);
    EXPECT_EQ(SignerOf(parsed, keys), 1u);
    EXPECT_EQ(parsed.further.size(), 1u);
    EXPECT_EQ(FormatListSignature(parsed), text);
    EXPECT_EQ(Check(text), TListVerdict::Valid);
    EXPECT_EQ(VerifyList(stranger, digest_, text, kNow), TListVerdict::BadSignature);

    const std::string line = text.substr(single.size());
    std::string most = single;
    for (std::size_t k = 1; k < kMaxListSignatures; ++k) most += line;
    EXPECT_EQ(Check(most), TListVerdict::Valid);
    EXPECT_EQ(Check(most + line), TListVerdict::Malformed);
    EXPECT_EQ(Check(text + "sha256 " + ToHex(digest_) + "\n"), TListVerdict::Malformed);
}
