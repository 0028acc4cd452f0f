// The object path of the install's work ahead: an entry's object (its
// content, zstd, named by its MD5 in the list's objects' folder) fetched and
// decoded as it arrives into the entry's ".part", the part's size set
// ahead, hashed in the same pass and verified there (engine/fetch/
// ObjectStream). So the claim comes out Ready with no decoder stage and no
// compressed copy held anywhere. An object that fails for a reason of its
// own (an error status, past its bound, short, corrupt, not the entry's
// digest) has the entry fetched as that server's copy in the same run, then
// from the next server, object first; the reason in the claim's note for
// the run's log. The object is asked from the server the claim's cursor
// points at, so the cursor must be there.
#pragma once

#include "engine/ahead/AheadClaim.h"
#include "platform/os.h"

// Whether the claim's object is still to be asked from the cursor's server.
bool ObjectDue(const TClaim& claim);
// True with claim.part the verified part; false when the object failed
// (then claim.objectFailedAt and claim.note say so). A stop, or a long pause
// (ETransferPaused: the object is asked again once resumed), raises, as
// does any failure of an object-only job (objectFailedAt set).
bool FetchObject(TAheadShared& shared, os::HttpSession& http, TClaim& claim);
// Starts the request FetchObject will make for a small entry's object, so
// many go out at once over one HTTP/2 connection. False when the claim
// doesn't come as its object.
bool PrefetchObject(TAheadShared& shared, os::HttpSession& http, const TClaim& claim);

// An entry whose content an earlier entry of the run put in place
// (claim.localFrom), so one object several entries share is fetched once:
// copied from that file into the entry's ".part" and verified there. False
// when that fails (the file went, changed, or is held): then it is fetched.
bool CopyFromEarlier(TAheadShared& shared, TClaim& claim);
