// Making live a publication that is already on the server, without its
// client directory: a staged one (--promote NAME, stage/NAME/ from
// --stage) or the one the live list replaced (--revert, from the kept live
// lists, Standing.h). Seconds, not a republication: a staged publication's
// new copies are renamed into place, and only a copy nothing holds ready
// (a revert's, or one a killed promotion already moved) is made again from
// its object. Both end as a publication does: copies first, the list
// renamed last, then the prune; killed anywhere, the server still serves
// one whole publication, and running the command again completes it.
#pragma once

#include "tools/publish/Publisher.h"

#include <functional>
#include <string>

namespace publish {

// Uses options.serverDir, signing, patchHistory, bz2Copies, jobs and
// checkpoint. Raises PublishFailure like Publish.
PublishSummary Promote(const std::string& name, const PublishOptions& options, Progress& progress,
                       const std::function<void()>& tick);
PublishSummary Revert(const PublishOptions& options, Progress& progress, const std::function<void()>& tick);

}  // namespace publish
