#include "engine/ahead/AheadClaim.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/RunControl.h"
#include "engine/state/TempNames.h"

#include <mutex>

bool TAheadShared::Stopped() const { return options.control->StopRequested() || stopping_.load(); }

std::string TAheadShared::Pick(const std::string& relative, const std::string& suffix) {
    std::lock_guard<os::Mutex> lock(namesMutex_);
    return options.temps->Pick(options.installDir, relative, suffix);
}

os::File TAheadShared::Create(const std::string& relative, const std::string& suffix, std::string& path,
                              bool directory) {
    std::lock_guard<os::Mutex> lock(namesMutex_);
    if (directory) MakeDirectoryLocked(relative);
    return options.temps->Create(options.installDir, relative, suffix, path);
}

void TAheadShared::MakeDirectoryOf(const std::string& relative) {
    std::lock_guard<os::Mutex> lock(namesMutex_);
    MakeDirectoryLocked(relative);
}

void TAheadShared::MakeDirectoryLocked(const std::string& relative) {
    const std::string target = options.installDir + relative;
    const std::string targetDir = target.substr(0, target.rfind('\\') + 1);
    if (!os::DirectoryExists(targetDir)) os::ForceDirectories(targetDir);
}

void TAheadShared::Receive(os::HttpResponse& response, TDownloadSink& sink, std::uint64_t offset, std::int64_t limit,
                           TClaim& claim, bool& broken) const {
    claim.progress->From(static_cast<std::int64_t>(offset));
    TReceive how;
    how.offset = offset;
    how.limit = static_cast<std::uint64_t>(limit);
    how.received = [&claim](std::uint64_t received) { claim.progress->Bytes(static_cast<std::int64_t>(received)); };
    how.stopped = [this] { return Stopped(); };
    how.pace = options.pace;
    claim.status = ReceiveBody(response, sink, how, broken);
}

bool NextServerAfter(const TAheadShared& shared, TClaim& claim, TFailure& failure) {
    if (shared.Stopped() || !claim.cursor) return false;
    if (claim.cursor->Failed(failure)) return true;
    if (!failure || ServerFault(failure.fault)) failure = claim.cursor->FirstFailure();
    return false;
}

void DropCopy(TClaim& claim) {
    claim.copy = {};
    if (!claim.archive.empty()) os::DeleteFile(claim.archive);
    claim.archive.clear();
}

void DropPatches(TClaim& claim) {
    for (const std::string& file : claim.patchFiles) os::DeleteFile(file);
    claim.patchFiles.clear();
}
