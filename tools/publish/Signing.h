// Signed publications: the operator's key pair, the SHA-256 field of every
// entry and files.lst.bz2.sig. Threat: a list or copies served by someone
// other than the operator; the engine, built with the public key, installs
// only what the secret key signed.
#pragma once

#include "formats/Signature.h"
#include "tools/publish/Names.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace publish {

// corvel-publish keygen: a new key pair, the secret written to a new file
// only its owner may read. Returns the public key. Raises PublishFailure
// (status 2 when the file exists or can't be created).
sig::TPublicKey GenerateKeyFile(const std::filesystem::path& secretFile);

// The secret key for --sign. Raises PublishFailure with status 2 when the
// file is missing, unreadable, malformed or readable by other users.
sig::TSecretKey LoadKeyFile(const std::filesystem::path& secretFile);

struct SigningOptions {
    const sig::TSecretKey* key = nullptr;  // null: an unsigned publication
    std::optional<std::uint32_t> validDays;
};

// After files.lst.bz2 was put in place: signs its bytes into
// files.lst.bz2.sig (one rename) with the next serial of serverDir, or, for
// an unsigned publication, removes a signature left by an earlier one (it
// no longer matches the list). Raises IoError.
void FinishSignature(const std::filesystem::path& serverDir, const SigningOptions& signing);

// 64 lowercase hex digits of a file's SHA-256, read through its native
// path. Raises IoError.
std::string FileSha256Hex(const std::filesystem::path& path);

// The serial after the one in serverDir's current signature file:
// max(previous + 1, now), so it increases even when the clock goes back.
std::uint64_t NextSerial(const std::filesystem::path& serverDir, std::uint64_t now);

}  // namespace publish
