// What the steps of one run share: its report to the view, its stop, its
// servers and connection, its temporary names, the trust in its list, and what the check
// found for the install. Owned by the run; each step module takes it.
#pragma once

#include "engine/fetch/CopyStreams.h"
#include "engine/state/DuplicateEntries.h"
#include "engine/ahead/AheadJob.h"
#include "engine/state/InstallRecord.h"
#include "engine/state/ListTrust.h"
#include "engine/fetch/Pace.h"
#include "engine/patch/PatchPlan.h"
#include "engine/fetch/RunControl.h"
#include "engine/run/RunLog.h"
#include "engine/view/RunReport.h"
#include "engine/fetch/Servers.h"
#include "engine/state/TempNames.h"
#include "formats/ListGrammar.h"
#include "platform/os.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

struct TRunContext {
    TRunContext(TRunFields& run, TUpdateView& view, TSynchronizer& sync, const TRunControl& stop)
        : fields(run), report(run, view, sync), control(stop), pace(stop) {}

    TRunFields& fields;
    TRunReport report;
    const TRunControl& control;
    // The limit and pause over all the run's transfers together.
    TPace pace;
    // Every download of the run shares its connections and proxy settings.
    std::optional<os::HttpSession> http;
    os::HttpSession& Http();
    // The servers, from the run's fields once it starts: the first asked
    // for the list, the one that gave it first for everything after.
    std::optional<TServers> servers;
    TServers& Servers();
    TTempNames temps;
    TListTrust trust{std::string()};
    // Entries repeating an earlier entry's file.
    TDuplicateEntries duplicates;
    // The entries of PendingFiles (by index) whose file the check found
    // missing: nothing needs to be looked for to put them in place.
    std::unordered_set<std::size_t> missing;
    // The list's patches, and the chain each pending entry can take.
    TPatchPlan patches;
    int connections = kFetchConnections;
    // The install's record of the files it put in place, once the list's
    // names are claimed.
    std::optional<TInstallRecord> record;
    // The log of the run, when the front end asked for one.
    std::optional<TRunLog> log;

    // The transfer in progress of DownloadFile and ExtractFile: the most
    // bytes the download may bring, the status it came with, and what the
    // decoding must produce.
    std::optional<std::uint64_t> downloadLimit;
    int downloadStatus = 0;
    TCopyCheck* extractCheck = nullptr;
};

// The agent string of every request.
inline constexpr const char* kAgent = "Corvel - Updater";

// An entry the run may act on: a line that parses and names a path below
// the install directory other than the install's own files; nullopt for
// any other line.
std::optional<TListEntry> SafeEntry(std::string_view line);
