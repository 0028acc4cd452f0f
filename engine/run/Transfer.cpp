#include "engine/run/Transfer.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/RunControl.h"
#include "engine/fetch/Servers.h"
#include "engine/run/RunContext.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <memory>

namespace {

std::optional<int> DownloadOnce(TRunContext& run, const std::string& url, const std::string& localPath,
                                const TDownload& how) {
    run.fields.ProgressValue = 0;
    std::optional<int> status;
    bool created = false;
    try {
        os::HttpOptions options;
        options.revalidate = how.revalidate;
        options.answerWithin = run.Servers().AnswerWithin();
        options.silence = run.Servers().SilenceOf(url);
        auto response = run.Http().Open(url, options);
        if (!response) {
            run.report.Reset(TProgressKind::File);
            return status;
        }
        // Made here or not at all: never an existing file or a link.
        os::File file = os::File::CreateNew(localPath, os::Share::ReadWrite);
        created = true;
        TFileSink sink(file);
        TReceive receive;
        receive.limit = how.limit;
        if (how.reportProgress) {
            receive.received = [&run](std::uint64_t received) {
                run.report.FilePosition(TProgressKind::File, static_cast<std::int64_t>(received));
            };
        }
        receive.stopped = [&run] { return run.control.StopRequested(); };
        receive.pace = &run.pace;
        bool broken = false;
        status = ReceiveBody(*response, sink, receive, broken);
        file.Close();
    } catch (...) {
        // The file object is gone by now, so the name can be removed.
        if (created) os::DeleteFile(localPath);
        run.report.Reset(TProgressKind::File);
        throw;
    }
    run.report.Reset(TProgressKind::File);
    return status;
}

}  // namespace

std::optional<int> DownloadTo(TRunContext& run, const std::string& url, const std::string& localPath,
                              const TDownload& how) {
    for (;;) {
        try {
            return DownloadOnce(run, url, localPath, how);
        } catch (const ETransferPaused&) {
            // Closed by a long pause: the run's own files are small, so the
            // transfer starts over once the run is resumed.
            run.pace.WaitWhilePaused([&run] { return run.control.StopRequested(); });
        }
    }
}

bool FetchFromServers(TRunContext& run, const std::string& listPath, const std::string& digest,
                      const std::function<bool(const std::string& url, bool moved)>& attempt) {
    TServerCursor cursor(run.Servers(), listPath, digest);
    for (;;) {
        TFailure failure;
        try {
            if (attempt(cursor.Url(), cursor.Moved())) {
                cursor.Succeeded();
                return true;
            }
            failure = run.Http().OpenFailure();
            failure.text = cursor.Url() + ": " + failure.text;
        } catch (const std::exception& e) {
            failure = FailureOf(e);
            if (failure.fault == TFault::Stopped) throw;
        }
        if (!cursor.Failed(failure)) {
            if (cursor.NoneAnswered()) return false;
            const TFailure& first = cursor.FirstFailure();
            throw Exception(first.text, first.fault, first.code);
        }
    }
}

void ExtractTo(TRunContext& run, const std::string& sourcePath, const std::string& targetPath, TCopyCheck& check,
               int serverStatus) {
    auto source = std::make_unique<TFileStream>(sourcePath, TFileStream::Mode::OpenRead, os::Share::Read);
    bool created = false;
    try {
        TFileStream target(targetPath, TFileStream::Mode::CreateNew, os::Share::None);
        created = true;
        DecompressTo(run, *source, target, check, serverStatus);
        target.Close();
    } catch (...) {
        source.reset();
        os::DeleteFile(sourcePath);
        if (created) os::DeleteFile(targetPath);  // a partial copy, closed by now
        throw;
    }
    source.reset();
    os::DeleteFile(sourcePath);
}

void OnExtractProgress(TRunContext& run, void*) {
    run.report.FilePosition(TProgressKind::Extract, run.fields.ExtractSource->Position());
}

void DecompressTo(TRunContext& run, TStream& source, TStream& target, TCopyCheck& check, int serverStatus) {
    run.fields.ExtractSource = &source;
    run.report.FileBarMax(source.Size());
    struct Finish {
        TRunContext& run;
        ~Finish() {
            run.fields.ExtractSource = nullptr;
            run.report.Reset(TProgressKind::Extract);
        }
    } finish{run};
    TBZDecompressionStream decoder(source);
    decoder.OnProgress = [&run](void* sender) { OnExtractProgress(run, sender); };
    DecodeCopy(decoder, target, check, [&run] { run.control.ThrowIfStopped(); }, serverStatus);
}
