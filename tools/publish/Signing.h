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
#include <string>
#include <vector>

namespace publish {

// corvel-publish keygen: a new key pair, the secret written to a new file
// only its owner may read. Returns the public key. Raises PublishFailure
// (status 2 when the file exists or can't be created).
sig::TPublicKey GenerateKeyFile(const std::filesystem::path& secretFile);

// The secret key for --sign. Raises PublishFailure with status 2 when the
// file is missing, unreadable, malformed or readable by other users.
sig::TSecretKey LoadKeyFile(const std::filesystem::path& secretFile);

// One key that signs a publication, and the file it came from: the last
// serial it signed is kept beside that file (kSerialRecordSuffix).
struct SigningKey {
    std::filesystem::path file;
    sig::TSecretKey key;
};
inline constexpr const char* kSerialRecordSuffix = ".serial";

struct SigningOptions {
    // Empty: an unsigned publication. --sign's key first, then --also-sign's.
    std::vector<SigningKey> keys;
    // --revoke: keys installs must never trust again (Revoke lines).
    std::vector<sig::TPublicKey> revoke;
    std::optional<std::uint32_t> validDays;

    bool Signed() const { return !keys.empty(); }
};

// The serial a signed publication carries: above the last one each of its
// keys signed (recorded beside the key), above the served signature's when
// that verifies under one of the keys, and not below now, so it increases
// even when the clock goes back. Threat: a signature planted in the server
// directory; one that doesn't verify is ignored, with a warning. Raises
// PublishFailure (status 2) when no serial can follow the last one signed.
// listDir is the folder of the list being signed; scope is empty for the
// live list and a staged one, and names a channel's lists, whose serials
// follow one another apart (FILE.<scope>.serial beside each key).
std::uint64_t NextSerial(const std::filesystem::path& listDir, const SigningOptions& signing, std::uint64_t now,
                         std::vector<std::string>& warnings, const std::string& scope = {});

// The signature file's text for the list archive at archivePath (not yet in
// place), signed by every key, which then record serial beside them (a
// record that can't be written is a warning). Raises IoError.
std::string SignListArchive(const std::filesystem::path& archivePath, const SigningOptions& signing,
                            std::uint64_t serial, std::vector<std::string>& warnings, const std::string& scope = {});

std::uint64_t UnixNow();

// 64 lowercase hex digits of a file's SHA-256, read through its native
// path. Raises IoError.
std::string FileSha256Hex(const std::filesystem::path& path);

}  // namespace publish
