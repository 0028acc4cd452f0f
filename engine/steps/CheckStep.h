// The check: each entry of a section against the file on disk, by MD5. The
// entries whose file is missing or different join the run's PendingFiles;
// the view shows each entry as it is decided, in list order.
#pragma once

class TListLines;
struct TRunContext;

void CheckSection(TRunContext& run, const TListLines& section);
