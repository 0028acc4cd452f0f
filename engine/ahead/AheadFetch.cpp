#include "engine/ahead/AheadFetch.h"

#include "engine/ahead/AheadObject.h"
#include "engine/ahead/AheadPatch.h"
#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/Resume.h"
#include "engine/fetch/RunControl.h"

// A fetcher's transfer ends at a stop of the run or of the loop, also while
// it waits for a stalled server.
os::HttpSession& TAheadFetcher::Http() {
    if (!http_) {
        http_.emplace(pool_.Fork());
        http_->SetStop([&shared = shared_] { return shared.Stopped(); });
        http_->SetRateLimit([control = shared_.options.control] { return control->RateLimit(); });
    }
    return *http_;
}

os::HttpOptions TAheadFetcher::CopyOptions(const std::string& url) const {
    os::HttpOptions options;
    options.answerWithin = shared_.options.servers->AnswerWithin();
    options.silence = shared_.options.servers->SilenceOf(url);
    return options;
}

// An object-only job has no copy a cache could hold an old one of: its
// cursor asks no server twice.
void TAheadFetcher::StartCursor(TClaim& claim) {
    const TAheadJob& job = *claim.job;
    if (!claim.cursor) claim.cursor.emplace(*shared_.options.servers, job.path, job.objectOnly ? "" : job.digest);
}

void TAheadFetcher::Prefetch(TClaim& claim) {
    const TAheadJob& job = *claim.job;
    if (!job.patches.empty() && !claim.patchFailed) return;
    StartCursor(claim);
    if (PrefetchObject(shared_, Http(), claim) || claim.memory == 0) return;
    Http().Prefetch(claim.cursor->Url(), CopyOptions(claim.cursor->Url()));
}

TFetched TAheadFetcher::Fetch(TClaim& claim, bool fromZero, TFailure& failure) {
    if (!claim.localFrom.empty()) {
        if (CopyFromEarlier(shared_, claim)) return TFetched::Ready;
        claim.localFrom.clear();
    }
    StartCursor(claim);
    TServerCursor& cursor = *claim.cursor;
    for (;;) {
        try {
            // Nothing an earlier server sent is continued from another.
            if (const TFetched fetched = FetchOverPauses(claim, cursor.Url(), fromZero || cursor.Moved());
                fetched == TFetched::Copy || fetched == TFetched::Ready) {
                return fetched;
            }
            failure = Http().OpenFailure();
            failure.text = cursor.Url() + ": " + failure.text;
        } catch (const std::exception& e) {
            failure = FailureOf(e);
        }
        if (!NextServerAfter(shared_, claim, failure)) {
            return cursor.NoneAnswered() ? TFetched::Unreachable : TFetched::Failed;
        }
    }
}

// A transfer closed by a long pause is not the entry's failure: once the
// run is resumed, the entry is fetched again, continuing its partial copy
// (a copy in memory starts over). The fetcher's session is made anew.
TFetched TAheadFetcher::FetchOverPauses(TClaim& claim, const std::string& url, bool fromZero) {
    for (;;) {
        try {
            return FetchOne(claim, url, fromZero);
        } catch (const ETransferPaused&) {
            http_.reset();
            fromZero = false;  // the copy begun from zero is the one to continue
        }
    }
}

// Fetches one entry's copy: into memory when it has room there, else as the
// run's FetchCopy does, into its partial copy over the fetcher's connection.
TFetched TAheadFetcher::FetchOne(TClaim& claim, const std::string& url, bool fromZero) {
    const TAheadJob& job = *claim.job;
    // No new request while paused: it would only hold a connection.
    if (shared_.options.pace) shared_.options.pace->WaitWhilePaused([this] { return shared_.Stopped(); });
    claim.progress->Begin(TAheadStage::Downloading);
    // Only a resumed copy that failed is fetched again from zero, not one
    // whose patches failed.
    fromZero = fromZero && claim.resumed;
    claim.resumed = false;
    if (!job.patches.empty() && !claim.patchFailed) {
        if (FetchPatches(shared_, Http(), claim)) return TFetched::Copy;
        claim.progress->Begin(TAheadStage::Downloading);  // the copy's bar starts over
    }
    if (ObjectDue(claim)) {
        if (FetchObject(shared_, Http(), claim)) {
            if (claim.cursor) claim.cursor->Succeeded();
            return TFetched::Ready;
        }
        claim.progress->Begin(TAheadStage::Downloading);
    }
    // No copy stands for it: the next server's object, or the entry's failure.
    if (job.objectOnly) throw Exception(claim.note, TFault::ServerError);
    if (claim.memory > 0) {
        claim.copy.clear();
        auto response = Http().Open(url, CopyOptions(url));
        if (!response) return TFetched::Unreachable;
        bool broken = false;
        claim.copy.reserve(static_cast<std::size_t>(claim.memory));  // what the budget counts, no more
        TMemorySink sink(claim.copy);
        shared_.Receive(*response, sink, 0, job.copyLimit, claim, broken);
        return TFetched::Copy;
    }
    shared_.MakeDirectoryOf(job.path);
    const TCopyFetch how{
        Http(), shared_.options.installDir, *shared_.options.temps,
        [this](const std::string& relative, const std::string& suffix) { return shared_.Pick(relative, suffix); },
        [this, &claim, &job](os::HttpResponse& response, os::File& file, std::uint64_t offset, bool& broken) {
            TFileSink sink(file);
            shared_.Receive(response, sink, offset, job.copyLimit, claim, broken);
        },
        shared_.options.servers->AnswerWithin(), shared_.options.servers->SilenceOf(url)};
    claim.archive = FetchEntryCopy(how, url, job.path, job.digest, static_cast<std::uint64_t>(job.size),
                                   static_cast<std::uint64_t>(job.copyLimit), fromZero, claim.resumed);
    return claim.archive.empty() ? TFetched::Unreachable : TFetched::Copy;
}
