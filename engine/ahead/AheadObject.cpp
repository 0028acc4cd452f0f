#include "engine/ahead/AheadObject.h"

#include "engine/fetch/ObjectStream.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/Resume.h"
#include "engine/fetch/RunControl.h"
#include "engine/state/TempNames.h"
#include "formats/Publication.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string ObjectFallbackNote(const TFailure& failure) {
    return "object failed (" + DescribeFailure(failure) + "), fetching the copy";
}

// Sets the part's size ahead, so a full disk fails before the transfer and
// the file system lays the file out in one piece.
void SizeAhead(os::File& file, std::int64_t size) {
    if (size > 0) os::MapFileWritable(file, static_cast<std::uint64_t>(size)).reset();
}

os::HttpOptions OptionsOf(const TAheadShared& shared, const std::string& url, const os::HttpRange* range = nullptr) {
    os::HttpOptions options;
    options.range = range;
    options.answerWithin = shared.options.servers->AnswerWithin();
    options.silence = shared.options.servers->SilenceOf(url);
    return options;
}

std::unique_ptr<os::HttpResponse> Ask(TAheadShared& shared, os::HttpSession& http, const std::string& url,
                                      const os::HttpRange* range = nullptr) {
    auto response = http.Open(url, OptionsOf(shared, url, range));
    if (!response) throw Exception(url + ": no answer", TFault::CannotConnect);
    return response;
}

void RequireStatus(const os::HttpResponse& response, const std::string& url, int wanted) {
    if (const int status = response.Status(); status != wanted) {
        throw Exception(url + ": the server answered " + std::to_string(status), TFault::ServerError, status);
    }
}

// Where a large entry's object is decoded so that an interrupted transfer
// can be continued (engine/fetch/Resume); empty for a small entry, or one
// whose names a listed file holds: it goes to a part of this run.
std::string PartialOf(const TAheadShared& shared, const TAheadJob& job) {
    const auto size = static_cast<std::uint64_t>(job.size);
    const std::string copy = TPartialCopies::Name(job.path, job.digest, size);
    if (copy.empty() || size < kResumableSize) return std::string();
    const std::string name = copy + std::string(TPartialCopies::kObjectSuffix);
    const TTempNames& temps = *shared.options.temps;
    if (temps.Claimed(name) || temps.Claimed(name + std::string(TPartialCopies::kValidatorSuffix))) return std::string();
    return name;
}

// The entry's object at the server its cursor asks now.
std::string ObjectUrl(const TClaim& claim) { return ServerUrl(claim.cursor->Base(), claim.job->object); }

// A small entry's object, whole, into a new part of this run.
std::string FetchWhole(TAheadShared& shared, os::HttpSession& http, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    const std::string url = ObjectUrl(claim);
    const auto response = Ask(shared, http, url);
    RequireStatus(*response, url, 200);
    std::string part;
    os::File file = shared.Create(job.path, ".part", part, true);
    try {
        SizeAhead(file, job.size);
        TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
        TObjectSink sink(file, check, job.size);
        bool broken = false;
        shared.Receive(*response, sink, 0, job.objectLimit, claim, broken);
        sink.Finish();
        check.Verify();
        file.Close();
    } catch (...) {
        file = os::File();  // closed before its name goes
        os::DeleteFile(part);
        throw;
    }
    return part;
}

// The decoded bytes a continued object already has, through the check.
void HashDecoded(os::File& file, std::uint64_t decoded, TCopyCheck& check) {
    file.Seek(0, os::SeekOrigin::Begin);
    std::vector<std::uint8_t> buffer(kCopyBlock);
    for (std::uint64_t left = decoded; left > 0;) {
        const std::size_t n = file.Read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
        if (n == 0) throw Exception("The partial object is shorter than its tag says", TFault::Cut);
        check.Add(buffer.data(), n);
        left -= n;
    }
}

// A large entry's object into its partial object, continued from the end of
// the last whole frame an earlier transfer brought (Range with If-Range);
// the tag follows every frame's end. A stop or a pause keeps it for later;
// any other failure removes it (the copy is fetched then).
std::string FetchContinued(TAheadShared& shared, os::HttpSession& http, TClaim& claim, const std::string& name) {
    const TAheadJob& job = *claim.job;
    const std::string url = ObjectUrl(claim);
    const std::string partial = shared.options.installDir + name;
    TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
    auto point = TPartialCopies::OpenObject(partial, static_cast<std::uint64_t>(job.size));
    std::unique_ptr<os::HttpResponse> response;
    if (point) {
        const os::HttpRange range{point->offset, point->validator};
        response = Ask(shared, http, url, &range);
        if (response->Status() == 206 && response->RangeStart() == static_cast<std::int64_t>(point->offset)) {
            try {
                HashDecoded(point->file, point->decoded, check);
            } catch (...) {
                point->file = os::File();
                TPartialCopies::Discard(partial);
                throw;
            }
        } else {
            // Another object, or a server that ignored the range: from zero.
            point.reset();
            TPartialCopies::Discard(partial);
            if (response->Status() != 200) response.reset();
        }
    }
    if (!response) response = Ask(shared, http, url);
    os::File file;
    TPartialCopies::TObjectPoint at;
    if (point) {
        at = std::move(*point);
        file = std::move(at.file);
    } else {
        RequireStatus(*response, url, 200);
        shared.MakeDirectoryOf(job.path);
        file = os::File::CreateNew(partial, os::Share::ReadWrite);
        at.validator = response->Validator();
    }
    try {
        if (!point) {
            SizeAhead(file, job.size);
            // Without a validator the next run couldn't tell it's the same object.
            if (!os::SafeHttpValidator(at.validator)) at.validator.clear();
            if (!at.validator.empty()) TPartialCopies::WriteObjectTag(partial, 0, 0, at.validator, true);
        }
        TObjectSink sink(file, check, job.size, static_cast<std::int64_t>(at.decoded),
                         [&](std::uint64_t consumed, std::int64_t produced) {
                             if (at.validator.empty()) return;
                             TPartialCopies::WriteObjectTag(partial, at.offset + consumed,
                                                            static_cast<std::uint64_t>(produced), at.validator, false);
                         });
        bool broken = false;
        shared.Receive(*response, sink, at.offset, job.objectLimit, claim, broken);
        sink.Finish();
        check.Verify();
        file.Close();
    } catch (const ETransferPaused&) {
        throw;
    } catch (const std::exception& e) {
        file = os::File();  // closed before its name goes
        if (FailureOf(e).fault != TFault::Stopped) TPartialCopies::Discard(partial);
        throw;
    }
    os::DeleteFile(partial + std::string(TPartialCopies::kValidatorSuffix));
    return partial;
}

}  // namespace

bool CopyFromEarlier(TAheadShared& shared, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    std::string part;
    try {
        os::File source = os::File::OpenRead(shared.options.installDir + claim.localFrom, os::Share::Read);
        os::File file = shared.Create(job.path, ".part", part, true);
        SizeAhead(file, job.size);
        TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
        std::vector<char> buffer(kCopyBlock);
        while (const std::size_t n = source.Read(buffer.data(), buffer.size())) {
            check.Add(reinterpret_cast<const std::uint8_t*>(buffer.data()), n);
            if (file.Write(buffer.data(), n) != n) throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
            if (shared.Stopped()) throw ERunStopped();
        }
        check.Verify();
        file.Close();
        claim.part = std::move(part);
        return true;
    } catch (const std::exception& e) {
        if (!part.empty()) os::DeleteFile(part);
        if (FailureOf(e).fault == TFault::Stopped) throw;
        return false;
    }
}

bool ObjectDue(const TClaim& claim) {
    return !claim.job->object.empty() && claim.cursor && claim.objectFailedAt != claim.cursor->Base();
}

bool PrefetchObject(TAheadShared& shared, os::HttpSession& http, const TClaim& claim) {
    const TAheadJob& job = *claim.job;
    if (!ObjectDue(claim)) return false;
    // FetchWhole's request, started now; a continued object asks a range.
    if (claim.localFrom.empty() && PartialOf(shared, job).empty()) {
        const std::string url = ObjectUrl(claim);
        http.Prefetch(url, OptionsOf(shared, url));
    }
    return true;
}

bool FetchObject(TAheadShared& shared, os::HttpSession& http, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    try {
        const std::string partial = PartialOf(shared, job);
        claim.part = partial.empty() ? FetchWhole(shared, http, claim) : FetchContinued(shared, http, claim, partial);
        return true;
    } catch (const ETransferPaused&) {
        throw;
    } catch (const std::exception& e) {
        const TFailure failure = FailureOf(e);
        if (failure.fault == TFault::Stopped) throw;
        claim.objectFailedAt = claim.cursor->Base();
        if (job.objectOnly) throw;
        claim.note += (claim.note.empty() ? "" : "; ") + ObjectFallbackNote(failure);
        return false;
    }
}
