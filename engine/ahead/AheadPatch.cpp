// The patch path (AheadPatch.h).
// Threat: a patch from the server is attacker-controlled bytes: each is cut
// off past its indexed size and checked against its indexed SHA-256 before
// it is decoded, and the result is verified like any copy.
#include "engine/ahead/AheadPatch.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/Pace.h"
#include "engine/fetch/RunControl.h"
#include "engine/patch/PatchApply.h"
#include "engine/state/TempNames.h"
#include "formats/Signature.h"

#include <string>
#include <vector>

namespace {

// Our temporaries' marker keeps them out of every managed name and has the
// sweep remove what a killed run left.
std::string PatchSuffix() { return std::string(TTempNames::kMarker) + "-patch"; }
std::string StepSuffix() { return std::string(TTempNames::kMarker) + "-step"; }

// One patch into a new temporary of ours; its bytes count on the entry's
// download bar after the patches before it (offset).
void FetchPatch(TAheadShared& shared, os::HttpSession& http, TClaim& claim, const TPatchFetch& patch,
                std::uint64_t offset) {
    auto response = http.Open(patch.url);
    if (!response) throw Exception(patch.url + ": no answer", TFault::CannotConnect);
    if (const int status = response->Status(); status != 200) {
        throw Exception(patch.url + ": the server answered " + std::to_string(status), TFault::ServerError, status);
    }
    std::string path = shared.Pick(claim.job->path, PatchSuffix());
    os::File file = os::File::CreateNew(path, os::Share::ReadWrite);
    claim.patchFiles.push_back(std::move(path));
    bool broken = false;
    {
        TFileSink sink(file);
        // More than the index says ends the transfer at once.
        shared.Receive(*response, sink, offset, static_cast<std::int64_t>(offset + patch.bytes), claim, broken);
    }
    const std::int64_t size = file.Size();
    file.Close();
    if (size < 0 || static_cast<std::uint64_t>(size) != patch.bytes) {
        throw Exception(patch.url + ": shorter than its index says", TFault::Cut);
    }
    if (sig::ToHex(sig::FileSha256(claim.patchFiles.back())) != patch.sha256) {
        throw Exception(patch.url + ": does not match its SHA-256", TFault::NotTrusted);
    }
}

}  // namespace

bool FetchPatches(TAheadShared& shared, os::HttpSession& http, TClaim& claim) {
    std::uint64_t offset = 0;
    try {
        for (const TPatchFetch& patch : claim.job->patches) {
            FetchPatch(shared, http, claim, patch, offset);
            offset += patch.bytes;
        }
        return true;
    } catch (const ETransferPaused&) {
        DropPatches(claim);
        throw;
    } catch (const std::exception& e) {
        DropPatches(claim);
        const TFailure failure = FailureOf(e);
        if (failure.fault == TFault::Stopped) throw;
        claim.patchFailed = true;
        claim.note = PatchFallbackNote(failure);
        return false;
    }
}

std::string ApplyPatches(TAheadShared& shared, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    struct Drop {
        TClaim& claim;
        ~Drop() { DropPatches(claim); }
    } drop{claim};
    std::vector<TPatchStep> steps;
    std::int64_t total = 0;
    for (std::size_t k = 0; k < job.patches.size() && k < claim.patchFiles.size(); ++k) {
        steps.push_back(TPatchStep{claim.patchFiles[k], job.patches[k].to});
        total += static_cast<std::int64_t>(job.patches[k].bytes);
    }
    claim.progress->Begin(TAheadStage::Extracting, total);
    TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
    TPatchHooks hooks;
    hooks.progress = [&claim](std::uint64_t consumed) { claim.progress->Bytes(static_cast<std::int64_t>(consumed)); };
    hooks.afterBlock = [&shared] {
        if (shared.Stopped()) throw ERunStopped();
    };
    hooks.newTemp = [&shared, &job](std::string& path) { return shared.Create(job.path, StepSuffix(), path); };
    std::string part;
    os::File file = shared.Create(job.path, ".part", part);
    try {
        ApplyChain(shared.options.installDir + job.path, steps, file, static_cast<std::uint64_t>(job.size), check, hooks);
        file.Close();
    } catch (...) {
        file = os::File();  // closed before its name goes
        os::DeleteFile(part);
        throw;
    }
    claim.note = "patched (" + std::to_string(steps.size()) + (steps.size() == 1 ? " patch, " : " patches, ") +
                std::to_string(total) + " bytes)";
    return part;
}
