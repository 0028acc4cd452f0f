// Where the run fetches what the publisher wrote: the copy of a file, and
// the list's own copy, by one rule.
#include "formats/Publication.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace {

TEST(Publication, CopiesAreFetchedAtTheirListPathWithSlashes) {
    const std::string base = "http://updates.example/Updater/";
    EXPECT_EQ(CopyUrl(base, "data\\maps\\town.map"), "http://updates.example/Updater/data/maps/town.map.bz2");
    EXPECT_EQ(CopyUrl(base, "data/maps\\town.map"), "http://updates.example/Updater/data/maps/town.map.bz2");
    EXPECT_EQ(CopyUrl(base, "CorvelUpdater.exe"), "http://updates.example/Updater/CorvelUpdater.exe.bz2");
    // Windows-1252 bytes go into the URL as they are, as the server's names hold them.
    EXPECT_EQ(CopyUrl(base, "m\xFAsica\\\xE9t\xE9.ogg"), "http://updates.example/Updater/m\xFAsica/\xE9t\xE9.ogg.bz2");
    // A base URL without its final "/" still names the same directory.
    EXPECT_EQ(CopyUrl("http://updates.example/Updater", "a.pak"), "http://updates.example/Updater/a.pak.bz2");
    EXPECT_EQ(CopyUrl(base, kListName), base + kListArchiveName);
    EXPECT_EQ(CopyUrl(base, kListName) + kSignatureSuffix, base + kSignatureName);
}

TEST(Publication, CopyNamesKeepTheListsSeparators) {
    EXPECT_EQ(CopyName("data\\maps\\town.map"), "data\\maps\\town.map.bz2");
    EXPECT_EQ(CopyName("CorvelUpdater.exe"), "CorvelUpdater.exe.bz2");
    EXPECT_EQ(CopyName(kListName), kListArchiveName);
}

// The list of the install's own files, which the scripts and the end-to-end
// tests leave out when they compare an install with its client, holds the
// names the code gives them.
TEST(Publication, TheInstallsOwnFilesAreInTheSharedList) {
    std::ifstream in(std::string(CORVEL_TEST_SOURCE_DIR) + "/formats/install-state-files.txt");
    ASSERT_TRUE(in);
    std::set<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() != '#') names.insert(line);
    }
    for (const char* name : {kSerialStateName, kKeyringStateName, kInstalledRecordName, kNextContentDir, kChannelStateDir})
        EXPECT_EQ(names.count(name), 1u) << name;
}

}  // namespace
