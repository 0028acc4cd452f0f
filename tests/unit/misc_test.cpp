// ReplaceAll, RunProgram and the self-replacement script.
#include "engine/steps/SelfUpdate.h"
#include "formats/Misc.h"

#include "platform/errors.h"
#include "platform/os.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Waits for a started program's marker file to hold a whole line.
std::string WaitForMarker(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = scratch::ReadAll(path);
        if (!text.empty() && text.back() == '\n') return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return scratch::ReadAll(path);
}

}  // namespace

TEST(ReplaceAll, ReplacesLeftToRightWithoutOverlapsOrRescans) {
    EXPECT_EQ(ReplaceAll("system\\data\\a.dat", "\\", "/"), "system/data/a.dat");
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("abc", "b", "bb"), "abbc");
    EXPECT_EQ(ReplaceAll("a.b.c.", ".", ""), "abc");
    EXPECT_EQ(ReplaceAll("xyx", "x", "<x>"), "<x>y<x>");
}

TEST(ReplaceAll, EmptyTextsAndCase) {
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("", "a", "x"), "");
    EXPECT_EQ(ReplaceAll("ABC", "b", "x"), "ABC");
    EXPECT_EQ(ReplaceAll(std::string("a\0b", 3), std::string("\0", 1), "-"), "a-b");
}

TEST(RunProgram, MakesTheProgramsDirectoryCurrent) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    fs::create_directories(dir.Native() / "system");
    fs::current_path(dir.Native());
    // gc.exe does not exist: not starting is not reported.
    EXPECT_NO_THROW(RunProgram("system\\gc.exe"));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Native() / "system"));
}

TEST(RunProgram, MissingDirectoryRaisesAndStartsNothing) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    fs::current_path(dir.Native());
    try {
        RunProgram(dir / "missing\\gc.exe");
        FAIL() << "no error for a missing directory";
    } catch (const EInOutError& e) {
        EXPECT_NE(e.ErrorCode, 0);
    }
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Native()));
}

// Deeply nested install directories give command lines far past 100
// characters; the program must still be started whole, from its directory.
TEST(RunProgram, StartsALongCommandLineWhole) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    const std::string nested(110, 'n');
    fs::create_directories(dir.Native() / nested);
#ifdef _WIN32
    const std::string program = "run.bat";
    scratch::WriteAll(dir.Native() / nested / program, "@echo started> marker.txt\r\n");
#else
    const std::string program = "run.sh";
    scratch::WriteAll(dir.Native() / nested / program, "#!/bin/sh\necho \"$0\" > marker.txt\n");
    fs::permissions(dir.Native() / nested / program, fs::perms::owner_all);
#endif
    const std::string commandLine = dir / (nested + "\\" + program);
    ASSERT_GT(commandLine.size(), 120u);

    RunProgram(commandLine);
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Native() / nested));
    const std::string marker = WaitForMarker(dir.Native() / nested / "marker.txt");
#ifdef _WIN32
    EXPECT_EQ(marker.substr(0, 7), "started");
#else
    EXPECT_EQ(marker, (dir.Native() / nested / program).string() + "\n");
#endif
}

class WriteUpdateScriptTest : public ::testing::Test {
protected:
    void SetUp() override { fs::current_path(dir_.Native()); }
    std::string Script() const { return scratch::ReadAll(dir_.Native() / "Update.bat"); }
    // This process alone: other installs' updaters of the same name go on.
    static std::string Kill() { return "taskkill /PID " + std::to_string(os::CurrentProcessId()) + " /F\r\n"; }

    scratch::Dir dir_;
    scratch::CwdGuard restore_;
};

TEST_F(WriteUpdateScriptTest, WithoutNewExecutableOnlyRestarts) {
    WriteUpdateScript("CorvelUpdater.exe");
    EXPECT_EQ(Script(),
              "@echo off\r\n" +
                  Kill() +
                  "ping 127.0.0.1 -n 3 > nul\r\n"
              "start CorvelUpdater.exe\r\n"
              "del \"Update.bat\"\r\n");
}

TEST_F(WriteUpdateScriptTest, WithNewExecutableSwapsItInAndOverwritesAnOldScript) {
    scratch::WriteAll(dir_.Native() / "Update.bat", std::string(4000, 'z'));
    scratch::WriteAll(dir_.Native() / "Up.exe.New", "new");
    WriteUpdateScript("Up.exe");
    EXPECT_EQ(Script(),
              "@echo off\r\n" +
                  Kill() +
                  "ping 127.0.0.1 -n 3 > nul\r\n"
              "del \"files.lst\"\r\n"
              "del \"Up.exe\"\r\n"
              "rename Up.exe.New Up.exe\r\n"
              "start Up.exe\r\n"
              "del \"Update.bat\"\r\n");
}

TEST_F(WriteUpdateScriptTest, UnwritableScriptRaises) {
    fs::create_directory(dir_.Native() / "Update.bat");
    EXPECT_THROW(WriteUpdateScript("Up.exe"), EInOutError);
}
