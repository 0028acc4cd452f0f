// The names a list may carry (formats/Names), attacked the ways a hostile
// list or a careless publication would, and held to one promise: every name
// the publisher accepts is one the update run accepts.
#include "formats/Names.h"
#include "platform/codepage.h"
#include "platform/devicenames.h"
#include "tools/publish/Names.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

namespace {

TEST(Names, PlainRelativePathsAreAccepted) {
    for (const char* p :
         {"a.txt", "system\\engine.dll", "maps/deep/x.map", "sp ace\\caf\xE9.txt", "cone\\x", "COM10", "LPT", "COM\xB4",
          "..a", "a..b\\c", "x.y.z", "console.txt", "nul-x\\conin", "CONIN$x", "\xC9t\xE9\\\x80.dat"}) {
        EXPECT_TRUE(IsSafeRelativePath(p)) << p;
    }
}

TEST(Names, PathsThatLeaveOrAliasTheInstallDirectoryAreRefused) {
    const std::vector<std::string> refused = {"",
                                              "..",
                                              "..\\x",
                                              "a\\..\\..\\x",
                                              "a\\..",
                                              ".\\x",
                                              "\\x",
                                              "/x",
                                              "C:\\x",
                                              "C:x",
                                              "a:stream",
                                              "a\\\\b",
                                              "a\\",
                                              "a//b",
                                              "\\\\server\\share\\x",
                                              "name.",
                                              "name ",
                                              "dir.\\x",
                                              "dir \\x",
                                              "a/../b",
                                              "a*b",
                                              "a?b",
                                              "a<b",
                                              "a>b",
                                              "a\"b",
                                              "a|b",
                                              "a\x01"
                                              "b",
                                              "a\x7F",
                                              "a\x81",
                                              std::string("a\0b", 3)};
    for (const std::string& p : refused) {
        EXPECT_FALSE(IsSafeRelativePath(p)) << p;
    }
}

// Each of these opens a device on Windows instead of a file in the install
// directory: a list entry with it would read or write the device.
TEST(Names, DeviceNamesAreRefusedInEverySpellingWindowsResolves) {
    const std::vector<std::string> devices = {"CON",     "PRN",     "AUX",     "NUL",     "CONIN$", "CONOUT$",
                                              "COM0",    "COM1",    "COM9",    "LPT1",    "LPT9",   "COM\xB9",
                                              "COM\xB2", "COM\xB3", "LPT\xB9", "LPT\xB2", "LPT\xB3"};
    for (const std::string& device : devices) {
        std::string lower = device;
        std::string mixed = device;
        for (std::size_t i = 0; i < device.size(); ++i) {
            lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(device[i])));
            if (i % 2 == 1) mixed[i] = lower[i];
        }
        for (const std::string& spelling : {device, lower, device + ".txt", lower + " .txt", device + "  .dat",
                                            device + ".tar.gz", device + " ", device + ".", mixed + ".Log"}) {
            for (const std::string& path :
                 {spelling, "data\\" + spelling, spelling + "\\x.dat", "a/" + spelling + "/b"}) {
                EXPECT_FALSE(IsSafeRelativePath(path)) << path;
            }
        }
    }
    EXPECT_TRUE(os::IsDeviceName("NUL .txt"));
    EXPECT_TRUE(os::IsDeviceName("com1 .dat"));
    EXPECT_TRUE(os::IsDeviceName("Lpt\xB3"));
    EXPECT_TRUE(os::IsDeviceName("conout$.log"));
    EXPECT_EQ(CheckComponent("com1 .dat"), TNameProblem::DeviceName);
    EXPECT_EQ(CheckComponent("COM\xB9"), TNameProblem::DeviceName);
    // Not devices: more characters in the stem.
    for (const char* name : {"CONS", "NULL.txt", "COM10", "COM1x", "LPT\xB9\xB9", "CONIN", "xCON", "AUX_"}) {
        EXPECT_FALSE(os::IsDeviceName(name)) << name;
    }
}

TEST(Names, SelfNameIsABarePlainName) {
    EXPECT_TRUE(IsSafeSelfName("CorvelUpdater.exe"));
    EXPECT_TRUE(IsSafeSelfName("up-date_2.exe"));
    for (const char* p : {"", "sub\\Up.exe", "Up date.exe", "a&b.exe", "caf\xE9.exe", "..", "CON", "x%y.exe", "nul.exe",
                          "COM\xB9.exe", "up.exe.", "a;b.exe", "a^b.exe"}) {
        EXPECT_FALSE(IsSafeSelfName(p)) << p;
    }
}

TEST(Names, PathKeysIgnoreCaseAndSeparatorAsWindowsDoes) {
    EXPECT_EQ(PathKey("Pod\\a.dat"), PathKey("pod/A.DAT"));
    EXPECT_EQ(PathKey("\xC9t\xE9\\x"), PathKey("\xE9T\xC9/X"));  // Été / éTÉ
    EXPECT_EQ(PathKey("\x9A\xFF"), PathKey("\x8A\x9F"));         // šÿ / ŠŸ
    EXPECT_NE(PathKey("a\\b"), PathKey("a\\b.bz2"));
    EXPECT_NE(PathKey("\xF7"), PathKey("\xD7"));  // ÷ and × are no case pair
}

// Every component the publisher accepts from a client tree, generated over
// every Windows-1252 character in every position and over device-like
// spellings, is accepted by the update run alone and inside a path.
TEST(Names, EveryNameThePublisherAcceptsTheRunAccepts) {
    std::vector<std::string> candidates;
    for (int b = 0x01; b <= 0xFF; ++b) {
        const std::string c(1, static_cast<char>(b));
        for (const std::string& name : {c, c + "x", "x" + c, "x" + c + "y", "a.b" + c, c + c + ".dat"}) {
            candidates.push_back(name);
        }
    }
    for (const char* stem : {"CON", "PRN", "AUX", "NUL", "COM", "LPT", "CONIN$", "CONOUT$", "CLOCK$"}) {
        for (const char* tail : {"", "1", "\xB9", "\xB2", "\xB3", "\xB4", "0", "10", " ", "  ", "x"}) {
            for (const char* ext : {"", ".txt", " .txt", ". .txt", "..txt", ".", " "}) {
                candidates.push_back(std::string(stem) + tail + ext);
            }
        }
    }
    std::size_t accepted = 0;
    for (const std::string& cp1252 : candidates) {
        const std::string utf8 = codepage::Cp1252ToUtf8(cp1252);
        std::string encoded;
        const std::filesystem::path native(std::u8string(utf8.begin(), utf8.end()));
        if (publish::EncodeComponent(native, encoded) != publish::NameProblem::None) continue;
        ++accepted;
        EXPECT_EQ(encoded, cp1252);
        EXPECT_TRUE(IsSafeRelativePath(encoded)) << utf8;
        EXPECT_TRUE(IsSafeRelativePath("dir\\" + encoded + "\\x.dat")) << utf8;
        EXPECT_TRUE(publish::FindServerClashes({encoded, "dir\\" + encoded}).empty()) << utf8;
    }
    // The generator must reach both sides of the rules.
    EXPECT_GT(accepted, candidates.size() / 2);
    EXPECT_LT(accepted, candidates.size());
}

}  // namespace
