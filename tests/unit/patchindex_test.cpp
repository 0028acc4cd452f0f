// The patch index: the lines a server may send, and the chain a client
// picks from them.
#include "formats/ListGrammar.h"
#include "formats/ListWriter.h"
#include "formats/PatchIndex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kA(32, 'a'), kB(32, 'b'), kC(32, 'c'), kD(32, 'd'), kE(32, 'e'), kF(32, 'f');
const std::string kSha(64, '5');

TPatchLink Link(const std::string& from, const std::string& to, std::uint64_t patch, std::uint64_t copy) {
    return TPatchLink{from, to, patch, copy, kSha};
}

std::string Path(const std::vector<TPatchLink>& chain) {
    std::string out;
    for (const TPatchLink& link : chain) out += link.from.substr(0, 1) + ">" + link.to.substr(0, 1) + " ";
    return out;
}

TEST(PatchIndex, LinesRoundTripAndNameThePatchFile) {
    const TPatchLink link{kA, kB, 1234, 98765, kSha};
    const std::string line = FormatPatchLine(link);
    EXPECT_EQ(line, kA + "|" + kB + "|1234|98765|" + kSha);
    const auto parsed = ParsePatchLine(" \t" + line + "\r");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->from, kA);
    EXPECT_EQ(parsed->to, kB);
    EXPECT_EQ(parsed->patchBytes, 1234u);
    EXPECT_EQ(parsed->copyBytes, 98765u);
    EXPECT_EQ(parsed->sha256, kSha);
    EXPECT_EQ(PatchName(kA, kB), "patches/" + kA + "-" + kB + ".zst");
}

TEST(PatchIndex, MalformedLinesAreNeverTrusted) {
    const std::string tail = "|10|20|" + kSha;
    const struct {
        const char* why;
        std::string line;
    } cases[] = {
        {"from equals to", kA + "|" + kA + tail},
        {"uppercase digest", std::string(32, 'A') + "|" + kB + tail},
        {"short digest", kA.substr(1) + "|" + kB + tail},
        {"not hex", std::string(32, 'g') + "|" + kB + tail},
        {"four fields", kA + "|" + kB + "|10|20"},
        {"six fields", kA + "|" + kB + tail + "|x"},
        {"empty field", kA + "||" + kB + tail},
        {"trailing bar", kA + "|" + kB + tail + "|"},
        {"signed size", kA + "|" + kB + "|+10|20|" + kSha},
        {"blank in size", kA + "|" + kB + "|10 |20|" + kSha},
        {"size past 64 bits", kA + "|" + kB + "|18446744073709551616|20|" + kSha},
        {"empty patch", kA + "|" + kB + "|0|20|" + kSha},
        {"short sha256", kA + "|" + kB + "|10|20|" + kSha.substr(1)},
        {"path-like digest", "../../../etc/passwd-0000000000000|" + kB + tail},
        {"empty", ""},
    };
    for (const auto& c : cases) EXPECT_FALSE(ParsePatchLine(c.line)) << c.why;
    EXPECT_TRUE(ParsePatchLine(kA + "|" + kB + "|18446744073709551615|0|" + kSha));
}

// The writer's section reads back through the list's grammar, sorted by
// (to, from) whatever order it was given, and is left out when empty.
TEST(PatchIndex, TheListCarriesTheSectionSorted) {
    TListContent list;
    list.rev = 3;
    EXPECT_EQ(WriteList(list).find("[patches]"), std::string::npos);
    list.patches = {Link(kC, kB, 1, 2), Link(kB, kA, 3, 4), Link(kA, kB, 5, 6)};
    const std::string text = WriteList(list);
    std::vector<std::string> order;
    FindListSection(text, kPatchSection).ForEach([&](std::string_view line) {
        const auto link = ParsePatchLine(line);
        ASSERT_TRUE(link) << line;
        order.push_back(link->from.substr(0, 1) + link->to.substr(0, 1));
    });
    EXPECT_EQ(order, (std::vector<std::string>{"ba", "ab", "cb"}));
    EXPECT_EQ(FindListSection(text, "files_normal").size(), 0u);
}

TEST(PatchIndex, ChainsAreTheCheapestBelowTheCopyWithinFourLinks) {
    const struct {
        const char* why;
        std::vector<TPatchLink> links;
        std::string from, to;
        std::string expected;
    } cases[] = {
        {"one link", {Link(kA, kB, 10, 100)}, kA, kB, "a>b "},
        {"nothing from here", {Link(kA, kB, 10, 100)}, kC, kB, ""},
        {"wrong direction", {Link(kA, kB, 10, 100)}, kB, kA, ""},
        {"already there", {Link(kA, kB, 10, 100)}, kA, kA, ""},
        {"patch as large as the copy", {Link(kA, kB, 100, 100)}, kA, kB, ""},
        {"chain in order", {Link(kB, kC, 10, 100), Link(kA, kB, 10, 100)}, kA, kC, "a>b b>c "},
        {"chain costs the copy", {Link(kA, kB, 50, 100), Link(kB, kC, 50, 100)}, kA, kC, ""},
        {"cheaper direct link", {Link(kA, kB, 10, 100), Link(kB, kC, 10, 100), Link(kA, kC, 15, 100)}, kA, kC, "a>c "},
        {"cheaper chain", {Link(kA, kB, 10, 100), Link(kB, kC, 10, 100), Link(kA, kC, 25, 100)}, kA, kC, "a>b b>c "},
        {"a tie goes to fewer links",
         {Link(kA, kB, 10, 100), Link(kB, kC, 10, 100), Link(kA, kC, 20, 100)},
         kA,
         kC,
         "a>c "},
        // Equal in cost and length: the list's order decides, not the digests'.
        {"a full tie goes to the earlier link",
         {Link(kC, kD, 10, 100), Link(kA, kC, 10, 100), Link(kB, kD, 10, 100), Link(kA, kB, 10, 100)},
         kA,
         kD,
         "a>c c>d "},
        {"the same tie listed the other way",
         {Link(kB, kD, 10, 100), Link(kA, kB, 10, 100), Link(kC, kD, 10, 100), Link(kA, kC, 10, 100)},
         kA,
         kD,
         "a>b b>d "},
        // The cheaper last link's copy is small; the dearer one's allows it.
        {"judged by the last link's copy",
         {Link(kA, kB, 10, 100), Link(kB, kD, 30, 35), Link(kA, kC, 20, 100), Link(kC, kD, 25, 100)},
         kA,
         kD,
         "a>c c>d "},
        {"four links",
         {Link(kA, kB, 1, 99), Link(kB, kC, 1, 99), Link(kC, kD, 1, 99), Link(kD, kE, 1, 99)},
         kA,
         kE,
         "a>b b>c c>d d>e "},
        {"five links are too many",
         {Link(kA, kB, 1, 99), Link(kB, kC, 1, 99), Link(kC, kD, 1, 99), Link(kD, kE, 1, 99), Link(kE, kF, 1, 99)},
         kA,
         kF,
         ""},
        {"a cycle is never taken",
         {Link(kA, kB, 1, 99), Link(kB, kA, 1, 99), Link(kB, kC, 1, 99), Link(kC, kB, 1, 99), Link(kC, kD, 1, 99)},
         kA,
         kD,
         "a>b b>c c>d "},
        {"a cycle that never arrives", {Link(kA, kB, 1, 99), Link(kB, kA, 1, 99)}, kA, kC, ""},
        // Threat: sizes chosen to wrap a 64-bit total below the copy's size.
        {"no wrap-around", {Link(kA, kB, 18446744073709551615u, 99), Link(kB, kC, 2, 99)}, kA, kC, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Path(FindChain(c.links, c.from, c.to)), c.expected) << c.why;
}

}  // namespace
