#include "engine/ahead/AheadDecode.h"

#include "engine/ahead/AheadPatch.h"
#include "engine/patch/PatchApply.h"
#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/RunControl.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"

#include <memory>

namespace {

// Decodes the claim's copy into a new ".part", no larger than the entry's
// size, then checks the MD5 of what was written and, with a key, the
// SHA-256; returns the verified part's path. A part that fails is removed.
std::string DecodeVerified(TAheadShared& shared, TClaim& claim) {
    const TAheadJob& job = *claim.job;
    const bool inMemory = claim.archive.empty();
    std::unique_ptr<TStream> source;
    try {
        if (inMemory) {
            source = std::make_unique<TMemoryStream>(std::move(claim.copy));
        } else {
            source = std::make_unique<TFileStream>(claim.archive, TFileStream::Mode::OpenRead, os::Share::Read);
        }
    } catch (...) {
        os::DeleteFile(claim.archive);
        claim.archive.clear();
        throw;
    }
    // The copy goes once decoded, or once decoding failed.
    struct Drop {
        TClaim& claim;
        std::unique_ptr<TStream>& source;
        ~Drop() {
            source.reset();
            DropCopy(claim);
        }
    };
    TCopyCheck check(job.size, job.digest, job.sha256, *shared.options.trust);
    std::string part;
    {
        Drop drop{claim, source};
        claim.progress->Begin(TAheadStage::Extracting, source->Size());
        // A copy in memory never made its entry's folder.
        os::File file = shared.Create(job.path, ".part", part, inMemory);
        try {
            TFileStream target(std::move(file));
            TBZDecompressionStream decoder(*source);
            decoder.OnProgress = [&claim, &source](void*) { claim.progress->Bytes(source->Position()); };
            DecodeCopy(
                decoder, target, check,
                [&shared] {
                    if (shared.Stopped()) throw ERunStopped();
                },
                claim.status);
            target.Close();
        } catch (...) {
            os::DeleteFile(part);
            throw;
        }
    }
    return part;
}

}  // namespace

TDecoded DecodeClaim(TAheadShared& shared, TClaim& claim) {
    TDecoded decoded;
    const bool patched = !claim.patchFiles.empty();
    try {
        decoded.part = patched ? ApplyPatches(shared, claim) : DecodeVerified(shared, claim);
        decoded.outcome = TAheadOutcome::Ready;
        if (claim.cursor) claim.cursor->Succeeded();
    } catch (const std::exception& e) {
        decoded.failure = FailureOf(e);
        const bool stopped = decoded.failure.fault == TFault::Stopped;
        // A patch that failed falls back to the copy, in this run.
        if (patched && !stopped) {
            claim.patchFailed = true;
            claim.note = PatchFallbackNote(decoded.failure);
        }
        decoded.again = (claim.resumed || patched) && !stopped;
        // A copy that isn't the list's (or an error page) is asked again:
        // with the digest query, then from the next server.
        if (!decoded.again) decoded.again = NextServerAfter(shared, claim, decoded.failure);
    }
    return decoded;
}
