// Fuzzes the bounded zstd decoder a patch goes through. Input: a control
// byte (the output's size against the frame's declared one, the memory
// bound), one for how the input is cut, the reference's length (2 bytes,
// little-endian), the reference, then the patch. A patch is decoded whole
// and in pieces: both must make the same bytes and stay in their output and
// memory, and a patch that decodes must give what zstd's one-shot decoder
// gives, when that decoder takes it.
#include "engine/patch/PatchDecoder.h"
#include "tests/fuzz/FuzzCheck.h"

#include <zstd.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace {

// Bounds the work on patches that declare enormous files.
constexpr std::size_t kMaxOutput = std::size_t{1} << 20;

struct Outcome {
    std::vector<std::uint8_t> output;
    std::size_t produced = 0;
    std::string error;  // empty when the patch decoded to its end
};

Outcome Decode(std::span<const std::uint8_t> reference, std::span<const std::uint8_t> patch, std::size_t outputSize,
               std::size_t memoryBound, std::size_t piece, std::size_t step) {
    Outcome result;
    result.output.assign(outputSize, 0);
    try {
        TPatchDecoder decoder(reference, result.output, memoryBound);
        while (!patch.empty()) {
            std::span<const std::uint8_t> slice = patch.first(std::min(piece, patch.size()));
            const std::size_t before = decoder.Produced();
            decoder.Decode(slice, step);
            Check(decoder.Produced() >= before && decoder.Produced() <= outputSize, "output outside its buffer");
            const std::size_t taken = std::min(piece, patch.size()) - slice.size();
            Check(taken > 0 || decoder.Produced() > before, "a step that did nothing");
            patch = patch.subspan(taken);
        }
        result.produced = decoder.Produced();
        Check(decoder.PeakMemory() <= memoryBound, "memory beyond the bound");
        if (!decoder.Finished()) result.error = "unfinished";
    } catch (const EPatchError& e) {
        result.error = e.what();
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t control = data[0], cut = data[1];
    const std::size_t referenceSize = std::min<std::size_t>(data[2] | data[3] << 8, size - 4);
    const std::span<const std::uint8_t> reference(data + 4, referenceSize);
    const std::span<const std::uint8_t> patch(data + 4 + referenceSize, size - 4 - referenceSize);

    // The declared size, one less or one more, or a size of the control's.
    std::size_t outputSize = (control >> 2) * 97u;
    if (const auto declared = TPatchDecoder::DeclaredSize(patch); declared && *declared < kMaxOutput) {
        if ((control & 3) == 0) outputSize = *declared;
        if ((control & 3) == 1) outputSize = *declared > 0 ? *declared - 1 : 0;
        if ((control & 3) == 2) outputSize = *declared + 1;
    }
    // From the default down to where no context fits.
    const std::size_t bound = TPatchDecoder::kMemoryBound >> ((control >> 5) & 7) * 2;

    const Outcome whole = Decode(reference, patch, outputSize, bound, SIZE_MAX, SIZE_MAX);
    const Outcome pieces = Decode(reference, patch, outputSize, bound, 1 + (cut & 31) * 13, 1 + (cut >> 5) * 4099);
    // zstd checks some frames only when it decodes them in one pass (a
    // declared size the blocks don't fill, an empty compressed block), so
    // whether such a patch fails may depend on the pieces; what it decodes
    // into may not.
    Check(whole.produced == pieces.produced || (!whole.error.empty() && !pieces.error.empty()),
          "the pieces changed the outcome");
    Check(std::equal(whole.output.begin(), whole.output.begin() + std::min(whole.produced, pieces.produced),
                     pieces.output.begin()),
          "the pieces changed the output");
    if (!whole.error.empty()) return 0;

    // A patch that decoded is what zstd makes of it in one call, when that
    // call takes it (it refuses the empty compressed blocks its streaming
    // decoder passes over).
    ZSTD_DCtx* context = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, TPatchDecoder::kWindowLogMax);
    ZSTD_DCtx_refPrefix(context, reference.data(), reference.size());
    std::vector<std::uint8_t> expected(outputSize + 1);
    const std::size_t made = ZSTD_decompressDCtx(context, expected.data(), expected.size(), patch.data(), patch.size());
    ZSTD_freeDCtx(context);
    if (ZSTD_isError(made)) return 0;
    Check(made == outputSize && std::equal(whole.output.begin(), whole.output.end(), expected.begin()),
          "zstd decodes the patch otherwise");
    return 0;
}
