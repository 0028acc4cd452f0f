// The install: every pending entry fetched, decoded and verified ahead on
// the run's connections (engine/InstallAhead), shown and put in place one
// by one, in list order; each entry's end goes to the view with its reason.
#pragma once

struct TRunContext;

void InstallPending(TRunContext& run);
