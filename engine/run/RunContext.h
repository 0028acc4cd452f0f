// What the steps of one run share: its report to the view, its stop, its
// servers and connection, its temporary names, the trust in its list, and what the check
// found for the install. Owned by the run; each step module takes it.
#pragma once

#include "engine/ahead/AheadJob.h"
#include "engine/fetch/Pace.h"
#include "engine/patch/PatchPlan.h"
#include "engine/state/DuplicateEntries.h"
#include "engine/state/ListTrust.h"
#include "engine/state/TempNames.h"
#include "engine/view/RunReport.h"
#include "platform/os.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

class TInstallRecord;
class TRunControl;
class TRunLog;
class TServers;
struct TListEntry;

struct TRunContext {
    TRunContext(TRunFields& run, TUpdateView& view, TSynchronizer& sync, const TRunControl& stop);
    ~TRunContext();
    TRunContext(const TRunContext&) = delete;
    TRunContext& operator=(const TRunContext&) = delete;

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
    std::unique_ptr<TServers> servers;
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
    // The objects' folder of the list (relative to each server, checked
    // safe); empty: every file comes as its copy. useObjects: false has the
    // run read lists as a launcher that knows only copies does.
    std::string objects;
    bool useObjects = true;
    // Whether the stage a list announces is fetched ahead after a run that
    // left everything current. Off unless the front end asks: within the
    // update view it would hold the window's play button until it ends.
    bool preDownload = false;
    // The channel the run is asked to follow (checked safe); empty: the
    // live publication.
    std::string channel;
    // The window's way: the run ends its update view (JUGAR usable at once)
    // and fetches the stage after, on the same thread, until done or stopped.
    bool preDownloadAfterView = false;
    // Connections of the install loop; 0: the pipeline's own number.
    int connections = 0;
    // The install's record of the files it put in place, once the list's
    // names are claimed.
    std::unique_ptr<TInstallRecord> record;
    // The log of the run, when the front end asked for one.
    std::unique_ptr<TRunLog> log;
};

// The agent string of every request.
inline constexpr const char* kAgent = "Corvel - Updater";

// An entry the run may act on: a line that parses and names a path below
// the install directory other than the install's own files; nullopt for
// any other line.
std::optional<TListEntry> SafeEntry(std::string_view line);

// The install pipeline's options for the run (engine/ahead/InstallAhead):
// its connections, names, trust, stop, servers, session, limit and pause.
TAheadOptions AheadOptions(TRunContext& run);
