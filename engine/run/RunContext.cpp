#include "engine/run/RunContext.h"

#include "engine/fetch/RunControl.h"
#include "engine/fetch/Servers.h"
#include "engine/run/RunLog.h"
#include "engine/state/InstallRecord.h"
#include "formats/ListGrammar.h"
#include "formats/Names.h"
#include "formats/Publication.h"

TRunContext::TRunContext(TRunFields& run, TUpdateView& view, TSynchronizer& sync, const TRunControl& stop)
    : fields(run), report(run, view, sync), control(stop), pace(stop) {}

TRunContext::~TRunContext() = default;

os::HttpSession& TRunContext::Http() {
    if (!http) {
        http.emplace(kAgent);
        // A stop ends a transfer that waits for the server, not only the
        // next block that arrives.
        http->SetStop([&control = control] { return control.StopRequested(); });
        http->SetRateLimit([&control = control] { return control.RateLimit(); });
    }
    return *http;
}

TServers& TRunContext::Servers() {
    if (!servers) {
        std::vector<std::string> bases{fields.BaseUrl};
        bases.insert(bases.end(), fields.Mirrors.begin(), fields.Mirrors.end());
        servers = std::make_unique<TServers>(bases);
    }
    return *servers;
}

std::optional<TListEntry> SafeEntry(std::string_view line) {
    auto entry = ParseEntry(line);
    if (entry && (!IsSafeRelativePath(entry->path) || IsInstallOwnName(entry->path))) entry.reset();
    return entry;
}

TAheadOptions AheadOptions(TRunContext& run) {
    TAheadOptions options;
    options.installDir = run.fields.InstallDir;
    options.agent = kAgent;
    if (run.connections > 0) options.connections = run.connections;
    options.temps = &run.temps;
    options.trust = &run.trust;
    options.control = &run.control;
    options.servers = &run.Servers();
    options.session = &run.http;
    options.pace = &run.pace;
    return options;
}
