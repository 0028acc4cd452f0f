// The files an earlier publication installed and the current list no longer
// names. The install's record (engine/state/InstallRecord) is read once the names
// are claimed, learns from the check which recorded files are still current
// and from the install what it put in place, removes the dropped files after
// the install, and is written back at the end of the run.
#pragma once

struct TRunContext;
struct TRunList;

// Reads the install's record; after ClaimAndSweep.
void LoadInstallRecord(TRunContext& run);
// After a complete check and an install in which nothing failed: each
// recorded file that no entry of the list names is removed when its bytes are still the recorded ones; a
// changed one stays and leaves the record, and so does one that is gone.
void RemoveObsolete(TRunContext& run, const TRunList& list);
// Writes the record back when it changed. Reached on every path of a run
// that read its list, so what a failed or stopped install put in place is
// recorded too; a record that can't be written fails the run.
void SaveInstallRecord(TRunContext& run);
