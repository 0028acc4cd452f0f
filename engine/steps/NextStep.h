// Update day, the player's side. After a run that left every file current,
// the contents the stage announced by the list ("Next|NAME") needs beyond
// the installed files are fetched ahead, as their objects, through the
// install's own pipeline (so the run's limit, pause, stop and resume hold)
// into the install's folder kNextContentDir, each named by its MD5. When the
// stage goes live, the install takes each pending entry whose content is
// there (TakeStaged): verified and renamed into place, no request. An
// origin shared by every player at the announced hour gave each of them
// tens of KB/s; what came days ahead costs the hour nothing.
#pragma once

#include "platform/errors.h"

#include <string>
#include <string_view>

struct TRunContext;
struct TRunList;
struct TPendingEntry;

// A content's name in the install, "files.lst.next\<md5>"; empty for a
// digest that can't name one.
std::string NextContentPath(std::string_view digest);

// After a run that left everything current: with a stage announced (and the
// run's options allowing it), fetches what it needs, then removes from the
// folder what neither list names; with none, removes what the live list
// doesn't name. Never fails the run: what stopped it short goes to the log
// and the run's fields (a stop, too, which the run's close reports).
void StageNext(TRunContext& run, const TRunList& live);

// A pending entry's content in the folder, as checked: absent, or present
// and refused for a reason (None: it is the entry's content).
struct TStagedCheck {
    bool present = false;
    TFailure refused;
};

// Reads and verifies (MD5, SHA-256 when signed) the pending entry's content
// in the folder; it touches nothing, so checks may run on several threads
// at once. Raises only when the run is stopped.
TStagedCheck CheckStaged(const TRunContext& run, const TPendingEntry& entry);

// Renames a content CheckStaged found good to the entry's place: true once
// there. A refused one is removed and logged; the entry is then fetched.
bool TakeStaged(TRunContext& run, const TPendingEntry& entry, bool missing, const TStagedCheck& check);
