#include "engine/run/RunContext.h"

#include "formats/Names.h"
#include "formats/Publication.h"

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
        servers.emplace(bases);
    }
    return *servers;
}

std::optional<TListEntry> SafeEntry(std::string_view line) {
    auto entry = ParseEntry(line);
    if (entry && (!IsSafeRelativePath(entry->path) || IsInstallOwnName(entry->path))) entry.reset();
    return entry;
}
