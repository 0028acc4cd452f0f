// Fuzzes the signature file (files.lst.bz2.sig) as a server sends it: the
// reader accepts the written form only, and no verdict is Valid for a file
// the key didn't sign. The seeds are signed with a fixed test key, so the
// fuzzer starts from files that verify and mutates those.
#include "formats/Signature.h"
#include "tests/fuzz/FuzzCheck.h"

#include <array>
#include <string>

namespace {

const sig::TSecretKey& TestKey() {
    static const sig::TSecretKey key(
        std::array<std::uint8_t, 32>{'c', 'o', 'r', 'v', 'e', 'l', '-', 'f', 'u', 'z', 'z'});
    return key;
}

// Between the seeds' expiry times, so that both verdicts occur.
constexpr std::uint64_t kNow = 1800000000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = sig::ParseListSignature(text);
    if (parsed) Check(sig::FormatListSignature(*parsed) == text, "a form other than the written one was read");

    // The digest the file names, so that the key's check is reached.
    const sig::TSha256 digest = parsed ? parsed->listSha256 : sig::Sha256({});
    sig::TListSignature verified;
    const sig::TListVerdict verdict = sig::VerifyList(TestKey().PublicKey(), digest, text, kNow, &verified);
    Check(parsed || verdict == sig::TListVerdict::Malformed, "an unreadable file got past the reader");
    if (verdict == sig::TListVerdict::Valid) {
        // Ed25519 signatures are deterministic: a valid file is the one the
        // key itself makes for these fields, byte for byte, with at most
        // other keys' signature lines beside the key's own.
        const std::string own = sig::SignList(TestKey(), digest, verified.serial, verified.expires);
        const std::size_t line = own.rfind("ed25519 ");
        Check(line != std::string::npos && text.substr(0, line) == std::string_view(own).substr(0, line) &&
                  text.substr(line).find(std::string_view(own).substr(line)) != std::string_view::npos,
              "a file the key never made verified");
        Check(!verified.expires || kNow < *verified.expires, "an expired file verified");
    }
    return 0;
}
