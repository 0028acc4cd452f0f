// The list from each server in turn: its archive fetched within a bound,
// the signature checked (asked once more when it disagrees with the list),
// the archive decoded; the first server that gives one is preferred for the
// rest of the run, and without any the run fails with the first reason.
#include "engine/steps/RunList.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/RunControl.h"
#include "engine/fetch/Servers.h"
#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/run/Transfer.h"
#include "formats/Classes.h"
#include "formats/Decimal.h"
#include "formats/PatchIndex.h"
#include "formats/Publication.h"
#include "formats/ServerUrls.h"
#include "platform/os.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

// A decimal number that fits a signed 32-bit integer, or EConvertError.
std::int32_t ParseInt32(const std::string& text) {
    const std::optional<std::int64_t> value = ParseDecimalInRange(text, INT32_MIN, INT32_MAX);
    if (!value) throw EConvertError("'" + text + "' is not a valid integer value");
    return static_cast<std::int32_t>(*value);
}

// A list and signature that disagree may be a publication caught between
// its two renames, or a cache or server that hasn't caught up for a moment:
// asking again at once found the same pair.
constexpr auto kAgainAfter = std::chrono::milliseconds(1500);

std::uint64_t UnixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// The list's copy may take what a list of kMaxListSize compresses into,
// on every fetch of it; a signature is a few hundred bytes.
const TDownload kListFetch{static_cast<std::uint64_t>(CompressedSizeBound(kMaxListSize)), true, true};
const TDownload kSignatureFetch{static_cast<std::uint64_t>(kMaxSignatureSize), true, true};

// Fetches the list's copy or its signature into path, each within its
// bound; false when no answer came. A signature over its bound is named as
// one, where the reason would otherwise speak of an entry.
bool FetchListFile(TRunContext& run, const std::string& url, const std::string& path, bool signature) {
    try {
        return DownloadTo(run, url, path, signature ? kSignatureFetch : kListFetch).has_value();
    } catch (const Exception& e) {
        if (!signature || e.Fault() != TFault::TooLarge) throw;
        throw Exception("the list's signature is larger than " + std::to_string(kMaxSignatureSize) + " bytes",
                        TFault::TooLarge);
    }
}

// With a public key, the list is decoded only once its signature (from the
// same server) verified; without one, nothing is asked for. The serial is
// held to and recorded in the state file serialState (the live list's or a
// channel's); a staged list's (serialState "") is its own and neither.
// Returns why the list is refused, or "".
std::string Verify(TRunContext& run, const std::string& listUrl, const std::string& archive,
                   const std::string& serialState) {
    TRunFields& fields = run.fields;
    std::string problem;
    try {
        run.trust = TListTrust(fields.PublicKey);
        TListTrust::TTemps temps;
        if (run.trust.Enabled()) {
            temps.signature = run.temps.Pick(fields.InstallDir, kListArchiveName, kSignatureSuffix);
            if (!serialState.empty()) temps.state = run.temps.Pick(fields.InstallDir, serialState, ".tmp");
            temps.stateName = serialState;
        }
        problem = run.trust.VerifyList(
            fields.InstallDir, listUrl, archive, temps,
            [&run, &listUrl](const std::string& url, const std::string& path) {
                return FetchListFile(run, url, path, url != listUrl);
            },
            UnixNow(), [&run] { run.control.WaitFor(kAgainAfter); });
    } catch (const std::exception& e) {
        if (FailureOf(e).fault == TFault::Stopped) {
            os::DeleteFile(archive);
            throw;
        }
        problem = e.what();
    }
    if (!problem.empty()) os::DeleteFile(archive);
    return problem;
}

// The list from one server (from its folder, a staged or channel's list's;
// "" for the live list): fetched, verified against serialState and decoded;
// its decoded path, or "" with why in failure.
std::string ListFrom(TRunContext& run, const std::string& base, TFailure& failure, const std::string& folder = "",
                     const std::string& serialState = kSerialStateName) {
    const std::string url = CopyUrl(ServerUrl(base, folder), kListName);
    try {
        // Caches are asked to revalidate: a publication replaces it in place.
        const std::string archive = run.temps.Pick(run.fields.InstallDir, kListName, kCopySuffix);
        const std::optional<int> status = DownloadTo(run, url, archive, kListFetch);
        if (!status) {
            failure = run.Http().OpenFailure();
            failure.text = url + ": " + failure.text;
            return std::string();
        }
        if (*status >= 400) {
            // An error page is no list: the status says more than its bytes.
            os::DeleteFile(archive);
            failure = TFailure{TFault::ServerError, *status, url};
            return std::string();
        }
        if (const std::string problem = Verify(run, url, archive, serialState); !problem.empty()) {
            failure = TFailure{TFault::NotTrusted, 0, problem};
            return std::string();
        }
        run.report.Status(TRunPhase::Idle, "");
        const std::string path = run.temps.Pick(run.fields.InstallDir, kListName, "");
        TCopyCheck bound(kMaxListSize);
        ExtractTo(run, archive, path, bound);
        return path;
    } catch (const std::exception& e) {
        // A broken transfer, a list that can't be stored or decoded.
        failure = FailureOf(e);
        return std::string();
    }
}

// No server gave a usable list: the run fails with the first server's
// reason; without any answer at all the view is told nothing.
void FailWithoutList(TRunContext& run, const std::vector<TFailure>& reasons) {
    const TFailure& first = reasons.front();
    for (const TFailure& reason : reasons) {
        if (reason.fault == TFault::NotTrusted) {
            run.fields.TrustProblem = reason.text;
            break;
        }
    }
    const bool answered = std::any_of(reasons.begin(), reasons.end(),
                                      [](const TFailure& r) { return r.fault != TFault::CannotConnect; });
    if (answered) {
        run.report.Fail(first);
    } else {
        run.report.FailQuietly(first);
    }
}

}  // namespace

std::optional<std::string> FetchList(TRunContext& run) {
    TServers& servers = run.Servers();
    run.fields.TrustProblem.clear();
    std::vector<TFailure> reasons;
    for (const std::size_t server : servers.Order()) {
        const std::string base = servers.Base(server);
        TFailure failure;
        const std::string path = ListFrom(run, base, failure);
        if (!path.empty()) {
            servers.Prefer(server);
            servers.Succeeded(server);
            return path;
        }
        if (failure.fault == TFault::Stopped) {
            run.report.Fail(failure);
            return std::nullopt;
        }
        servers.Failed(server, failure);
        run.report.ServerSkipped(base, failure);
        if (run.log) run.log->Server(base, failure);
        reasons.push_back(std::move(failure));
    }
    FailWithoutList(run, reasons);
    return std::nullopt;
}

namespace {

// A list beside the live one, from each server in the run's order.
std::optional<std::string> BesideListFrom(TRunContext& run, const std::string& folder, const std::string& serialState,
                                          TFailure& failure) {
    TServers& servers = run.Servers();
    for (const std::size_t server : servers.Order()) {
        TFailure reason;
        const std::string path = ListFrom(run, servers.Base(server), reason, folder, serialState);
        if (!path.empty()) return path;
        if (!failure) failure = reason;
        if (reason.fault == TFault::Stopped) break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> FetchStagedList(TRunContext& run, const std::string& name, TFailure& failure) {
    return BesideListFrom(run, std::string(kStageDir) + "/" + name + "/", std::string(), failure);
}

std::optional<std::string> FetchChannelList(TRunContext& run, const std::string& name, TFailure& failure) {
    // The channel's serial store lives in a folder of the install's own.
    if (!run.fields.PublicKey.empty()) os::ForceDirectories(run.fields.InstallDir + kChannelStateDir);
    return BesideListFrom(run, std::string(kChannelDir) + "/" + name + "/", ChannelSerialName(name), failure);
}

void AddListedMirrors(TRunContext& run, const TRunList& list) {
    // Only the operator's signature makes a list's mirrors worth asking.
    if (!run.trust.Enabled() || list.mirrors.empty()) return;
    const std::size_t added = run.Servers().AddListed(list.mirrors);
    if (run.log && added > 0) run.log->Mirrors(added);
}

void UseListedObjects(TRunContext& run, const TRunList& list) {
    run.objects.clear();
    if (list.objects.empty() || !run.useObjects) return;
    if (IsObjectFolder(list.objects)) {
        run.objects = list.objects;
    } else if (run.log) {
        run.log->ObjectsIgnored(list.objects);
    }
}

void LearnListedKeys(TRunContext& run, const TRunList& list) {
    if (!run.trust.Enabled() || (list.keys.empty() && list.revoked.empty())) return;
    const std::string temp = run.temps.Pick(run.fields.InstallDir, kKeyringStateName, ".tmp");
    run.trust.LearnKeys(run.fields.InstallDir, list.keys, list.revoked, temp);
}

void ReadList(const std::string& path, TRunList& list) {
    // The text is read once; the file goes then, read or not, before an
    // entry that claims its name could be installed there.
    try {
        list.rev = ParseInt32(list.reader.ReadValue("settings", "Rev"));
        list.self = list.reader.ReadSectionLines("self");
        list.critical = list.reader.ReadSectionLines("files_critical");
        list.normal = list.reader.ReadSectionLines("files_normal");
        list.patches = list.reader.ReadSectionLines(kPatchSection);
        list.mirrors = ListedMirrors(list.reader.ReadSectionLines("settings"));
        list.standing = ListedStanding(list.reader.ReadSectionLines("settings"));
        list.reader.ReadSectionLines("settings").ForEach([&list](std::string_view line) {
            const std::vector<std::string> fields = SplitFields(line, "|");
            // Fields come last first: "Key|hex".
            if (!fields.empty() && fields.back() == kObjectsKey) {
                // Any other shape is kept whole, to be refused and logged.
                if (list.objects.empty()) list.objects = fields.size() == 2 ? fields.front() : std::string(line);
                return;
            }
            if (fields.size() != 2) return;
            const bool key = fields.back() == kKeyField;
            if (!key && fields.back() != kRevokeField) return;
            // A key that isn't 64 hex digits names nothing a signature could match.
            std::vector<sig::TPublicKey>& into = key ? list.keys : list.revoked;
            const auto parsed = sig::FromHex<32>(fields.front());
            if (parsed && into.size() < kMaxListedKeys) into.push_back(*parsed);
        });
    } catch (...) {
        os::DeleteFile(path);
        throw;
    }
    os::DeleteFile(path);
}
