// The list's grammar over text, and its writer: what the publisher writes is
// what a client reads, entry by entry.
#include "formats/ListGrammar.h"
#include "formats/ListWriter.h"
#include "formats/Publication.h"
#include "formats/ServerUrls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

TListContent SampleList() {
    TListContent list;
    list.rev = 42;
    list.self = TListItem{"CorvelUpdater.exe", "0cc175b9c0f1b6a831c399e269772661", 1180160};
    list.critical = {{"system\\engine.ini", "f96b697d7cb7938d525a2f31aaf161d0", 48211},
                     {"system\\engine.dll", "900150983cd24fb0d6963f7d28e17f72", 5230592}};
    list.normal = {{"maps\\z.map", "c3fcd3d76192e4007dfb496cca67e13b", 0},
                   {"maps\\\xE9t\xE9.map", "d41d8cd98f00b204e9800998ecf8427e", 2147483647},
                   {"maps\\Z.map", "c3fcd3d76192e4007dfb496cca67e13b", 1},
                   {"maps-x\\a", "c3fcd3d76192e4007dfb496cca67e13b", 7}};
    return list;
}

TEST(PublishList, BytesAreSectionedSortedAndEndedByCrLf) {
    const std::string expected =
        "[settings]\r\nRev|42\r\n[/settings]\r\n"
        "[self]\r\nCorvelUpdater.exe|0cc175b9c0f1b6a831c399e269772661|1180160\r\n[/self]\r\n"
        "[files_critical]\r\n"
        "system\\engine.dll|900150983cd24fb0d6963f7d28e17f72|5230592\r\n"
        "system\\engine.ini|f96b697d7cb7938d525a2f31aaf161d0|48211\r\n"
        "[/files_critical]\r\n"
        "[files_normal]\r\n"
        // "-" (0x2D) sorts before "\" (0x5C), "Z" before "z", and "é" (0xE9) last.
        "maps-x\\a|c3fcd3d76192e4007dfb496cca67e13b|7\r\n"
        "maps\\Z.map|c3fcd3d76192e4007dfb496cca67e13b|1\r\n"
        "maps\\z.map|c3fcd3d76192e4007dfb496cca67e13b|0\r\n"
        "maps\\\xE9t\xE9.map|d41d8cd98f00b204e9800998ecf8427e|2147483647\r\n"
        "[/files_normal]\r\n";
    EXPECT_EQ(WriteList(SampleList()), expected);
}

TEST(PublishList, WithoutAnUpdaterTheSelfSectionIsLeftOut) {
    TListContent list;
    const std::string text = WriteList(list);
    EXPECT_EQ(text,
              "[settings]\r\nRev|0\r\n[/settings]\r\n[files_critical]\r\n[/files_critical]\r\n"
              "[files_normal]\r\n[/files_normal]\r\n");
    list.rev = -5;
    EXPECT_NE(WriteList(list).find("Rev|-5\r\n"), std::string::npos);
    // Mirrors follow the revision, which readers still find as before.
    list.mirrors = {"http://a.example/Updater/", "https://b.example/U/"};
    const std::string mirrored = WriteList(list);
    EXPECT_NE(mirrored.find("Rev|-5\r\nMirror|http://a.example/Updater/\r\nMirror|https://b.example/U/\r\n[/settings]"),
              std::string::npos);
    EXPECT_EQ(FindListValue(mirrored, "settings", "Rev"), "-5");
}

// Threat: a list naming a scheme or bytes that would reach the request line.
// A mirror the publisher writes is one a run reads back whole; one a run
// would drop (a "|" splits its line) is never written.
TEST(PublishList, OnlyHttpAndHttpsUrlsNameServersAndEveryWrittenMirrorIsRead) {
    struct Case {
        std::string url;
        bool server;
        bool listed;
    };
    const std::vector<Case> cases = {
        {"http://h/Updater/", true, true},
        {"https://h:8443/x", true, true},
        {"ftp://h/", false, false},
        {"file:///etc/", false, false},
        {"http:///path", false, false},
        {"http://", false, false},
        {"http://h/a b", false, false},
        {"http://h/\r\nX-Evil: 1", false, false},
        {"http://h/\xE9", false, false},
        {"HTTP://h/", false, false},
        {"http://h/" + std::string(1100, 'a'), false, false},
        {"http://h/a|b", true, false},
        {"http://h/Mirror|", true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsServerUrl(c.url), c.server) << c.url;
        EXPECT_EQ(IsListedMirrorUrl(c.url), c.listed) << c.url;
        if (!c.server) continue;
        TListContent list;
        list.mirrors = {c.url};
        const std::vector<std::string> read = ListedMirrors(FindListSection(WriteList(list), "settings"));
        EXPECT_EQ(read == std::vector<std::string>{c.url}, c.listed) << c.url;
    }
}

// Threat: a name in a list (or on the publisher's command line) that leaves
// its folder or changes a URL; it announces nothing. What the writer
// writes, the publisher reads back whole (it re-signs lists it wrote).
TEST(PublishList, StandingListsAreAnnouncedOnlyBySafeNamesAndListsReadBack) {
    const struct {
        std::string name;
        bool safe;
    } cases[] = {
        {"day-2", true}, {"a", true},       {std::string(32, 'z'), true}, {"", false},    {std::string(33, 'z'), false},
        {"../x", false}, {"a/b", false},    {"a\\b", false},             {"Day2", false}, {"-x", false},
        {"..", false},   {"a.b", false},    {"a%2fb", false},             {"a b", false},  {"\xE9t\xE9", false},
    };
    TListContent list = SampleList();
    list.objects = "objects/";
    list.keys = {std::string(64, 'a')};
    list.patches = {TPatchLink{std::string(32, 'd'), std::string(32, 'e'), 5, 9, std::string(64, 'f')}};
    std::vector<std::string> safe;
    for (const auto& c : cases) {
        EXPECT_EQ(IsPublicationName(c.name), c.safe) << c.name;
        list.channels.push_back(c.name);
        if (c.safe) safe.push_back(c.name);
    }
    list.next = "../up";
    TStandingLists read = ListedStanding(FindListSection(WriteList(list), "settings"));
    EXPECT_EQ(read.next, "");
    EXPECT_EQ(read.channels, safe);

    list.next = "day-2";
    list.channels = safe;
    const std::string text = WriteList(list);
    const auto back = ReadListContent(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(WriteList(*back), text);
    EXPECT_EQ(ListedStanding(FindListSection(text, "settings")).next, "day-2");
    EXPECT_FALSE(ReadListContent("[settings]\r\nRev|x\r\n[/settings]\r\n"));
    std::string damaged = text;
    damaged.insert(damaged.find("[/files_normal]"), "a|b\r\n");
    EXPECT_FALSE(ReadListContent(damaged));
}

TEST(PublishList, TheOrderOfTheInputDoesNotChangeTheBytes) {
    const TListContent sample = SampleList();
    const std::string reference = WriteList(sample);
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        TListContent shuffled = sample;
        std::shuffle(shuffled.normal.begin(), shuffled.normal.end(), random);
        std::shuffle(shuffled.critical.begin(), shuffled.critical.end(), random);
        EXPECT_EQ(WriteList(shuffled), reference);
    }
}

// Reads one section back into items through the grammar, as a client does.
std::vector<TListItem> ReadBack(std::string_view text, std::string_view section) {
    std::vector<TListItem> items;
    FindListSection(text, section).ForEach([&](std::string_view line) {
        const auto entry = ParseEntry(line);
        ASSERT_TRUE(entry) << line;
        const auto size = ParseSize(entry->size);
        ASSERT_TRUE(size) << line;
        items.push_back({std::string(entry->path), std::string(entry->digest), *size, std::string(entry->sha256)});
    });
    return items;
}

bool operator==(const TListItem& a, const TListItem& b) {
    return a.path == b.path && a.digest == b.digest && a.size == b.size && a.sha256 == b.sha256;
}

TEST(ListRoundTrip, WhatIsWrittenIsReadBackEntryByEntry) {
    TListContent list;
    list.rev = 2026;
    const std::string sha(64, 'e');
    list.self = TListItem{"CorvelUpdater.exe", "0cc175b9c0f1b6a831c399e269772661", 1180160, sha};
    list.critical = {{"system\\engine.dll", "900150983cd24fb0d6963f7d28e17f72", 5230592, sha},
                     // Every upper byte of Windows-1252 that a name may hold,
                     // 0x80..0x9F included, passes through untouched.
                     {"data\\\x80\x8A\x9C\x9F\xA0\xE9\xFF.txt", "d41d8cd98f00b204e9800998ecf8427e", 0, sha}};
    list.normal = {{"packs\\big.pak", "c3fcd3d76192e4007dfb496cca67e13b", 3221225472LL, sha},   // 3 GiB
                   {"packs\\huge.pak", "c3fcd3d76192e4007dfb496cca67e13b", 6442450944LL, sha},  // 6 GiB
                   {"packs\\edge.pak", "c3fcd3d76192e4007dfb496cca67e13b", 4294967296LL, sha},  // 2^32
                   {"packs\\max.pak", "c3fcd3d76192e4007dfb496cca67e13b", INT64_MAX, sha}};
    const std::string text = WriteList(list);
    EXPECT_NE(text.find("|6442450944\r\n"), std::string::npos);  // plain decimal
    EXPECT_NE(text.find("|9223372036854775807\r\n"), std::string::npos);

    EXPECT_EQ(FindListValue(text, "settings", "Rev"), "2026");
    const auto self = ReadBack(text, "self");
    ASSERT_EQ(self.size(), 1u);
    EXPECT_TRUE(self[0] == *list.self);
    for (auto [name, items] : {std::pair{"files_critical", list.critical}, std::pair{"files_normal", list.normal}}) {
        std::sort(items.begin(), items.end(), [](const TListItem& a, const TListItem& b) { return a.path < b.path; });
        const auto read = ReadBack(text, name);
        ASSERT_EQ(read.size(), items.size()) << name;
        for (std::size_t i = 0; i < items.size(); ++i) EXPECT_TRUE(read[i] == items[i]) << items[i].path;
    }

    // Unsigned lines read back without a SHA-256.
    TListContent plain;
    plain.normal = {{"a b\\c.txt", "c3fcd3d76192e4007dfb496cca67e13b", 7}};
    const auto read = ReadBack(WriteList(plain), "files_normal");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(read[0] == plain.normal[0]);
}

TEST(ListGrammar, EntryFieldsCountFromTheEndAsSplitFieldsCutsThem) {
    const auto signed_ = ParseEntry("0123|dir\\a.dat|0cc175b9c0f1b6a831c399e269772661|12");
    ASSERT_TRUE(signed_);
    EXPECT_EQ(signed_->sha256, "0123");
    EXPECT_EQ(signed_->path, "dir\\a.dat");
    EXPECT_EQ(signed_->digest, "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(signed_->size, "12");
    EXPECT_FALSE(ParseEntry("a|b"));
    EXPECT_FALSE(ParseEntry("||a||b||"));
    EXPECT_FALSE(ParseEntry(""));
    // On every shape of line, the fields are SplitFields' first four.
    for (const char* line : {"a|b|c", "a||b|c|", "|x|y|z|w|v", "p q|d|1", "||a||b||c", "x|y|z|w"}) {
        const auto fields = SplitFields(line, "|");
        const auto entry = ParseEntry(line);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->size, fields[0]) << line;
        EXPECT_EQ(entry->digest, fields[1]) << line;
        EXPECT_EQ(entry->path, fields[2]) << line;
        EXPECT_EQ(entry->sha256, fields.size() > 3 ? fields[3] : std::string()) << line;
    }
}

TEST(ListGrammar, SizesAreDecimalUpToTheSigned64BitLimit) {
    EXPECT_EQ(ParseSize("0"), 0);
    EXPECT_EQ(ParseSize("+12"), 12);
    EXPECT_EQ(ParseSize("007"), 7);
    EXPECT_EQ(ParseSize("2147483647"), 2147483647);
    EXPECT_EQ(ParseSize("2147483648"), 2147483648LL);  // 2^31: past the old 32-bit field
    EXPECT_EQ(ParseSize("4294967296"), 4294967296LL);  // 2^32
    EXPECT_EQ(ParseSize("4294967297"), 4294967297LL);  // not cut to 32 bits
    EXPECT_EQ(ParseSize("3221225472"), 3221225472LL);  // 3 GiB
    EXPECT_EQ(ParseSize("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"9223372036854775808",   // 2^63
                            "18446744073709551615",  // 2^64 - 1
                            "18446744073709551616",  // 2^64
                            "99999999999999999999999", "", "+", "-1", "-0", "++1", "+-1", " 1", "1 ", "0x10", "1e9",
                            "12a", "1.5", "\xEF\xBC\x91"}) {
        EXPECT_FALSE(ParseSize(bad)) << bad;
    }
}

TEST(ListGrammar, SectionsAndValuesOverTextWithoutAFile) {
    const std::string text =
        "Rev|0\r\n[settings]\r\n  Rev|7  \r\n[/settings]\r\n[files_normal]\r\na|b|1\r\n\r\n"
        "[/files_normal]\r\n[files_normal]\r\nlater|x|2\r\n\x1a[self]\r\nhidden|x|3\r\n";
    const std::string_view listed = ListText(text);
    EXPECT_EQ(listed.size(), text.find('\x1a'));
    EXPECT_EQ(FindListValue(listed, "settings", "Rev"), "7");
    const TListLines normal = FindListSection(listed, "files_normal");  // the first one only
    ASSERT_EQ(normal.size(), 1u);
    EXPECT_EQ(normal.front(), "a|b|1");
    EXPECT_TRUE(FindListSection(listed, "self").empty());  // after 0x1A
    EXPECT_FALSE(FindListSection(text, "self").empty());
    EXPECT_TRUE(FindListSection(listed, "settings ").empty());
    EXPECT_EQ(TrimListLine("\t\x01 a b \r"), "a b");
}

}  // namespace
