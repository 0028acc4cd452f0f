// Patches in the install's work ahead: a fetcher fetches an entry's chain
// of patches (on its own connection, like a copy) and a decoder applies it
// against the file in place (engine/PatchApply) into the entry's ".part".
// Anything wrong with a patch sends the entry back for its whole copy, in
// the same run; the entry fails only if that fails too.
// Threat: a patch from the server is attacker-controlled bytes: each is cut
// off past its indexed size and checked against its indexed SHA-256 before
// it is decoded, and the result is verified like any copy.
#include "engine/ahead/InstallAhead.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/state/ListTrust.h"
#include "engine/fetch/Pace.h"
#include "engine/patch/PatchApply.h"
#include "engine/fetch/RunControl.h"
#include "engine/state/TempNames.h"
#include "formats/Signature.h"

#include <string>

namespace {

// Our temporaries' marker keeps them out of every managed name and has the
// sweep remove what a killed run left.
std::string PatchSuffix() { return std::string(TTempNames::kMarker) + "-patch"; }
std::string StepSuffix() { return std::string(TTempNames::kMarker) + "-step"; }

}  // namespace

void TInstallAhead::DropPatches(Slot& slot) {
    for (const std::string& file : slot.patchFiles) os::DeleteFile(file);
    slot.patchFiles.clear();
}

// Fetches the job's chain into the slot; false (and nothing kept) when a
// patch can't be had, so the copy is fetched. A stop or a long pause is the
// transfer's, not the patch's: it goes on up.
bool TInstallAhead::FetchPatches(os::HttpSession& http, Slot& slot, const TAheadJob& job) {
    std::uint64_t offset = 0;
    try {
        for (const TPatchFetch& patch : job.patches) {
            FetchPatch(http, slot, job, patch, offset);
            offset += patch.bytes;
        }
        return true;
    } catch (const ETransferPaused&) {
        DropPatches(slot);
        throw;
    } catch (const std::exception& e) {
        DropPatches(slot);
        const TFailure failure = FailureOf(e);
        if (failure.fault == TFault::Stopped) throw;
        slot.patchFailed = true;
        slot.note = PatchFallbackNote(failure);
        return false;
    }
}

// One patch into a new temporary of ours; its bytes count on the entry's
// download bar after the patches before it (offset).
void TInstallAhead::FetchPatch(os::HttpSession& http, Slot& slot, const TAheadJob& job, const TPatchFetch& patch,
                               std::uint64_t offset) {
    auto response = http.Open(patch.url);
    if (!response) throw Exception(patch.url + ": no answer", TFault::CannotConnect);
    if (const int status = response->Status(); status != 200) {
        throw Exception(patch.url + ": the server answered " + std::to_string(status), TFault::ServerError, status);
    }
    std::string path = Pick(job.path, PatchSuffix());
    os::File file = os::File::CreateNew(path, os::Share::ReadWrite);
    slot.patchFiles.push_back(std::move(path));
    bool broken = false;
    {
        TFileSink sink(file);
        // More than the index says ends the transfer at once.
        Receive(*response, sink, offset, static_cast<std::int64_t>(offset + patch.bytes), slot, broken);
    }
    const std::int64_t size = file.Size();
    file.Close();
    if (size < 0 || static_cast<std::uint64_t>(size) != patch.bytes) {
        throw Exception(patch.url + ": shorter than its index says", TFault::Cut);
    }
    if (sig::ToHex(sig::FileSha256(slot.patchFiles.back())) != patch.sha256) {
        throw Exception(patch.url + ": does not match its SHA-256", TFault::NotTrusted);
    }
}

// Applies the slot's patches to the file in place into a new ".part", then
// checks it as a copy; returns the verified part's path. The patches go in
// every case, a part that fails too.
std::string TInstallAhead::ApplyVerified(Slot& slot, const TAheadJob& job) {
    struct Drop {
        Slot& slot;
        ~Drop() { DropPatches(slot); }
    } drop{slot};
    std::vector<TPatchStep> steps;
    std::int64_t total = 0;
    for (std::size_t k = 0; k < job.patches.size() && k < slot.patchFiles.size(); ++k) {
        steps.push_back(TPatchStep{slot.patchFiles[k], job.patches[k].to});
        total += static_cast<std::int64_t>(job.patches[k].bytes);
    }
    SetState(slot, TStage::Extracting, 0, total);
    TCopyCheck check(job.size, job.digest, job.sha256, *options_.trust);
    TPatchHooks hooks;
    hooks.progress = [this, &slot](std::uint64_t consumed) { SetBytes(slot, static_cast<std::int64_t>(consumed)); };
    hooks.afterBlock = [this] {
        if (Stopped()) throw ERunStopped();
    };
    hooks.newTemp = [this, &job](std::string& path) {
        std::lock_guard<os::Mutex> lock(namesMutex_);
        return options_.temps->Create(options_.installDir, job.path, StepSuffix(), path);
    };
    std::string part;
    os::File file;
    {
        std::lock_guard<os::Mutex> lock(namesMutex_);
        file = options_.temps->Create(options_.installDir, job.path, ".part", part);
    }
    try {
        ApplyChain(options_.installDir + job.path, steps, file, static_cast<std::uint64_t>(job.size), check, hooks);
        file.Close();
    } catch (...) {
        file = os::File();  // closed before its name goes
        os::DeleteFile(part);
        throw;
    }
    slot.note = "patched (" + std::to_string(steps.size()) + (steps.size() == 1 ? " patch, " : " patches, ") +
                std::to_string(total) + " bytes)";
    return part;
}
