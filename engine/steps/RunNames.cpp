#include "engine/steps/RunNames.h"

#include "engine/fetch/Resume.h"
#include "engine/run/RunContext.h"
#include "engine/steps/RunList.h"
#include "formats/ListGrammar.h"
#include "formats/Names.h"
#include "formats/Publication.h"

#include <string>

void ClaimAndSweep(TRunContext& run, const TRunList& list) {
    // The partial copies of this list's entries survive the sweep.
    TPartialCopies partials;
    for (const TListLines* section : {&list.self, &list.critical, &list.normal}) {
        section->ForEach([&](std::string_view line) {
            const auto entry = SafeEntry(line);
            if (!entry) return;
            run.temps.Claim(entry->path);
            if (const auto size = ParseSize(entry->size)) {
                partials.Keep(entry->path, entry->digest, static_cast<std::uint64_t>(*size));
            }
        });
    }
    run.temps.Seal();
    partials.Seal();
    // Partial copies of entries gone from the list, or whose digest or size
    // changed, go with the other leftovers.
    const std::string stateTemporary = std::string(kSerialStateName) + ".tmp";
    const std::string keyringTemporary = std::string(kKeyringStateName) + ".tmp";
    const std::string recordTemporary = std::string(kInstalledRecordName) + ".tmp";
    run.temps.Sweep(run.fields.InstallDir,
                    {kListName, kListArchiveName, kSignatureName, stateTemporary, keyringTemporary, recordTemporary},
                    [&partials](std::string_view relative) { return partials.Kept(relative); });
}

void FindDuplicates(TRunContext& run, const TRunList& list) {
    TDuplicateEntries& duplicates = run.duplicates = TDuplicateEntries(run.temps.Repeated());
    if (!list.self.empty()) {
        const auto entry = ParseEntry(list.self.front());
        if (entry && IsSafeSelfName(entry->path)) duplicates.Take(list.self.front(), entry->path);
    }
    for (const TListLines* section : {&list.critical, &list.normal}) {
        section->ForEach([&](std::string_view line) {
            if (const auto entry = SafeEntry(line)) duplicates.Take(line, entry->path);
        });
    }
    duplicates.Seal();
}
