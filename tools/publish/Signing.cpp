#include "tools/publish/Signing.h"

#include "formats/Publication.h"
#include "platform/secret.h"
#include "tools/publish/Failure.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Names.h"
#include "tools/publish/Text.h"

#include <chrono>
#include <system_error>
#include <vector>

namespace publish {

namespace fs = std::filesystem;

namespace {

std::uint64_t UnixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

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

std::uint64_t NextSerial(const fs::path& serverDir, std::uint64_t now) {
    std::uint64_t previous = 0;
    std::error_code ec;
    const fs::path sigPath = serverDir / kSignatureName;
    if (fs::is_regular_file(sigPath, ec)) {
        try {
            if (const auto old = sig::ParseListSignature(ReadWholeFile(sigPath))) previous = old->serial;
        } catch (const IoError&) {
            // Unreadable: the clock alone decides.
        }
    }
    return std::max(previous + 1, now);
}

void FinishSignature(const fs::path& serverDir, const SigningOptions& signing) {
    const fs::path sigPath = serverDir / kSignatureName;
    if (signing.key == nullptr) {
        std::error_code ec;
        if (!fs::remove(sigPath, ec) && ec) RaiseIo("remove", sigPath, ec.value());
        return;
    }
    const std::uint64_t now = UnixNow();
    std::optional<std::uint64_t> expires;
    if (signing.validDays) expires = now + std::uint64_t{*signing.validDays} * 86400;
    // The bytes as they are now in place, read back through the native path.
    const std::string list = ReadWholeFile(serverDir / kListArchiveName);
    const sig::TSha256 digest = sig::Sha256({reinterpret_cast<const std::uint8_t*>(list.data()), list.size()});
    const std::string text = sig::SignList(*signing.key, digest, NextSerial(serverDir, now), expires);
    TempFile temp(sigPath);
    CFile out(temp.Path(), CFile::Mode::Write);
    out.Write(text.data(), text.size());
    out.Close();
    temp.Commit();
}

}  // namespace publish
