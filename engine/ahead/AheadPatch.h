// The patch path of the install's work ahead: a fetcher fetches an entry's
// chain of patches (on its own connection, like a copy) and a decoder
// applies it against the file in place (engine/patch/PatchApply) into the
// entry's ".part". Anything wrong with a patch sends the entry back for its
// whole copy, in the same run; the entry fails only if that fails too.
#pragma once

#include "engine/ahead/AheadClaim.h"
#include "platform/os.h"

#include <string>

// Fetches the claim's chain into claim.patchFiles; false (and nothing kept)
// when a patch can't be had, so the copy is fetched. A stop or a long pause
// is the transfer's, not the patch's: it goes on up.
bool FetchPatches(TAheadShared& shared, os::HttpSession& http, TClaim& claim);

// Applies the claim's patches to the file in place into a new ".part", then
// checks it as a copy; returns the verified part's path. The patches go in
// every case, a part that fails too.
std::string ApplyPatches(TAheadShared& shared, TClaim& claim);

