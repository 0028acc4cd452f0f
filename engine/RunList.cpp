#include "engine/RunList.h"

#include "engine/RunContext.h"
#include "engine/Transfer.h"
#include "formats/Classes.h"
#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <chrono>

namespace {

// A decimal number that fits a signed 32-bit integer, or EConvertError.
std::int32_t ParseInt32(const std::string& text) {
    const std::optional<std::int64_t> value = ParseDecimalInRange(text, INT32_MIN, INT32_MAX);
    if (!value) throw EConvertError("'" + text + "' is not a valid integer value");
    return static_cast<std::int32_t>(*value);
}

std::uint64_t UnixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// The list's archive fetched into a temporary; "" when no server answered.
std::string Download(TRunContext& run) {
    const std::string archive = run.temps.Pick(run.fields.InstallDir, kListName, kCopySuffix);
    run.downloadLimit = static_cast<std::uint64_t>(CompressedSizeBound(kMaxListSize));
    struct Reset {
        TRunContext& run;
        ~Reset() { run.downloadLimit.reset(); }
    } reset{run};
    if (!DownloadTo(run, CopyUrl(run.fields.BaseUrl, kListName), archive, true)) return std::string();
    return archive;
}

// With a public key, the list is decoded only once its signature verified;
// without one, nothing is asked for.
bool Verify(TRunContext& run, const std::string& archive) {
    TRunFields& thread = run.fields;
    thread.TrustProblem.clear();
    try {
        run.trust = TListTrust(thread.PublicKey);
        TListTrust::TTemps temps;
        if (run.trust.Enabled()) {
            temps.signature = run.temps.Pick(thread.InstallDir, kListArchiveName, kSignatureSuffix);
            temps.state = run.temps.Pick(thread.InstallDir, kSerialStateName, ".tmp");
        }
        thread.TrustProblem = run.trust.VerifyList(
            thread.InstallDir, CopyUrl(thread.BaseUrl, kListName), archive, temps,
            [&run](const std::string& url, const std::string& path) { return DownloadTo(run, url, path, true); },
            UnixNow());
    } catch (const std::exception& e) {
        thread.TrustProblem = e.what();
    }
    if (thread.TrustProblem.empty()) return true;
    os::DeleteFile(archive);
    run.report.Fail(TFailure{TFault::NotTrusted, 0, thread.TrustProblem});
    return false;
}

}  // namespace

std::optional<std::string> FetchList(TRunContext& run) {
    std::string archive;
    try {
        archive = Download(run);
    } catch (const std::exception& e) {
        // A broken transfer or a list that can't be stored.
        run.report.Fail(FailureOf(e));
        return std::nullopt;
    }
    if (archive.empty()) {
        // No server: the view just closes.
        run.report.FailQuietly(TFailure{TFault::CannotConnect, 0, CopyUrl(run.fields.BaseUrl, kListName)});
        return std::nullopt;
    }
    if (!Verify(run, archive)) return std::nullopt;

    run.report.Status(TRunPhase::Idle, "");
    try {
        const std::string path = run.temps.Pick(run.fields.InstallDir, kListName, "");
        TCopyCheck bound(kMaxListSize);
        run.extractCheck = &bound;
        struct Reset {
            TRunContext& run;
            ~Reset() { run.extractCheck = nullptr; }
        } reset{run};
        ExtractTo(run, archive, path);
        return path;
    } catch (const std::exception& e) {
        run.report.Fail(FailureOf(e));
        return std::nullopt;
    }
}

void ReadList(const std::string& path, TRunList& list) {
    // The text is read once; the file goes then, read or not, before an
    // entry that claims its name could be installed there.
    try {
        list.rev = ParseInt32(list.reader.ReadValue("settings", "Rev"));
        list.self = list.reader.ReadSectionLines("self");
        list.critical = list.reader.ReadSectionLines("files_critical");
        list.normal = list.reader.ReadSectionLines("files_normal");
    } catch (...) {
        os::DeleteFile(path);
        throw;
    }
    os::DeleteFile(path);
}
