// A decoder of the install's work ahead: decodes and verifies one fetched
// copy (or applies its patches, engine/ahead/AheadPatch) into the entry's
// ".part", and says whether the entry is done or to be fetched again.
#pragma once

#include "engine/ahead/AheadClaim.h"

// The claim's copy goes in every case. A resumed copy that fails is fetched
// once more, whole; an entry whose patches failed, by its copy; a copy that
// isn't the list's (or an error page), from the next server.
TDecoded DecodeClaim(TAheadShared& shared, TClaim& claim);
