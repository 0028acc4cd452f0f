// The publisher's pure pieces: --critical patterns, name checks and their
// Windows-1252 form, and its reading of the previous list.
#include "tools/publish/Glob.h"
#include "formats/ListWriter.h"
#include "tools/publish/PreviousList.h"
#include "tools/publish/Manifest.h"
#include "tools/publish/Names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

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
    EXPECT_EQ(FindServerClashes({"FILES.lst.Installed", "files.lst.serial"}).size(), 2u);
    EXPECT_TRUE(FindServerClashes({"data\\files.lst.installed"}).empty());
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

}  // namespace
