#include "formats/LstFile.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// A list file in a scratch directory of the test's own.
class ListFileTest : public ::testing::Test {
protected:
    TListFile Write(const std::string& text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        return TListFile(path_.string());
    }

    scratch::Dir dir_;
    std::filesystem::path path_ = dir_.Native() / "files.lst";
};

const std::string kExample =
    "this line lies outside every section and is never read\n"
    "[settings]\n"
    "Rev|42\n"
    "[/settings]\n"
    "\n"
    "[self]\n"
    "CorvelUpdater.exe|0cc175b9c0f1b6a831c399e269772661|1180160\n"
    "[/self]\n"
    "\n"
    "[files_critical]\n"
    "system\\engine.dll|900150983cd24fb0d6963f7d28e17f72|5230592\n"
    "    system\\engine.ini|f96b697d7cb7938d525a2f31aaf161d0|48211\n"
    "[/files_critical]\n"
    "\n"
    "[files_normal]\n"
    "maps\\harbour.map|c3fcd3d76192e4007dfb496cca67e13b|9811234\n"
    "[/files_normal]\n";

TEST_F(ListFileTest, WorkedExampleInAnyOrderAndRepeatedly) {
    TListFile list = Write(kExample);
    const Lines normal = {"maps\\harbour.map|c3fcd3d76192e4007dfb496cca67e13b|9811234"};
    EXPECT_EQ(list.ReadSection("files_normal"), normal);
    EXPECT_EQ(list.ReadValue("settings", "Rev"), "42");
    EXPECT_EQ(list.ReadSection("self"), Lines{"CorvelUpdater.exe|0cc175b9c0f1b6a831c399e269772661|1180160"});
    EXPECT_EQ(list.ReadSection("files_critical"), (Lines{"system\\engine.dll|900150983cd24fb0d6963f7d28e17f72|5230592",
                                                         "system\\engine.ini|f96b697d7cb7938d525a2f31aaf161d0|48211"}));
    EXPECT_EQ(list.ReadSection("files_normal"), normal);
    EXPECT_EQ(list.ReadSection("missing"), Lines{"FAIL"});
    EXPECT_EQ(list.ReadValue("missing", "Rev"), "");
    EXPECT_EQ(list.ReadValue("settings", "rev"), "");
}

TEST_F(ListFileTest, LineEndsTrimmingAndEndOfTextByte) {
    TListFile list = Write(
        "[self]x\nnot\n"
        "[Self]\nupper\n[/Self]\n"
        "[ self ]\nspaced\n[/ self ]\n"
        "\t [self] \r\n"
        "a|b|c\t\r\n"
        "\x01 x | y |z\x1f\r\n"
        "mid\rcr|\xE9\xA0\n"
        "[/self]\r\n"
        "[settings]\nRev|1\n\x1A[/settings]\n[late]\nz\n[/late]\n");
    // Trailing bytes <= 0x20 go (CR and tab included); bytes inside a line,
    // blanks around "|" and bytes above 0x7F stay.
    // Only the tabbed and blanked [self] opens "self": names are exact.
    EXPECT_EQ(list.ReadSection("self"), (Lines{"a|b|c", "x | y |z", "mid\rcr|\xE9\xA0"}));
    EXPECT_EQ(list.ReadSection("Self"), Lines{"upper"});
    // 0x1A ends the text: the closing line and everything after are unread.
    EXPECT_EQ(list.ReadSection("late"), Lines{"FAIL"});
    EXPECT_EQ(list.ReadSection("settings"), Lines{"Rev|1"});
}

TEST_F(ListFileTest, EmptyDuplicateAndNestedLookingSections) {
    TListFile list = Write(
        "[blank]\n  \n\t\n\r\n[/blank]\n"
        "[adjacent]\n[/adjacent]\n"
        "[failing]\nFAIL\n[/failing]\n"
        "[self]\nfirst\n[/self]\n[self]\nsecond\n[/self]\n"
        "[files_critical]\na|1|2\n[files_normal]\nb|3|4\n[/files_critical]\n"
        "[files_normal]\nc|5|6\n[/files_normal]\n");
    for (const char* name : {"blank", "adjacent", "failing"}) EXPECT_EQ(list.ReadSection(name), Lines{"FAIL"}) << name;
    EXPECT_EQ(list.ReadSection("self"), Lines{"first"});
    EXPECT_EQ(list.ReadSection("files_critical"), (Lines{"a|1|2", "[files_normal]", "b|3|4"}));
    // Sections do not nest: the first opening line counts, wherever it is.
    EXPECT_EQ(list.ReadSection("files_normal"), (Lines{"b|3|4", "[/files_critical]", "[files_normal]", "c|5|6"}));
}

TEST_F(ListFileTest, ReadValueTakesLastFieldOfFirstMatchingLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Rev|12", "12"},
        {"Rev|12|x", "x"},
        {"|Rev||12|", "12"},
        {"Rev", "Rev"},
        {"Rev=7", ""},
        {"rev|3", ""},
        {"other|1\nRev|5\nRev|6", "5"},
    };
    for (const auto& [line, expected] : cases) {
        TListFile list = Write("[settings]\n" + line + "\n[/settings]\nRev|99\n");
        EXPECT_EQ(list.ReadValue("settings", "Rev"), expected) << line;
    }
    // The closing line is looked at too, and the search stops after it.
    EXPECT_EQ(Write("[s]\nx|1\n[/s]\n").ReadValue("s", "[/s]"), "[/s]");
}

TEST_F(ListFileTest, LineOfBarsRaisesListErrorOnlyWhenReached) {
    TListFile list = Write("[settings]\nRev|3\n|||\n[/settings]\n");
    EXPECT_EQ(list.ReadValue("settings", "Rev"), "3");
    EXPECT_THROW(list.ReadValue("settings", "Other"), EListError);
    EXPECT_EQ(list.ReadSection("settings"), (Lines{"Rev|3", "|||"}));
}

TEST_F(ListFileTest, MissingClosingLineStopsAtEndOfText) {
    TListFile list = Write("[settings]\nRev|8\n[files_critical]\na|1|2\n  \nb|3|4");
    EXPECT_EQ(list.ReadSection("files_critical"), (Lines{"a|1|2", "b|3|4"}));
    EXPECT_EQ(list.ReadValue("settings", "Rev"), "8");
    EXPECT_EQ(list.ReadValue("settings", "b"), "4");
    EXPECT_EQ(list.ReadValue("settings", "absent"), "");
    EXPECT_EQ(Write("[self]\n\n \n").ReadSection("self"), Lines{"FAIL"});
}

TEST_F(ListFileTest, MissingFileRaisesInOutErrorAtEachRead) {
    TListFile list((path_ / "absent.lst").string());  // construction opens nothing
    EXPECT_THROW(list.ReadSection("self"), EInOutError);
    EXPECT_THROW(list.ReadValue("settings", "Rev"), EInOutError);
}

TEST_F(ListFileTest, LargeListKeepsEveryLineInOrder) {
    std::string text = "[files_normal]\r\n";
    for (int i = 0; i < 100000; ++i) text += "dir\\f" + std::to_string(i) + "|d|" + std::to_string(i) + "\r\n";
    text += "[/files_normal]\r\n";
    const Lines lines = Write(text).ReadSection("files_normal");
    ASSERT_EQ(lines.size(), 100000u);
    EXPECT_EQ(lines.front(), "dir\\f0|d|0");
    EXPECT_EQ(lines.back(), "dir\\f99999|d|99999");
}

TEST(SplitFields, PiecesComeLastFirstWithoutEmptyOnes) {
    EXPECT_EQ(SplitFields("a|b|c", "|"), (Lines{"c", "b", "a"}));
    EXPECT_EQ(SplitFields("a||b|", "|"), (Lines{"b", "a"}));
    EXPECT_EQ(SplitFields("abc", "|"), Lines{"abc"});
    EXPECT_EQ(SplitFields("", "|"), Lines{});
    EXPECT_EQ(SplitFields("|||", "|"), Lines{});
    EXPECT_EQ(SplitFields("a;b|c ", ";|"), (Lines{"c ", "b", "a"}));
    EXPECT_EQ(SplitFields(" a | b ", "|"), (Lines{" b ", " a "}));
}

TEST(SplitFields, CallersTakeTheLastThreeFieldsSafely) {
    const Lines entry = SplitFields("x\\y.dll|0cc175b9c0f1b6a831c399e269772661|123", "|");
    EXPECT_EQ(FieldAt(entry, 0), "123");
    EXPECT_EQ(FieldAt(entry, 1), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(FieldAt(entry, 2), "x\\y.dll");
    const Lines four = SplitFields("a|b|c|d", "|");
    EXPECT_EQ(FieldAt(four, 2) + FieldAt(four, 1) + FieldAt(four, 0), "bcd");
    try {
        FieldAt(SplitFields("a|b", "|"), 2);
        FAIL() << "no error for a missing field";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (2)");
    }
}

}  // namespace
