#include "engine/fetch/Resume.h"

#include "engine/state/TempNames.h"
#include "formats/Publication.h"
#include "platform/errors.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

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
    if (size < kResumableSize) return;
    const std::string name = Name(relativePath, digest, size);
    if (name.empty()) return;
    kept_.push_back(TTempNames::Hash(name));
    kept_.push_back(TTempNames::Hash(name + std::string(kObjectSuffix)));
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
        throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
    tag.Close();
}

void TPartialCopies::Discard(const std::string& partialPath) {
    // DeleteFile removes a link itself, never what it points at.
    os::DeleteFile(partialPath);
    os::DeleteFile(partialPath + std::string(kValidatorSuffix));
}

namespace {

constexpr std::size_t kNumberWidth = 20;

// 1 to 20 digits that fit; 0 for anything else.
std::uint64_t ParseNumber(std::string_view text) {
    if (text.empty() || text.size() > kNumberWidth || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return 0;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string Padded(std::uint64_t value) {
    std::string text = std::to_string(value);
    return std::string(kNumberWidth - text.size(), '0') + text;
}

}  // namespace

std::optional<TPartialCopies::TObjectPoint> TPartialCopies::OpenObject(const std::string& partialPath,
                                                                       std::uint64_t size) {
    const std::string tagPath = partialPath + std::string(kValidatorSuffix);
    if (!os::NameTaken(partialPath)) {
        os::DeleteFile(tagPath);
        return std::nullopt;
    }
    try {
        std::array<char, 700> text{};
        std::size_t got = 0;
        {
            os::File tag = os::File::OpenOwn(tagPath, os::Share::None);
            while (got < text.size()) {
                const std::size_t n = tag.Read(text.data() + got, text.size() - got);
                if (n == 0) break;
                got += n;
            }
        }
        // "<offset> <decoded> <validator>", the numbers 20 digits wide.
        const std::string_view tag(text.data(), got);
        constexpr std::size_t kHead = 2 * (kNumberWidth + 1);
        TObjectPoint point;
        if (tag.size() > kHead) {
            point.offset = ParseNumber(tag.substr(0, kNumberWidth));
            point.decoded = ParseNumber(tag.substr(kNumberWidth + 1, kNumberWidth));
            point.validator = std::string(tag.substr(kHead));
        }
        if (point.offset > 0 && point.decoded > 0 && point.decoded < size && os::SafeHttpValidator(point.validator)) {
            point.file = os::File::OpenOwn(partialPath, os::Share::None);
            if (point.file.Size() == static_cast<std::int64_t>(size)) {
                point.file.Seek(static_cast<std::int64_t>(point.decoded), os::SeekOrigin::Begin);
                return point;
            }
        }
    } catch (const std::exception&) {
        // A link, a directory, an unreadable file: nothing to continue.
    }
    Discard(partialPath);
    return std::nullopt;
}

void TPartialCopies::WriteObjectTag(const std::string& partialPath, std::uint64_t offset, std::uint64_t decoded,
                                    const std::string& validator, bool create) {
    const std::string tagPath = partialPath + std::string(kValidatorSuffix);
    const std::string text = Padded(offset) + " " + Padded(decoded) + " " + validator;
    os::File tag = create ? os::File::CreateNew(tagPath, os::Share::None) : os::File::OpenOwn(tagPath, os::Share::None);
    if (tag.Write(text.data(), text.size()) != text.size()) throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
    tag.Close();
}

namespace {

os::HttpOptions OptionsOf(const TCopyFetch& how, const os::HttpRange* range = nullptr) {
    os::HttpOptions options;
    options.range = range;
    options.answerWithin = how.answerWithin;
    return options;
}

// A copy fetched whole under a temporary name of this run: a small entry's,
// or one without a partial copy's name of its own.
std::string FetchWhole(const TCopyFetch& how, const std::string& url, std::string_view relative) {
    auto response = how.http.Open(url, OptionsOf(how));
    if (!response) return std::string();
    const std::string archive = how.pick(std::string(relative), kCopySuffix);
    os::File file = os::File::CreateNew(archive, os::Share::ReadWrite);
    try {
        bool broken = false;
        how.receive(*response, file, 0, broken);
        file.Close();
    } catch (...) {
        file = os::File();  // closed before its name goes
        os::DeleteFile(archive);
        throw;
    }
    return archive;
}

// Asks for what a partial copy lacks; unreachable when no server answered
// (the copy waits for the next run). Otherwise the answer that continues
// the copy or, with point reset and the copy discarded, a 200 with the
// whole copy, or null for an answer that doesn't fit (asked for whole then).
std::unique_ptr<os::HttpResponse> AskForRest(const TCopyFetch& how, const std::string& url,
                                             const std::string& partial,
                                             std::optional<TPartialCopies::TResumePoint>& point, bool& unreachable) {
    const os::HttpRange range{point->offset, point->validator};
    std::unique_ptr<os::HttpResponse> response = how.http.Open(url, OptionsOf(how, &range));
    if (!response) {
        unreachable = true;
        return response;
    }
    const int status = response->Status();
    // WinInet hands over a connection closed without an answer as a
    // response without a status: no answer, so the copy waits as well.
    if (status < 100) throw EInOutError(TFault::CannotConnect, 0, url + ": the server sent no answer");
    if (status != 206 || response->RangeStart() != static_cast<std::int64_t>(point->offset)) {
        // The server ignored the range or has another copy (200, the
        // whole copy follows), or answered what doesn't fit: from zero.
        point.reset();
        TPartialCopies::Discard(partial);
        if (status != 200) response.reset();
    }
    return response;
}

// A new partial copy for a transfer from zero, with the server's validator
// beside it when the copy can be continued; keep tells whether it can.
os::File BeginPartial(const std::string& partial, const os::HttpResponse& response, bool& keep) {
    os::File file = os::File::CreateNew(partial, os::Share::ReadWrite);
    const std::string validator = response.Validator();
    if (response.Status() == 200 && os::SafeHttpValidator(validator)) {
        try {
            TPartialCopies::WriteValidator(partial, validator);
            keep = true;
        } catch (...) {
            file = os::File();
            TPartialCopies::Discard(partial);
            throw;
        }
    }
    return file;
}

}  // namespace

std::string FetchEntryCopy(const TCopyFetch& how, const std::string& url, std::string_view relative,
                           std::string_view digest, std::uint64_t size, std::uint64_t limit, bool fromZero,
                           bool& resumed) {
    resumed = false;
    const std::string name = TPartialCopies::Name(relative, digest, size);
    if (name.empty() || size < kResumableSize || how.temps.Claimed(name) ||
        how.temps.Claimed(name + std::string(TPartialCopies::kValidatorSuffix))) {
        return FetchWhole(how, url, relative);
    }
    const std::string partial = how.installDir + name;
    std::optional<TPartialCopies::TResumePoint> point;
    if (fromZero) {
        TPartialCopies::Discard(partial);
    } else {
        point = TPartialCopies::Open(partial, limit);
    }
    std::unique_ptr<os::HttpResponse> response;
    if (point) {
        bool unreachable = false;
        response = AskForRest(how, url, partial, point, unreachable);
        if (unreachable) return std::string();  // the partial copy waits for the next run
    }
    if (!response) {
        response = how.http.Open(url, OptionsOf(how));
        if (!response) return std::string();
    }
    os::File file;
    std::uint64_t offset = 0;
    bool keep = false;  // a broken transfer leaves what arrived for the next run
    if (point) {
        file = std::move(point->file);
        offset = point->offset;
        resumed = true;
        keep = true;
    } else {
        file = BeginPartial(partial, *response, keep);
    }
    bool broken = false;
    try {
        how.receive(*response, file, offset, broken);
        file.Close();
    } catch (...) {
        file = os::File();  // closed before its name goes
        if (!(keep && broken)) TPartialCopies::Discard(partial);
        throw;
    }
    // Complete: decoded next, never continued.
    os::DeleteFile(partial + std::string(TPartialCopies::kValidatorSuffix));
    return partial;
}
