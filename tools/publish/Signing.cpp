#include "tools/publish/Signing.h"

#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "platform/secret.h"
#include "tools/publish/Failure.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Names.h"
#include "tools/publish/Text.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

namespace publish {

namespace fs = std::filesystem;

std::uint64_t UnixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

sig::TPublicKey GenerateKeyFile(const fs::path& secretFile) {
    const sig::TSecretKey key = sig::TSecretKey::Generate();
    const std::string problem = os::CreateSecretFile(secretFile, sig::FormatSecretKeyFile(key));
    if (!problem.empty()) {
        throw PublishFailure(2, {Cat("can't create the key file '", Display(secretFile), "': ", problem,
                                     " (an existing key file is never overwritten)")});
    }
    return key.PublicKey();
}

sig::TSecretKey LoadKeyFile(const fs::path& secretFile) {
    std::string text;
    const std::string problem = os::ReadSecretFile(secretFile, text);
    if (!problem.empty()) {
        throw PublishFailure(2, {Cat("can't use the key file '", Display(secretFile), "': ", problem)});
    }
    auto key = sig::ParseSecretKeyFile(text);
    std::fill(text.begin(), text.end(), '\0');
    if (!key) {
        throw PublishFailure(
            2, {Cat("the key file '", Display(secretFile), "' is not a secret key made by 'corvel-publish keygen'")});
    }
    return std::move(*key);
}

std::string FileSha256Hex(const fs::path& path) {
    CFile in(path, CFile::Mode::Read);
    sig::TSha256Stream hash;
    std::vector<std::uint8_t> buffer(1 << 20);
    while (const std::size_t n = in.Read(buffer.data(), buffer.size())) hash.Update({buffer.data(), n});
    return sig::ToHex(hash.Final());
}

namespace {

// A signature file is a few hundred bytes; a larger one is none of ours.
constexpr std::uintmax_t kMaxServedSignature = 4096;

fs::path SerialRecord(const SigningKey& signing, const std::string& scope) {
    fs::path record = signing.file;
    if (!scope.empty()) record += "." + scope;
    record += kSerialRecordSuffix;
    return record;
}

// The serial recorded beside a key; 0 when there is none.
std::uint64_t RecordedSerial(const SigningKey& signing, const std::string& scope, std::vector<std::string>& warnings) {
    const fs::path record = SerialRecord(signing, scope);
    std::error_code ec;
    if (!fs::exists(record, ec)) return 0;
    try {
        std::string text = ReadWholeFile(record);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (const auto serial = ParseDecimal(text)) return *serial;
    } catch (const IoError&) {
    }
    warnings.push_back(Cat("the serial record '", Display(record), "' is unreadable; ignored"));
    return 0;
}

// The served signature's serial when one of signing's keys made it.
std::optional<std::uint64_t> VerifiedServedSerial(const fs::path& sigPath, const SigningOptions& signing) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(sigPath, ec);
    if (ec || size > kMaxServedSignature) return std::nullopt;
    const auto served = sig::ParseListSignature(ReadWholeFile(sigPath));
    if (!served) return std::nullopt;
    std::vector<sig::TPublicKey> keys;
    for (const SigningKey& key : signing.keys) keys.push_back(key.key.PublicKey());
    if (!sig::SignerOf(*served, keys)) return std::nullopt;
    return served->serial;
}

}  // namespace

std::uint64_t NextSerial(const fs::path& listDir, const SigningOptions& signing, std::uint64_t now,
                         std::vector<std::string>& warnings, const std::string& scope) {
    std::uint64_t previous = 0;
    for (const SigningKey& key : signing.keys) {
        previous = std::max(previous, RecordedSerial(key, scope, warnings));
    }
    const fs::path sigPath = listDir / kSignatureName;
    std::error_code ec;
    if (fs::exists(sigPath, ec)) {
        std::optional<std::uint64_t> served;
        try {
            served = VerifiedServedSerial(sigPath, signing);
        } catch (const IoError&) {
        }
        if (served) {
            previous = std::max(previous, *served);
        } else {
            warnings.push_back(Cat("the served '", kSignatureName,
                                   "' is not signed by these keys; its serial is ignored"));
        }
    }
    if (previous >= static_cast<std::uint64_t>(INT64_MAX)) {
        throw PublishFailure(2, {Cat("the last serial signed (", std::to_string(previous),
                                     ") leaves no serial to follow it; installs could accept no later list")});
    }
    return std::max(previous + 1, now);
}

std::string SignListArchive(const fs::path& archivePath, const SigningOptions& signing, std::uint64_t serial,
                            std::vector<std::string>& warnings, const std::string& scope) {
    std::optional<std::uint64_t> expires;
    if (signing.validDays) expires = UnixNow() + std::uint64_t{*signing.validDays} * 86400;
    const std::string list = ReadWholeFile(archivePath);
    const sig::TSha256 digest = sig::Sha256({reinterpret_cast<const std::uint8_t*>(list.data()), list.size()});
    std::vector<const sig::TSecretKey*> keys;
    for (const SigningKey& key : signing.keys) keys.push_back(&key.key);
    const std::string text = sig::SignList(keys, digest, serial, expires);
    for (const SigningKey& key : signing.keys) {
        const fs::path record = SerialRecord(key, scope);
        try {
            TempFile temp(record);
            CFile out(temp.Path(), CFile::Mode::Write);
            const std::string line = std::to_string(serial) + "\n";
            out.Write(line.data(), line.size());
            out.Close();
            temp.Commit();
        } catch (const IoError& e) {
            warnings.push_back(Cat(e.what(), " (the serial is not recorded beside the key)"));
        }
    }
    return text;
}

}  // namespace publish
