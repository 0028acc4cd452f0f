#include "engine/Resume.h"

#include "engine/TempNames.h"

#include <algorithm>
#include <array>

namespace {

bool IsHexDigest(std::string_view digest) {
    return digest.size() == 32 && std::all_of(digest.begin(), digest.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

}  // namespace

std::string TPartialCopies::Name(std::string_view relativePath, std::string_view digest, std::uint64_t size) {
    if (relativePath.empty() || !IsHexDigest(digest)) return std::string();
    std::string name(relativePath);
    name += TTempNames::kMarker;
    name += "-resume-";
    for (char c : digest) name += static_cast<char>(c >= 'A' && c <= 'F' ? c + ('a' - 'A') : c);
    name += '-';
    name += std::to_string(size);
    return name;
}

void TPartialCopies::Keep(std::string_view relativePath, std::string_view digest, std::uint64_t size) {
    const std::string name = Name(relativePath, digest, size);
    if (!name.empty()) kept_.push_back(TTempNames::Hash(name));
}

void TPartialCopies::Seal() { std::sort(kept_.begin(), kept_.end()); }

bool TPartialCopies::Kept(std::string_view relative) const {
    if (relative.size() > kValidatorSuffix.size() &&
        relative.substr(relative.size() - kValidatorSuffix.size()) == kValidatorSuffix) {
        relative.remove_suffix(kValidatorSuffix.size());
    }
    return std::binary_search(kept_.begin(), kept_.end(), TTempNames::Hash(relative));
}

std::optional<TPartialCopies::TResumePoint> TPartialCopies::Open(const std::string& partialPath, std::uint64_t limit) {
    const std::string validatorPath = partialPath + std::string(kValidatorSuffix);
    if (!os::NameTaken(partialPath)) {
        os::DeleteFile(validatorPath);
        return std::nullopt;
    }
    try {
        TResumePoint point;
        {
            os::File tag = os::File::OpenOwn(validatorPath, os::Share::None);
            std::array<char, 600> text{};
            std::size_t got = 0;
            while (got < text.size()) {
                const std::size_t n = tag.Read(text.data() + got, text.size() - got);
                if (n == 0) break;
                got += n;
            }
            point.validator.assign(text.data(), got);
        }
        if (os::SafeHttpValidator(point.validator)) {
            point.file = os::File::OpenOwn(partialPath, os::Share::None);
            const std::int64_t length = point.file.Size();
            point.offset = length > 0 ? static_cast<std::uint64_t>(length) : 0;
            if (point.offset > 0 && point.offset < limit) {
                point.file.Seek(0, os::SeekOrigin::End);
                return point;
            }
        }
    } catch (const std::exception&) {
        // A link, a directory, an unreadable file: nothing to continue.
    }
    Discard(partialPath);
    return std::nullopt;
}

void TPartialCopies::WriteValidator(const std::string& partialPath, const std::string& validator) {
    os::File tag = os::File::CreateNew(partialPath + std::string(kValidatorSuffix), os::Share::None);
    if (tag.Write(validator.data(), validator.size()) != validator.size())
        throw EInOutError(kDiskWriteError, "Disk full");
    tag.Close();
}

void TPartialCopies::Discard(const std::string& partialPath) {
    // DeleteFile removes a link itself, never what it points at.
    os::DeleteFile(partialPath);
    os::DeleteFile(partialPath + std::string(kValidatorSuffix));
}
