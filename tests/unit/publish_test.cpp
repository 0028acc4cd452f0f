// The publisher's pure pieces: --critical patterns, name checks and their
// Windows-1252 form, and its reading of the previous list; and its patches,
// publication after publication in a scratch server directory.
#include "tools/publish/Glob.h"
#include "formats/ListGrammar.h"
#include "formats/ListWriter.h"
#include "engine/steps/RunList.h"
#include "formats/Publication.h"
#include "tools/publish/Compressor.h"
#include "tools/publish/Objects.h"
#include "tools/publish/PatchMaker.h"
#include "tools/publish/Patches.h"
#include "tools/publish/PreviousList.h"
#include "tools/publish/Manifest.h"
#include "tools/publish/Names.h"
#include "tools/publish/Publisher.h"
#include "tools/publish/Signing.h"
#include "tools/publish/Stages.h"
#include "tests/unit/scratch_dir.h"

#include <zstd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

using namespace publish;

namespace {

TEST(PublishGlob, SeparatorsOfEitherKindMatchListPaths) {
    for (const char* pattern : {"system/*.dll", "system\\*.dll", "/system/*.dll", "./system/*.dll"}) {
        const Glob glob(pattern);
        EXPECT_TRUE(glob.Matches("system\\engine.dll")) << pattern;
        EXPECT_FALSE(glob.Matches("system\\engine.ini")) << pattern;
        EXPECT_FALSE(glob.Matches("system\\sub\\engine.dll")) << pattern;
        EXPECT_FALSE(glob.Matches("engine.dll")) << pattern;
    }
}

TEST(PublishGlob, WildcardsStayWithinANameExceptDoubleStar) {
    EXPECT_TRUE(Glob("*.exe").Matches("gc.exe"));
    EXPECT_FALSE(Glob("*.exe").Matches("system\\gc.exe"));
    EXPECT_TRUE(Glob("system/g?.exe").Matches("system\\gc.exe"));
    EXPECT_FALSE(Glob("system?gc.exe").Matches("system\\gc.exe"));
    EXPECT_TRUE(Glob("**/*.ini").Matches("a\\b\\c.ini"));
    EXPECT_TRUE(Glob("**/*.ini").Matches("c.ini"));  // "**/" may stand for no directory
    EXPECT_TRUE(Glob("maps/**").Matches("maps\\x\\y.map"));
    EXPECT_TRUE(Glob("a/**/z").Matches("a\\z"));
    EXPECT_TRUE(Glob("a/**/z").Matches("a\\b\\c\\z"));
    EXPECT_FALSE(Glob("a/**/z").Matches("a\\b\\zz"));
    EXPECT_TRUE(Glob("*").Matches("x"));
    EXPECT_FALSE(Glob("").Matches("x"));
}

TEST(PublishGlob, ADirectoryMatchesEverythingBelowIt) {
    EXPECT_TRUE(Glob("system").Matches("system\\engine.dll"));
    EXPECT_TRUE(Glob("system/").Matches("system\\a\\b.dll"));
    EXPECT_TRUE(Glob("sys*").Matches("system\\a\\b.dll"));
    EXPECT_FALSE(Glob("system").Matches("systems\\engine.dll"));
    EXPECT_FALSE(Glob("system").Matches("data\\system"));
}

TEST(PublishGlob, MatchingIsExactInCaseAndBytes) {
    EXPECT_FALSE(Glob("System/*").Matches("system\\a"));
    // Windows-1252 "é" in the pattern and in the path.
    EXPECT_TRUE(Glob("caf\xE9/*").Matches("caf\xE9\\menu.txt"));
}

TEST(PublishNames, ComponentsTheListOrWindowsCantHoldAreRefused) {
    EXPECT_EQ(CheckComponent("engine.dll"), NameProblem::None);
    EXPECT_EQ(CheckComponent("two words.txt"), NameProblem::None);
    EXPECT_EQ(CheckComponent("..."), NameProblem::TrailingDot);
    EXPECT_EQ(CheckComponent(""), NameProblem::Empty);
    EXPECT_EQ(CheckComponent("a|b"), NameProblem::Bar);
    EXPECT_EQ(CheckComponent(" lead"), NameProblem::Blank);
    EXPECT_EQ(CheckComponent("trail "), NameProblem::Blank);
    EXPECT_EQ(CheckComponent("tab\there"), NameProblem::ControlChar);
    EXPECT_EQ(CheckComponent("eof\x1A"), NameProblem::ControlChar);
    EXPECT_EQ(CheckComponent("del\x7F"), NameProblem::ControlChar);
    EXPECT_EQ(CheckComponent("c1\x81"), NameProblem::ControlChar);
    EXPECT_EQ(CheckComponent("a\\b"), NameProblem::WindowsChar);
    EXPECT_EQ(CheckComponent("a:b"), NameProblem::WindowsChar);
    EXPECT_EQ(CheckComponent("what?"), NameProblem::WindowsChar);
    EXPECT_EQ(CheckComponent("track#2.ogg"), NameProblem::UrlChar);
    EXPECT_EQ(CheckComponent("100%.txt"), NameProblem::UrlChar);
    EXPECT_EQ(CheckComponent("name."), NameProblem::TrailingDot);
    EXPECT_EQ(CheckComponent("nul"), NameProblem::DeviceName);
    EXPECT_EQ(CheckComponent("Com1.txt"), NameProblem::DeviceName);
    EXPECT_EQ(CheckComponent("console.txt"), NameProblem::None);
    EXPECT_EQ(CheckComponent("com10"), NameProblem::None);
}

TEST(PublishNames, NativeNamesAreEncodedAndChecked) {
    std::string out;
#ifdef _WIN32
    EXPECT_EQ(EncodeComponent(std::filesystem::path(L"estad\u00EDa\u20AC.txt"), out), NameProblem::None);
    EXPECT_EQ(out,
              "estad\xED"
              "a\x80.txt");
    EXPECT_EQ(EncodeComponent(std::filesystem::path(L"\u65E5\u672C.txt"), out), NameProblem::NotCp1252);
    // Best fit would make this "a"; it must be refused instead.
    EXPECT_EQ(EncodeComponent(std::filesystem::path(L"\u0101.txt"), out), NameProblem::NotCp1252);
#else
    EXPECT_EQ(EncodeComponent(std::filesystem::path("estad\xC3\xAD"
                                                    "a\xE2\x82\xAC.txt"),
                              out),
              NameProblem::None);
    EXPECT_EQ(out,
              "estad\xED"
              "a\x80.txt");
    EXPECT_EQ(EncodeComponent(std::filesystem::path("\xE6\x97\xA5.txt"), out), NameProblem::NotCp1252);
#endif
    EXPECT_EQ(EncodeComponent(std::filesystem::path("x|y"), out), NameProblem::Bar);
}

TEST(PublishNames, ServerPathsCarryTheWindows1252Bytes) {
    const std::filesystem::path dir("srv");
    const std::filesystem::path p = ServerPath(dir, "maps\\caf\xE9.map.bz2");
    EXPECT_EQ(p.parent_path().filename(), std::filesystem::path("maps"));
#ifdef _WIN32
    EXPECT_EQ(p.filename().native(), std::wstring(L"caf\u00E9.map.bz2"));
#else
    EXPECT_EQ(p.filename().native(), std::string("caf\xE9.map.bz2"));
#endif
}

TEST(PublishNames, CopiesThatCantCoexistOnTheServerAreFound) {
    EXPECT_TRUE(FindServerClashes({"a.txt", "b\\a.txt", "B2\\a.txt", "files.lst.bz2"}).empty());
    EXPECT_EQ(FindServerClashes({"Readme.txt", "README.TXT"}).size(), 1u);
    EXPECT_EQ(FindServerClashes({"\xC9t\xE9.txt", "\xE9T\xC9.TXT"}).size(), 1u);  // Été / éTÉ
    EXPECT_EQ(FindServerClashes({"files.lst"}).size(), 1u);
    EXPECT_EQ(FindServerClashes({"Files.LST"}).size(), 1u);
    EXPECT_EQ(FindServerClashes({"files.lst\\x"}).size(), 1u);
    // The copy of "x" is "x.bz2", which can't also be a directory.
    const auto clash = FindServerClashes({"x", "x.bz2\\y"});
    ASSERT_EQ(clash.size(), 1u);
    EXPECT_NE(clash[0].find("x.bz2/y"), std::string::npos);
    EXPECT_EQ(FindServerClashes({"files.lst.written\\x"}).size(), 1u);
    // The files every install keeps of its own, in any case.
    EXPECT_EQ(FindServerClashes({"FILES.lst.Installed", "files.lst.serial", "Files.Lst.Keys"}).size(), 3u);
    EXPECT_TRUE(FindServerClashes({"data\\files.lst.installed"}).empty());
    // The folder of contents fetched ahead, and anything in it.
    EXPECT_EQ(FindServerClashes({"Files.Lst.Next\\0123"}).size(), 1u);
    EXPECT_EQ(FindServerClashes({"files.lst.next"}).size(), 1u);
    EXPECT_TRUE(FindServerClashes({"files.lst.nextx", "data\\files.lst.next\\a"}).empty());
    // The channels' serials: an entry there would reset a channel's rollback check.
    EXPECT_EQ(FindServerClashes({"Files.Lst.Channels\\beta.serial"}).size(), 1u);
}

// Two spellings of one directory are one directory on the players' disks:
// the message names both, once however many files lie below them.
TEST(PublishNames, DirectoriesThatDifferOnlyInCaseAreFound) {
    const auto clash = FindServerClashes({"Pod\\a.dat", "Pod\\b.dat", "pod\\c.dat", "pod\\d.dat", "x\\POD\\e"});
    ASSERT_EQ(clash.size(), 1u);
    EXPECT_NE(clash[0].find("'Pod'"), std::string::npos) << clash[0];
    EXPECT_NE(clash[0].find("'pod'"), std::string::npos) << clash[0];
    EXPECT_EQ(FindServerClashes({"a\\Sub\\x", "A\\sub\\y"}).size(), 2u);  // a/A, then a/Sub and A/sub
    EXPECT_TRUE(FindServerClashes({"Pod\\a", "Pod\\b\\c", "pod2\\a"}).empty());
}

// The record of written copies decides what is kept: it must round-trip,
// and whatever in it is damaged must read as "ours, content unknown" (the
// copy is then rewritten and still pruned), never as a known digest.
TEST(PublishManifest, RoundTripsAndDamageMeansUnknown) {
    Manifest written;
    written["a.dat"] = WrittenCopy{"0cc175b9c0f1b6a831c399e269772661", 1};
    written["maps\\\xE9t\xE9.map"] = WrittenCopy{"d41d8cd98f00b204e9800998ecf8427e", 0};
    written["pending.pak"] = WrittenCopy{};
    written["huge.pak"] = WrittenCopy{"9e107d9d372bb6826bd81d3542a419d6", 12884901888};  // 12 GiB: 11 digits
    EXPECT_EQ(ReadManifest(WriteManifest(written)), written);

    const Manifest damaged = ReadManifest(
        "corvel-publish written copies 1\r\n"
        "x.dat|0CC175B9C0F1B6A831C399E269772661|1\r\n"  // not our lowercase digest
        "y.dat|0cc175b9c0f1b6a831c399e269772661|-1\r\n"
        "z.dat|0cc175b9c0f1b6a831c399e26977266|1\r\n"
        "w.dat|0cc175b9c0f1b6a831c399e269772661|9223372036854775808\r\n"  // 2^63: past any size
        "v.dat|0cc175b9c0f1b6a831c399e269772661|+1\r\n"
        "no bars\r\n");
    ASSERT_EQ(damaged.size(), 5u);
    for (const auto& [path, copy] : damaged) EXPECT_FALSE(copy.Known()) << path;
    EXPECT_TRUE(ReadManifest("files.lst|0cc175b9c0f1b6a831c399e269772661|1\r\n").empty());  // no header
}

TEST(PublishList, APreviousListGivesDigestAndSizeByPath) {
    TListContent list;
    list.rev = 42;
    list.self = TListItem{"CorvelUpdater.exe", "0cc175b9c0f1b6a831c399e269772661", 1180160};
    list.critical = {{"system\\engine.ini", "f96b697d7cb7938d525a2f31aaf161d0", 48211, std::string(64, 'a')}};
    list.normal = {{"maps\\z.map", "c3fcd3d76192e4007dfb496cca67e13b", 0},
                   {"maps\\\xE9t\xE9.map", "d41d8cd98f00b204e9800998ecf8427e", 2147483647},
                   {"maps\\huge.pak", "d41d8cd98f00b204e9800998ecf8427e", 6442450944}};
    const auto previous = ReadPreviousList(WriteList(list));
    ASSERT_EQ(previous.size(), 5u);
    EXPECT_EQ(previous.at("CorvelUpdater.exe").digest, "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(previous.at("system\\engine.ini").size, 48211);  // signed line
    EXPECT_EQ(previous.at("maps\\\xE9t\xE9.map").size, 2147483647);
    EXPECT_EQ(previous.at("maps\\huge.pak").size, 6442450944);
    EXPECT_EQ(previous.at("maps\\z.map").size, 0);
    EXPECT_EQ(previous.count("Rev"), 0u);

    // Damaged lines are skipped; LF endings and blanks around a line do.
    const auto damaged = ReadPreviousList(
        "a|0CC175B9C0F1B6A831C399E269772661|1\n"    // uppercase digest
        "b|0cc175b9c0f1b6a831c399e26977266|1\n"     // 31 digits
        "c|0cc175b9c0f1b6a831c399e269772661|1|x\n"  // four fields
        "|0cc175b9c0f1b6a831c399e269772661|1\n"     // no path
        "  d|0cc175b9c0f1b6a831c399e269772661|x\t\n"
        "e|0cc175b9c0f1b6a831c399e269772661|12\n"
        "f|0cc175b9c0f1b6a831c399e269772661|18446744073709551616");  // past 64 bits
    ASSERT_EQ(damaged.size(), 3u);
    EXPECT_EQ(damaged.at("d").size, -1);
    EXPECT_EQ(damaged.at("f").size, -1);
    EXPECT_EQ(damaged.at("e").size, 12);
}

// A record with patches round-trips; a damaged patch line is dropped (its
// file is then pruned as unlisted), never read as a copy.
TEST(PublishManifest, PatchLinesRoundTripAndDamageDropsThem) {
    Manifest written;
    written["a.dat"] = WrittenCopy{"0cc175b9c0f1b6a831c399e269772661", 1};
    PatchRecord patches;
    patches.publication = 7;
    patches.objects[std::string(32, 'a')] = WrittenObject{6442450944, 1234, 6};
    const TPatchLink link{std::string(32, 'a'), std::string(32, 'b'), 10, 20, std::string(64, 'c')};
    patches.links[{link.from, link.to}] = WrittenPatch{link, 6};
    PatchRecord read;
    EXPECT_EQ(ReadManifest(WriteManifest(written, patches), &read), written);
    EXPECT_EQ(read, patches);

    const std::string damaged = "corvel-publish written copies 2\r\n|publication|x\r\n|patch|6|" + link.from + "|" +
                                link.to + "|10|20\r\n|patch|y|" + FormatPatchLine(link) + "\r\n|object|6|" +
                                std::string(32, 'A') + "|1|1\r\n|object|6|" + std::string(32, 'a') + "|1\r\n";
    EXPECT_TRUE(ReadManifest(damaged, &read).empty());
    EXPECT_EQ(read.publication, 0u);
    EXPECT_TRUE(read.links.empty());
    EXPECT_TRUE(read.objects.empty());
}

namespace fs = std::filesystem;

std::string Md5Of(const std::string& data) {
    TMD5Context context;
    MD5Init(context);
    MD5Update(context, data.data(), data.size());
    TMD5Digest digest{};
    MD5Final(context, digest);
    return DigestToHex(digest);
}

// A 64 KiB archive; version k has k records of it rewritten.
std::string Version(int k) {
    std::mt19937 random(7);
    std::string data(64 * 1024, '\0');
    for (char& c : data) c = static_cast<char>(random() & 0x3F);
    for (int i = 1; i <= k; ++i)
        data.replace(static_cast<std::size_t>(i) * 12000, 12, "record v" + std::to_string(i) + "!!!");
    return data;
}

// What a client does with a patch: the old content as zstd's prefix.
std::string Apply(const std::string& patch, const std::string& old) {
    const std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, 31);
    ZSTD_DCtx_refPrefix(dctx.get(), old.data(), old.size());
    std::string out(ZSTD_getFrameContentSize(patch.data(), patch.size()), '\0');
    const std::size_t n = ZSTD_decompressDCtx(dctx.get(), out.data(), out.size(), patch.data(), patch.size());
    return ZSTD_isError(n) ? std::string("failed: ") + ZSTD_getErrorName(n) : out.substr(0, n);
}

class PublishPatches : public ::testing::Test {
protected:
    scratch::Dir dir;
    fs::path client = dir.Native() / "client";
    fs::path server = dir.Native() / "server";

    void SetUp() override { fs::create_directories(client); }

    PublishSummary Run(unsigned history = 3, bool copies = true) {
        PublishOptions options;
        options.bz2Copies = copies;
        options.clientDir = client;
        options.serverDir = server;
        options.jobs = 2;
        options.patchHistory = history;
        Progress progress;
        return Publish(options, progress, [] {});
    }
    void Put(const std::string& name, const std::string& data) {
        fs::create_directories((client / name).parent_path());
        scratch::WriteAll(client / name, data);
    }

    std::vector<TPatchLink> Listed() const {
        const std::string text = scratch::ReadAll(server / "files.lst");
        std::vector<TPatchLink> links;
        FindListSection(text, kPatchSection).ForEach([&](std::string_view line) {
            const auto link = ParsePatchLine(line);
            EXPECT_TRUE(link) << line;
            if (link) links.push_back(*link);
        });
        return links;
    }
    // The files in patches/, as the list names them.
    std::set<std::string> PatchFiles() const {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(PatchDirectory(server), ec)) {
            names.insert("patches/" + entry.path().filename().string());
        }
        return names;
    }
    std::set<std::string> NamesOf(const std::vector<TPatchLink>& links) const {
        std::set<std::string> names;
        for (const TPatchLink& link : links) names.insert(PatchName(link.from, link.to));
        return names;
    }
    std::string PatchBytes(const TPatchLink& link) const {
        return scratch::ReadAll(server / PatchName(link.from, link.to));
    }
};

TEST_F(PublishPatches, AChangedFileGetsAPatchThatRebuildsIt) {
    Put("a.pak", Version(1));
    Put("same.txt", "unchanged");
    EXPECT_EQ(Run().patches, 0u);
    Put("a.pak", Version(2));
    const PublishSummary summary = Run();
    EXPECT_EQ(summary.patches, 1u);
    const auto links = Listed();
    ASSERT_EQ(links.size(), 1u);
    const TPatchLink& link = links[0];
    EXPECT_EQ(link.from, Md5Of(Version(1)));
    EXPECT_EQ(link.to, Md5Of(Version(2)));
    EXPECT_EQ(link.copyBytes, fs::file_size(server / "a.pak.bz2"));
    EXPECT_EQ(link.patchBytes, fs::file_size(server / PatchName(link.from, link.to)));
    EXPECT_LT(link.patchBytes, link.copyBytes / 20);  // one record rewritten
    EXPECT_EQ(link.sha256, FileSha256Hex(server / PatchName(link.from, link.to)));
    EXPECT_EQ(Apply(PatchBytes(link), Version(1)), Version(2));
    EXPECT_EQ(PatchFiles(), NamesOf(links));
}

// Version k is published after k - 1; the list keeps the links of the last
// `history` changes, a republication that changes nothing ages none, and a
// client three publications behind follows the chain to the newest.
TEST_F(PublishPatches, TheHistoryKeepsTheLastChangesOnly) {
    for (const unsigned history : {0u, 1u, 2u, 3u, 5u}) {
        SCOPED_TRACE(history);
        fs::remove_all(server);
        for (int k = 1; k <= 4; ++k) {
            Put("a.pak", Version(k));
            Run(history);
        }
        Run(history);
        const auto links = Listed();
        ASSERT_EQ(links.size(), std::min(history, 3u));
        EXPECT_EQ(PatchFiles(), NamesOf(links));
        std::set<std::string> expected;
        for (unsigned back = 0; back < std::min(history, 3u); ++back) {
            const int k = 4 - static_cast<int>(back);
            expected.insert(PatchName(Md5Of(Version(k - 1)), Md5Of(Version(k))));
        }
        EXPECT_EQ(NamesOf(links), expected);
        const auto chain = FindChain(links, Md5Of(Version(1)), Md5Of(Version(4)));
        if (history < 3) {
            EXPECT_TRUE(chain.empty());
            continue;
        }
        ASSERT_EQ(chain.size(), 3u);
        std::string content = Version(1);
        for (const TPatchLink& link : chain) content = Apply(PatchBytes(link), content);
        EXPECT_EQ(content, Version(4));
    }
    // Turned off later, the patches on the server go with the next publication.
    EXPECT_FALSE(Listed().empty());
    Run(0);
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(fs::exists(PatchDirectory(server)));
}

// Threat: a copy on the server that no longer holds what the record says
// (replaced by hand or by an attacker); a patch from it would rebuild
// something else on every client, so none is made, and the copy itself is
// rewritten as any changed file's. The old content's object, when in
// place, is the patch's source instead: then the damaged copy isn't read.
TEST_F(PublishPatches, ACopyThatDoesntHoldTheRecordedContentGivesNoPatch) {
    const struct {
        const char* why;
        std::string copy;
        bool bzip2;
    } cases[] = {
        {"other content of the same size", Version(3), true},
        {"decodes past the recorded size", Version(1) + Version(1), true},
        {"not bzip2 at all", "BZh9 nothing here", false},
    };
    for (const auto& c : cases) {
        for (const bool objectKept : {false, true}) {
            SCOPED_TRACE(std::string(c.why) + (objectKept ? ", old object kept" : ""));
            fs::remove_all(server);
            Put("a.pak", Version(1));
            Run();
            if (c.bzip2) {
                CompressToFile(c.copy, server / "a.pak.bz2");
            } else {
                scratch::WriteAll(server / "a.pak.bz2", c.copy);
            }
            if (!objectKept) fs::remove_all(ObjectDirectory(server));
            Put("a.pak", Version(2));
            const PublishSummary summary = Run();
            EXPECT_EQ(summary.compressed, 1u);
            if (objectKept) {
                ASSERT_EQ(Listed().size(), 1u);
                EXPECT_EQ(Apply(PatchBytes(Listed()[0]), Version(1)), Version(2));
                EXPECT_TRUE(summary.warnings.empty());
                continue;
            }
            EXPECT_EQ(summary.patches, 0u);
            EXPECT_TRUE(Listed().empty());
            EXPECT_TRUE(PatchFiles().empty());
            ASSERT_EQ(summary.warnings.size(), 1u);
            EXPECT_NE(summary.warnings[0].find("a.pak.bz2"), std::string::npos) << summary.warnings[0];
        }
    }
}

// A patch is kept only when smaller than the whole copy the client would
// otherwise fetch; two files with the same change share one; nothing is
// planned without a history or past the size bound.
TEST_F(PublishPatches, APatchMustBeatTheCopyAndIsMadeOncePerChange) {
    const ScratchDir scratch;
    CompressToFile(Version(1), dir.Native() / "old.bz2");
    Put("new.pak", Version(2));
    PatchSource source{Md5Of(Version(1)),        Md5Of(Version(2)),  Version(1).size(), Version(2).size(),
                       dir.Native() / "old.bz2", client / "new.pak", UINT64_MAX};
    fs::create_directories(PatchDirectory(server));
    auto make = [&](std::uint64_t copyBytes) {
        source.copyBytes = copyBytes;
        PatchRecord record;
        auto jobs = PlanPatches({source}, record, 1, 3, server);
        EXPECT_EQ(jobs.size(), 1u);
        MakePatch(jobs.at(0), scratch.Path(), 0, {});
        EXPECT_EQ(jobs[0].error, "");
        return jobs[0].temp ? jobs[0].link.patchBytes : 0;
    };
    const std::uint64_t size = make(UINT64_MAX);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(make(size), 0u);
    EXPECT_EQ(make(size + 1), size);

    PatchRecord record;
    PatchSource twin = source;
    twin.newFile = client / "twin.pak";
    PatchSource huge = source;
    huge.to = std::string(32, 'e');
    huge.toSize = kMaxPatchedFile + 1;
    PatchSource same = source;
    same.to = same.from;
    EXPECT_EQ(PlanPatches({source, twin, huge, same}, record, 1, 3, server).size(), 1u);
    EXPECT_TRUE(PlanPatches({source}, record, 1, 0, server).empty());
}

// Text that bzip2 packs well, so its object gets the higher level too.
std::string Text(int version) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i * version % 977) + " of the map\n";
    return text;
}

// Text(1) with one line rewritten: a patch from Text(1) beats its object.
std::string Edited(int version) {
    std::string text = Text(1);
    return text.replace(100000, 20, "edited in version " + std::to_string(version));
}

// The table's steps are lambdas, which reach the fixture from outside.
class PublishObjects : public PublishPatches {
public:
    using PublishPatches::client;
    using PublishPatches::Put;
    using PublishPatches::Run;
    using PublishPatches::server;
    std::map<std::string, std::string> contents;  // by MD5, to check what each object decodes to

    // The MD5 of every object on the server, each checked to decode to it.
    std::set<std::string> Objects() {
        std::set<std::string> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(ObjectDirectory(server), ec);
             !ec && it != fs::recursive_directory_iterator(); ++it) {
            if (it.depth() != 1 || !it->is_regular_file()) continue;  // objects/ab/<md5>.zst
            const std::string digest = it->path().stem().string();
            EXPECT_EQ(it->path(), ObjectPath(server, digest));
            EXPECT_TRUE(DecodeVerifiedObject(it->path(), digest, contents[digest].size(), nullptr)) << it->path();
            found.insert(digest);
        }
        return found;
    }
    std::string Known(const std::string& data) {
        contents[Md5Of(data)] = data;
        return Md5Of(data);
    }
};

// Each row: publications made, then the objects expected.
TEST_F(PublishObjects, EachContentOnceKeptByHistoryNeverPartial) {
    const struct Case {
        const char* why;
        std::function<void(PublishObjects&, std::set<std::string>& want)> run;
    } cases[] = {
        {"identical files at several paths are one object",
         [](PublishObjects& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Put("maps/b.txt", Text(1));
             s.Put("c.bin", "other");
             s.Put("empty.dat", "");
             const PublishSummary summary = s.Run();
             EXPECT_EQ(summary.objects, 3u);
             want = {s.Known(Text(1)), s.Known("other"), s.Known("")};
         }},
        {"an object in place is kept, not rewritten",
         [](PublishObjects& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run();
             const fs::path object = ObjectPath(s.server, s.Known(Text(1)));
             const auto written = fs::last_write_time(object);
             s.Put("b.txt", Text(1));  // the same content at a new path
             EXPECT_EQ(s.Run().objects, 0u);
             EXPECT_EQ(fs::last_write_time(object), written);
             want = {s.Known(Text(1))};
         }},
        {"history 1 keeps only the current list's objects",
         [](PublishObjects& s, std::set<std::string>& want) {
             for (int v = 1; v <= 3; ++v) {
                 s.Put("a.txt", Text(v));
                 s.Run(1);
             }
             EXPECT_EQ(s.Run(1).unobjected, 0u);  // no change ages nothing
             want = {s.Known(Text(3))};
         }},
        {"patches off still keep the current objects",
         [](PublishObjects& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run(0);
             s.Put("a.txt", Text(2));
             EXPECT_EQ(s.Run(0).unobjected, 1u);
             want = {s.Known(Text(2))};
         }},
        {"--no-bz2-copies removes ours and patches from the old object",
         [](PublishObjects& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run(3, false);
             s.Put("a.txt", Edited(2));
             const PublishSummary summary = s.Run(3, false);
             EXPECT_EQ(summary.patches, 1u);
             EXPECT_TRUE(summary.warnings.empty());
             s.Put("a.txt", Edited(3));
             s.Run(3, true);  // the copies come back when asked for
             EXPECT_EQ(s.Run(3, false).removed, 1u);
             EXPECT_FALSE(fs::exists(s.server / "a.txt.bz2"));
             want = {s.Known(Text(1)), s.Known(Edited(2)), s.Known(Edited(3))};
         }},
        {"a partial or foreign file under an object's name is replaced",
         [](PublishObjects& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Put("b.txt", Text(2));
             s.Run();
             const std::string a = s.Known(Text(1)), b = s.Known(Text(2));
             const std::string whole = scratch::ReadAll(ObjectPath(s.server, a));
             scratch::WriteAll(ObjectPath(s.server, a), whole.substr(0, whole.size() / 2));
             scratch::WriteAll(ObjectPath(s.server, b), scratch::ReadAll(ObjectPath(s.server, a)));
             fs::remove(s.server / kManifestName);  // no record vouches for either
             EXPECT_EQ(s.Run().objects, 2u);
             EXPECT_EQ(scratch::ReadAll(ObjectPath(s.server, a)), whole);
             want = {a, b};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        fs::remove_all(server);
        fs::remove_all(client);
        std::set<std::string> want;
        c.run(*this, want);
        EXPECT_EQ(Objects(), want);
        // The next run, with nothing changed, keeps every object as it is.
        const PublishSummary again = Run();
        EXPECT_EQ(again.objects + again.unobjected, 0u);
    }
}

// A list naming its objects, stage and channels installs, unchanged,
// through the readers that know only the .bz2 copies: the update run's and
// the publisher's own.
TEST(ListObjectsLine, ReadersThatDontKnowItReadTheListAsBefore) {
    TListContent content;
    content.rev = 7;
    content.mirrors = {"https://mirror.example/up/"};
    content.self = TListItem{"Updater.exe", std::string(32, 'a'), 10};
    content.critical = {{"system\\engine.dll", std::string(32, 'b'), 20, std::string(64, 'c')}};
    content.normal = {{"maps\\x.map", std::string(32, 'd'), 30}};
    content.patches = {TPatchLink{std::string(32, 'd'), std::string(32, 'e'), 5, 9, std::string(64, 'f')}};
    const std::string before = WriteList(content);
    content.objects = kObjectDir;
    content.next = "day-2";
    content.channels = {"beta"};
    const std::string after = WriteList(content);
    ASSERT_NE(after.find("\r\nObjects|objects/\r\nNext|day-2\r\nChannel|beta\r\n[/settings]\r\n"), std::string::npos)
        << after;

    scratch::Dir dir;
    auto read = [&](const std::string& text) {
        const std::string path = (dir.Native() / "files.lst").string();
        scratch::WriteAll(path, text);
        auto list = std::make_unique<TRunList>(path);
        ReadList(path, *list);
        return list;
    };
    const auto old = read(before);
    const auto now = read(after);
    EXPECT_EQ(now->rev, old->rev);
    EXPECT_EQ(now->mirrors, old->mirrors);
    EXPECT_EQ(now->self.Body(), old->self.Body());
    EXPECT_EQ(now->critical.Body(), old->critical.Body());
    EXPECT_EQ(now->normal.Body(), old->normal.Body());
    EXPECT_EQ(now->patches.Body(), old->patches.Body());
    EXPECT_EQ(now->normal.size(), 1u);
    EXPECT_EQ(now->standing.next, "day-2");
    EXPECT_EQ(now->standing.channels, std::vector<std::string>{"beta"});
    const auto previous = ReadPreviousList(before), current = ReadPreviousList(after);
    ASSERT_EQ(current.size(), 3u);
    ASSERT_EQ(current.size(), previous.size());
    for (const auto& [path, entry] : previous) {
        EXPECT_EQ(current.at(path).digest, entry.digest) << path;
        EXPECT_EQ(current.at(path).size, entry.size) << path;
    }
}

// Update day on one server, row after row: each acts, then the server must
// hold exactly `files` besides objects/ and patches/, the live list name
// the contents of `live` (each copy decoding to its entry) and announce
// `announces`, and every list there (live, staged, channel) find each of
// its objects and patches in place. Every step re-signs the live list with
// a serial above the last; a channel's serials follow their own record.
class PublishStages : public PublishObjects {
public:
    using Tree = std::map<std::string, std::string>;
    fs::path keyFile = dir.Native() / "operator.key";
    std::uint64_t liveSerial = 0;
    const Tree anything;

    void SetUp() override {
        PublishObjects::SetUp();
        GenerateKeyFile(keyFile);
    }
    PublishOptions Options(unsigned history = 3) {
        PublishOptions options;
        options.clientDir = client;
        options.serverDir = server;
        options.jobs = 2;
        options.patchHistory = history;
        options.signing.keys.push_back({keyFile, LoadKeyFile(keyFile)});
        return options;
    }
    PublishSummary Publish(const Tree& tree, Beside beside = {}, unsigned history = 3) {
        fs::remove_all(client);
        for (const auto& [path, data] : tree) Put(path, data);
        PublishOptions options = Options(history);
        options.bz2Copies = beside.place != Place::Channel;
        options.beside = beside;
        Progress progress;
        return publish::Publish(options, progress, [] {});
    }
    std::uint64_t Serial(const fs::path& listDir) {
        const auto signature = sig::ParseListSignature(scratch::ReadAll(listDir / kSignatureName));
        EXPECT_TRUE(signature);
        return signature ? signature->serial : 0;
    }
    std::multiset<std::string> Files() {
        std::multiset<std::string> files;
        for (auto it = fs::recursive_directory_iterator(server); it != fs::recursive_directory_iterator(); ++it) {
            std::string name = fs::relative(it->path(), server).generic_string();
            if (name.starts_with("objects/") || name.starts_with("patches/") || !it->is_regular_file()) continue;
            if (name.starts_with(kHistoryDir)) name = std::string(kHistoryDir) + "/#";  // numbered by publication
            files.insert(name);
        }
        return files;
    }
    // The list in listDir names exactly `tree`, and all it names is there.
    TListContent CheckList(const fs::path& listDir, const Tree& tree) {
        const auto list = ReadListContent(scratch::ReadAll(listDir / kListName));
        EXPECT_TRUE(list) << listDir;
        if (!list) return {};
        Tree named;
        for (const TListItem* entry : Entries(*list)) {
            named[entry->path] = entry->digest;
            EXPECT_TRUE(fs::exists(ObjectPath(server, entry->digest))) << listDir << " " << entry->path;
        }
        for (const TPatchLink& link : list->patches) EXPECT_TRUE(fs::exists(server / PatchName(link.from, link.to)));
        if (&tree == &anything) return *list;
        Tree want;
        for (const auto& [path, data] : tree) want[path] = Md5Of(data);
        EXPECT_EQ(named, want) << listDir;
        return *list;
    }
};

TEST_F(PublishStages, StagePromoteRevertAndChannelsLeaveOneWholePublication) {
    const Tree v1 = {{"a.pak", Version(1)}, {"same.txt", "same"}, {"gone.txt", "gone"}};
    const Tree v2 = {{"a.pak", Version(2)}, {"same.txt", "same"}, {"new.txt", "new"}};
    const Tree v3 = {{"a.pak", Version(3)}, {"same.txt", "same"}};
    const std::multiset<std::string> lists = {"files.lst", "files.lst.bz2", "files.lst.bz2.sig", "files.lst.written"};
    auto with = [&](std::multiset<std::string> more) {
        more.insert(lists.begin(), lists.end());
        return more;
    };
    const struct Step {
        const char* why;
        std::function<void(PublishStages&)> act;
        Tree live;
        std::multiset<std::string> files;
        std::vector<std::string> announces;  // Next, then the channels
    } steps[] = {
        {"a signed live publication", [&](PublishStages& s) { s.Publish(v1); }, v1,
         with({"a.pak.bz2", "same.txt.bz2", "gone.txt.bz2"}), {""}},
        {"staged: its list, its new copies and a patch from the live content beside the live list",
         [&](PublishStages& s) {
             EXPECT_EQ(s.Publish(v2, {Place::Stage, "day-2"}).patches, 1u);
             const TListContent staged = s.CheckList(s.server / "stage/day-2", v2);
             ASSERT_EQ(staged.patches.size(), 1u);
             EXPECT_EQ(staged.patches[0].from, Md5Of(Version(1)));
             EXPECT_GT(s.Serial(s.server / "stage/day-2"), s.liveSerial);
             EXPECT_LT(s.Serial(s.server / "stage/day-2"), s.Serial(s.server));
         },
         v1,
         with({"a.pak.bz2", "same.txt.bz2", "gone.txt.bz2", "stage/day-2/files.lst", "stage/day-2/files.lst.bz2",
               "stage/day-2/files.lst.bz2.sig", "stage/day-2/a.pak.bz2", "stage/day-2/new.txt.bz2"}),
         {"day-2"}},
        {"promoted: the staged copies renamed into place, the removed one pruned, the old list kept",
         [&](PublishStages& s) {
             Progress progress;
             const PublishSummary summary = Promote("day-2", s.Options(), progress, [] {});
             EXPECT_EQ(summary.compressed, 2u);
             EXPECT_EQ(progress.filesTotal, 0u);  // none made again from an object
             EXPECT_EQ(summary.removed, 1u);
             EXPECT_EQ(summary.listed, 1u);
         },
         v2, with({"a.pak.bz2", "same.txt.bz2", "new.txt.bz2", "files.lst.history/#"}), {""}},
        {"reverted: the earlier copies made again from their objects",
         [&](PublishStages& s) {
             Progress progress;
             EXPECT_EQ(Revert(s.Options(), progress, [] {}).compressed, 2u);
         },
         v1, with({"a.pak.bz2", "same.txt.bz2", "gone.txt.bz2"}), {""}},
        {"a channel: its list only, sharing the objects, named by the live list",
         [&](PublishStages& s) {
             s.Publish(v2, {Place::Channel, "beta"});
             s.CheckList(s.server / "channels/beta", v2);
             fs::path record = s.keyFile;
             record += ".channel-beta.serial";
             EXPECT_EQ(scratch::ReadAll(record), std::to_string(s.Serial(s.server / "channels/beta")) + "\n");
         },
         v1,
         with({"a.pak.bz2", "same.txt.bz2", "gone.txt.bz2", "channels/beta/files.lst", "channels/beta/files.lst.bz2",
               "channels/beta/files.lst.bz2.sig"}),
         {"", "beta"}},
        {"a live publication with history 1 still names the channel and keeps its objects",
         [&](PublishStages& s) { s.Publish(v3, {}, 1); }, v3,
         with({"a.pak.bz2", "same.txt.bz2", "channels/beta/files.lst", "channels/beta/files.lst.bz2",
               "channels/beta/files.lst.bz2.sig"}),
         {"", "beta"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.why);
        step.act(*this);
        EXPECT_EQ(Files(), step.files);
        const TListContent live = CheckList(server, step.live);
        for (const char* folder : {kStageDir, kChannelDir}) {
            std::error_code none;
            for (const auto& standing : fs::directory_iterator(server / folder, none)) CheckList(standing, anything);
        }
        std::vector<std::string> announces = {live.next};
        announces.insert(announces.end(), live.channels.begin(), live.channels.end());
        EXPECT_EQ(announces, step.announces);
        for (const auto& [path, data] : step.live) {
            EXPECT_TRUE(DecodeVerifiedCopy(server / CopyName(path), Md5Of(data), data.size(), dir.Native() / "copy"))
                << path;
        }
        const std::uint64_t serial = Serial(server);
        EXPECT_GT(serial, liveSerial);
        liveSerial = serial;
    }
    // Threat: a client directory whose copies would land on a standing list's files.
    EXPECT_FALSE(FindServerClashes({"stage\\day-2\\files.lst"}).empty());
    EXPECT_FALSE(FindServerClashes({"Channels\\beta\\x"}).empty());
    EXPECT_TRUE(FindServerClashes({"stages\\x", "data\\stage\\x"}).empty());
}

}  // namespace
