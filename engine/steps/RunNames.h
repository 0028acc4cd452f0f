// Names of a run, taken before anything is fetched: every entry's name is
// claimed before any temporary is named, so that no temporary takes a
// managed file's name; then what killed runs left goes; then the entries
// that repeat an earlier entry's file are found.
#pragma once

struct TRunContext;
struct TRunList;

void ClaimAndSweep(TRunContext& run, const TRunList& list);
// In the order the run takes the entries up: the updater's own name (as
// UpdateSelf takes it), then the critical and the normal files.
void FindDuplicates(TRunContext& run, const TRunList& list);
