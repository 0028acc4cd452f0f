// Patches on the client: the bounded decoder against what a broken or hostile patch can ask, and chains
// applied on disk.
#include "engine/fetch/CopyStreams.h"
#include "engine/state/ListTrust.h"
#include "engine/patch/PatchApply.h"
#include "engine/patch/PatchDecoder.h"
#include "formats/PatchIndex.h"
#include "formats/md5.h"
#include "platform/os.h"
#include "tests/patch_maker.h"
#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(random() & 0xFF);
    return s;
}

// v2: v1 with some records rewritten and bytes inserted at the front.
std::string Edited(const std::string& v1, unsigned seed) {
    std::string v2 = Noise(4096, seed) + v1;
    for (std::size_t at = 10000; at + 512 < v2.size(); at += 50000) v2.replace(at, 512, Noise(512, seed + 1 + static_cast<unsigned>(at)));
    return v2;
}

std::string Md5(const std::string& data) {
    TMD5Context context{};
    MD5Init(context);
    MD5Update(context, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    TMD5Digest digest{};
    MD5Final(context, digest);
    return DigestToHex(digest);
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

class PatchDecoderTest : public ::testing::Test {
protected:
    const std::string v1_ = Noise(200000, 1);
    const std::string v2_ = Edited(v1_, 2);
};

TEST_F(PatchDecoderTest, RebuildsTheFileInOneOrManyPieces) {
    for (const bool declared : {true, false}) {
        const std::string patch = patchmaker::MakePatch(v1_, v2_, declared);
        ASSERT_LT(patch.size(), v2_.size() / 4);
        EXPECT_EQ(TPatchDecoder::DeclaredSize(Bytes(patch)), declared ? std::optional<std::uint64_t>(v2_.size()) : std::nullopt);
        for (const std::size_t piece : {patch.size(), std::size_t{7}}) {
            std::string out(v2_.size(), '\0');
            TPatchDecoder decoder(Bytes(v1_), {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
            for (std::size_t at = 0; at < patch.size(); at += piece) {
                std::span<const std::uint8_t> input = Bytes(patch).subspan(at, std::min(piece, patch.size() - at));
                // In steps of output, as the install releases pages: each
                // ends within a slice's worth of blocks past its size.
                while (!input.empty()) {
                    const std::size_t before = decoder.Produced();
                    decoder.Decode(input, 4096);
                    EXPECT_LE(decoder.Produced() - before, std::size_t{4096} + (256 << 10));
                }
            }
            EXPECT_TRUE(decoder.Finished());
            EXPECT_EQ(out, v2_) << "declared " << declared << ", pieces of " << piece;
            EXPECT_LE(decoder.PeakMemory(), TPatchDecoder::kMemoryBound);
        }
    }
}

// What a broken or hostile patch asks for ends as an error, with the fault
// the run reports.
TEST_F(PatchDecoderTest, RefusesWhatItMayNotDo) {
    const std::string patch = patchmaker::MakePatch(v1_, v2_, false);
    std::string corrupt = patch;
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x55);
    struct Case {
        const char* what;
        std::string reference, patch;
        std::size_t output;
        std::size_t memory;
        TFault fault;  // None: no error, but the frame is not finished
    };
    const std::vector<Case> cases = {
        {"more output than the entry", v1_, patch, v2_.size() - 1, TPatchDecoder::kMemoryBound, TFault::TooLarge},
        {"a corrupt frame", v1_, corrupt, v2_.size(), TPatchDecoder::kMemoryBound, TFault::Corrupt},
        {"the wrong reference", Noise(200000, 9), patch, v2_.size(), TPatchDecoder::kMemoryBound, TFault::Corrupt},
        {"not a frame at all", v1_, std::string(100, 'x'), v2_.size(), TPatchDecoder::kMemoryBound, TFault::Corrupt},
        {"bytes after the frame", v1_, patch + "x", v2_.size(), TPatchDecoder::kMemoryBound, TFault::Corrupt},
        {"no room for a context", v1_, patch, v2_.size(), 64 << 10, TFault::TooLarge},
        {"more memory than allowed", v1_, patch, v2_.size(), 160 << 10, TFault::TooLarge},
        {"a frame cut short", v1_, patch.substr(0, patch.size() - 10), v2_.size(), TPatchDecoder::kMemoryBound,
         TFault::None},
    };
    for (const Case& c : cases) {
        std::string out(c.output, '\0');
        try {
            TPatchDecoder decoder(Bytes(c.reference), {reinterpret_cast<std::uint8_t*>(out.data()), out.size()}, c.memory);
            std::span<const std::uint8_t> input = Bytes(c.patch);
            decoder.Decode(input);
            EXPECT_EQ(c.fault, TFault::None) << c.what << ": decoded";
            EXPECT_FALSE(decoder.Finished()) << c.what;
        } catch (const EPatchError& e) {
            EXPECT_EQ(e.Fault(), c.fault) << c.what << ": " << e.what();
        }
    }
}

// A decoded file shorter than the output it must fill is not a success.
TEST_F(PatchDecoderTest, AShorterResultIsRefused) {
    const std::string patch = patchmaker::MakePatch(v1_, v2_, false);
    std::string out(v2_.size() + 1, '\0');
    TPatchDecoder decoder(Bytes(v1_), {reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
    std::span<const std::uint8_t> input = Bytes(patch);
    decoder.Decode(input);
    EXPECT_THROW(decoder.Finished(), EPatchError);
}

// Chains on disk: each link's result checked, intermediates gone in every
// case, and the result written through a writable mapping.
class PatchChainTest : public ::testing::Test {
protected:
    struct Result {
        bool ok = false;
        std::string content;
        TFault fault = TFault::None;
    };
    // stopAt: the block after which a stop is asked (0: none).
    Result Apply(const std::vector<std::pair<std::string, std::string>>& patches, const std::string& to,
                 std::uint64_t size, int stopAt = 0) {
        std::vector<TPatchStep> steps;
        for (std::size_t k = 0; k < patches.size(); ++k) {
            const std::string file = dir_ / ("p" + std::to_string(k));
            scratch::WriteAll(dir_.Native() / ("p" + std::to_string(k)), patches[k].first);
            steps.push_back(TPatchStep{file, patches[k].second});
        }
        scratch::WriteAll(dir_.Native() / "old", v1_);
        TCopyCheck check(static_cast<std::int64_t>(size), Md5(to), "", noKey_);
        TPatchHooks hooks;
        std::uint64_t consumed = 0;
        hooks.progress = [&consumed](std::uint64_t c) { consumed = c; };
        int blocks = 0;
        hooks.afterBlock = [&blocks, stopAt] {
            if (++blocks == stopAt) throw Exception("stopped", TFault::Stopped);
        };
        int temps = 0;
        hooks.newTemp = [this, &temps](std::string& path) {
            path = dir_ / ("step" + std::to_string(temps++));
            return os::File::CreateNew(path, os::Share::None);
        };
        Result result;
        {
            os::File out = os::File::CreateNew(dir_ / "out", os::Share::None);
            try {
                ApplyChain(dir_ / "old", steps, out, size, check, hooks);
                result.ok = true;
            } catch (const Exception& e) {
                result.fault = e.Fault();
            }
        }
        result.content = scratch::ReadAll(dir_.Native() / "out");
        std::size_t total = 0;
        for (const auto& patch : patches) total += patch.first.size();
        if (result.ok) {
            EXPECT_EQ(consumed, total);
        }
        for (int k = 0; k < temps; ++k) EXPECT_FALSE(fs::exists(dir_.Native() / ("step" + std::to_string(k)))) << k;
        fs::remove(dir_.Native() / "out");
        return result;
    }

    scratch::Dir dir_;
    const TListTrust noKey_{std::string()};
    const std::string v1_ = Noise(300000, 3);
    const std::string v2_ = Edited(v1_, 4);
    const std::string v3_ = Edited(v2_, 5);
};

TEST_F(PatchChainTest, LinksApplyInTurnAndEachIsChecked) {
    const std::string p12 = patchmaker::MakePatch(v1_, v2_);
    const std::string p23 = patchmaker::MakePatch(v2_, v3_);
    const std::string p23unsized = patchmaker::MakePatch(v2_, v3_, false);
    const std::string p12unsized = patchmaker::MakePatch(v1_, v2_, false);

    Result r = Apply({{p12, Md5(v2_)}}, v2_, v2_.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.content, v2_);
    r = Apply({{p12, Md5(v2_)}, {p23, Md5(v3_)}}, v3_, v3_.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.content, v3_);
    // The last link may leave the size to its entry.
    r = Apply({{p12, Md5(v2_)}, {p23unsized, Md5(v3_)}}, v3_, v3_.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.content, v3_);

    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> patches;
        std::uint64_t size;
        TFault fault;
        int stopAt = 0;
    };
    const std::vector<Case> failing = {
        {"an intermediate that isn't its link's content", {{p12, Md5(v3_)}, {p23, Md5(v3_)}}, v3_.size(),
         TFault::DigestMismatch},
        {"an intermediate of no declared size", {{p12unsized, Md5(v2_)}, {p23, Md5(v3_)}}, v3_.size(), TFault::TooLarge},
        {"a last link declaring another size", {{p12, Md5(v2_)}, {p23, Md5(v3_)}}, v3_.size() + 1, TFault::TooLarge},
        {"links in the wrong order", {{p23, Md5(v3_)}, {p12, Md5(v2_)}}, v2_.size(), TFault::Corrupt},
        {"the result isn't the entry", {{p12, Md5(v2_)}}, v2_.size(), TFault::DigestMismatch},
        {"a stop inside the first link", {{p12, Md5(v2_)}, {p23, Md5(v3_)}}, v3_.size(), TFault::Stopped, 1},
        {"a stop inside the last link", {{p12, Md5(v2_)}, {p23, Md5(v3_)}}, v3_.size(), TFault::Stopped, 2},
    };
    for (const Case& c : failing) {
        // Each is checked against v3, which the last case doesn't produce.
        const Result bad = Apply(c.patches, v3_, c.size, c.stopAt);
        EXPECT_FALSE(bad.ok) << c.what;
        EXPECT_EQ(bad.fault, c.fault) << c.what;
    }
}
