// Fuzzes the run's reading of a decoded list, [settings] above all: its Rev
// and the Mirror lines (and whatever other lines a signed list carries
// there, the stages and channels it announces), then the mirrors handed to the run's servers. The list is read
// from a file, as a run reads it, and must be gone afterwards in every case.
#include "engine/fetch/Servers.h"
#include "engine/steps/RunList.h"
#include "formats/ListGrammar.h"
#include "platform/os.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/unit/scratch_dir.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const scratch::Dir dir;
    const std::string path = dir / "files.lst";
    scratch::WriteAll(dir.Native() / "files.lst", std::string(reinterpret_cast<const char*>(data), size));

    TRunList list(path);
    try {
        ReadList(path, list);
    } catch (const Exception&) {
        // No usable Rev, or a line of "|" only before it: the run stops.
        Check(!os::NameTaken(path), "a refused list stayed on disk");
        return 0;
    }
    Check(!os::NameTaken(path), "a read list stayed on disk");
    for (const std::string& mirror : list.mirrors) {
        Check(!mirror.empty() && mirror.find('|') == std::string::npos, "a mirror holds a separator");
    }
    // Threat: an announced stage or channel whose name leaves its folder.
    const TStandingLists& standing = list.standing;
    Check(standing.next.empty() || IsPublicationName(standing.next), "an unsafe staged name");
    Check(standing.channels.size() <= kMaxListedChannels, "channels beyond the bound");
    for (const std::string& name : standing.channels) Check(IsPublicationName(name), "an unsafe channel name");
    TServers servers({"https://own.example/Updater/"});
    const std::size_t added = servers.AddListed(list.mirrors);
    Check(added <= TServers::kMaxListed && servers.Count() == 1 + added, "mirrors beyond the bound");
    for (std::size_t i = 1; i < servers.Count(); ++i) {
        const std::string base = servers.Base(i);
        // The "/" a base gains may take it one past the URL's bound.
        Check(base.back() == '/' && (IsServerUrl(base) || IsServerUrl(base.substr(0, base.size() - 1))),
              "a mirror that no request should carry");
    }
    return 0;
}
