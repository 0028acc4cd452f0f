#include "engine/ahead/AheadObject.h"

#include "engine/fetch/ObjectStream.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/RunControl.h"

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

// The object's body decoded into a new part; returns its path, verified.
std::string DecodeObject(TAheadShared& shared, os::HttpResponse& response, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    std::string part;
    os::File file = shared.Create(job.path, ".part", part, true);
    try {
        SizeAhead(file, job.size);
        TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
        TObjectSink sink(file, check, job.size);
        bool broken = false;
        shared.Receive(response, sink, 0, job.objectLimit, claim, broken);
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

bool FetchObject(TAheadShared& shared, os::HttpSession& http, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    try {
        os::HttpOptions options;
        options.answerWithin = shared.options.servers->AnswerWithin();
        auto response = http.Open(job.object, options);
        if (!response) throw Exception(job.object + ": no answer", TFault::CannotConnect);
        if (const int status = response->Status(); status != 200) {
            throw Exception(job.object + ": the server answered " + std::to_string(status), TFault::ServerError,
                            status);
        }
        claim.part = DecodeObject(shared, *response, claim);
        return true;
    } catch (const ETransferPaused&) {
        throw;
    } catch (const std::exception& e) {
        const TFailure failure = FailureOf(e);
        if (failure.fault == TFault::Stopped) throw;
        claim.objectFailed = true;
        claim.note += (claim.note.empty() ? "" : "; ") + ObjectFallbackNote(failure);
        return false;
    }
}
