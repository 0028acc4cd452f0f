#include "engine/patch/PatchApply.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/state/ListTrust.h"
#include "engine/patch/PatchDecoder.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Pages written, or read from the old file, go from the process's memory
// after this much output: they stay in the page cache and in the files.
constexpr std::size_t kDiscardEvery = std::size_t{4} << 20;
constexpr std::size_t kReadBlock = std::size_t{128} << 10;

// The decoded size a patch file declares in its frame header.
std::optional<std::uint64_t> DeclaredSizeOf(const std::string& patchPath) {
    os::File patch = os::File::OpenRead(patchPath, os::Share::Read);
    std::array<std::uint8_t, 18> header{};
    std::size_t got = 0;
    while (got < header.size()) {
        const std::size_t n = patch.Read(header.data() + got, header.size() - got);
        if (n == 0) break;
        got += n;
    }
    return TPatchDecoder::DeclaredSize({header.data(), got});
}

std::uint64_t FileSize(const std::string& path) {
    os::File file = os::File::OpenRead(path, os::Share::ReadWrite);
    const std::int64_t size = file.Size();
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// Decodes one patch against the old file into out (size bytes) through check.
void ApplyOne(const std::string& oldPath, const std::string& patchPath, os::File& out, std::uint64_t size,
              TCopyCheck& check, const TPatchHooks& hooks, std::uint64_t& consumed) {
    const std::unique_ptr<os::Mapping> old = os::MapFileReadOnly(oldPath);
    if (!old) throw EPatchError("The file to patch can't be read: " + oldPath, TFault::NotFound);
    os::File patch = os::File::OpenRead(patchPath, os::Share::Read);
    std::unique_ptr<os::WritableMapping> view = os::MapFileWritable(out, size);
    TPatchDecoder decoder(old->Data(), view->Data());
    std::vector<std::uint8_t> buffer(kReadBlock);
    std::size_t checked = 0;
    std::uint64_t discarded = 0;
    while (const std::size_t n = patch.Read(buffer.data(), buffer.size())) {
        std::span<const std::uint8_t> input(buffer.data(), n);
        const auto decode = [&decoder, &input] { decoder.Decode(input, kDiscardEvery); };
        while (!input.empty()) {
            // The old file may shrink under its view: a failed read, not a crash.
            if (old->Copied()) {
                decode();
            } else if (!os::GuardedMappedRead(old->Data(), decode)) {
                throw EPatchError("The file to patch changed while it was read: " + oldPath, TFault::Corrupt);
            }
            check.Add(view->Data().data() + checked, decoder.Produced() - checked);
            checked = decoder.Produced();
            if (checked - discarded >= kDiscardEvery) {
                view->Discard(checked);
                old->Discard(old->Data().size());
                discarded = checked;
            }
            if (hooks.afterBlock) hooks.afterBlock();
        }
        consumed += n;
        if (hooks.progress) hooks.progress(consumed);
    }
    if (!decoder.Finished()) throw EPatchError("The patch ends before its frame does: " + patchPath);
    view.reset();  // unmapped before the file is closed or renamed
    check.Verify();
}

}  // namespace

std::uint64_t IntermediateBound(std::uint64_t oldSize, std::uint64_t finalSize) {
    constexpr std::uint64_t kSlack = std::uint64_t{64} << 20;
    const std::uint64_t larger = oldSize > finalSize ? oldSize : finalSize;
    if (larger > (std::numeric_limits<std::uint64_t>::max() - kSlack) / 2) return std::numeric_limits<std::uint64_t>::max();
    return larger * 2 + kSlack;
}

void ApplyChain(const std::string& oldPath, const std::vector<TPatchStep>& steps, os::File& out, std::uint64_t size,
                TCopyCheck& check, const TPatchHooks& hooks) {
    if (steps.empty()) throw EPatchError("No patch to apply");
    static const TListTrust kNoKey{std::string()};
    const std::uint64_t bound = IntermediateBound(FileSize(oldPath), size);
    std::uint64_t consumed = 0;
    std::string source = oldPath;
    std::string intermediate;  // the temporary source, once there is one
    const auto drop = [&intermediate] {
        if (!intermediate.empty()) os::DeleteFile(intermediate);
        intermediate.clear();
    };
    try {
        for (std::size_t k = 0; k < steps.size(); ++k) {
            const std::optional<std::uint64_t> declared = DeclaredSizeOf(steps[k].file);
            if (k + 1 == steps.size()) {
                if (declared && *declared != size) {
                    throw EPatchError("The patch declares another size than its entry's", TFault::TooLarge);
                }
                ApplyOne(source, steps[k].file, out, size, check, hooks, consumed);
                break;
            }
            // An intermediate's size is only what its patch declares, within reason.
            if (!declared || *declared == 0 || *declared > bound) {
                throw EPatchError("A patch of the chain declares no size, or one too large", TFault::TooLarge);
            }
            std::string next;
            os::File file = hooks.newTemp(next);
            try {
                TCopyCheck linkCheck(static_cast<std::int64_t>(*declared), steps[k].to, std::string(), kNoKey);
                ApplyOne(source, steps[k].file, file, *declared, linkCheck, hooks, consumed);
                file.Close();
            } catch (...) {
                file = os::File();
                os::DeleteFile(next);
                throw;
            }
            drop();
            intermediate = next;
            source = next;
        }
    } catch (...) {
        drop();
        throw;
    }
    drop();
}

std::string PatchFallbackNote(const TFailure& failure) {
    return "patch failed (" + DescribeFailure(failure) + "), fetching the whole copy";
}
