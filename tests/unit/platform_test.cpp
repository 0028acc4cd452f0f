// The platform seam's files and directories, on the backend being built.
#include "platform/os.h"
#include "platform/HttpPace.h"

#include "tests/unit/memory_pages.h"
#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "platform/win32/exactnames.h"

#include <windows.h>
#undef DeleteFile  // the seam's names, not the A/W macros
#undef ReplaceFile
#endif

namespace fs = std::filesystem;

TEST(PlatformFile, CreateWritesReadsSeeksAndTruncates) {
    scratch::Dir dir;
    const std::string path = dir / "data.bin";
    {
        os::File file = os::File::Create(path, os::Share::Read);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(file.Write("hello world", 11), 11u);
        EXPECT_EQ(file.Size(), 11);
        EXPECT_EQ(file.Seek(-5, os::SeekOrigin::End), 6);
        char word[8] = {};
        EXPECT_EQ(file.Read(word, sizeof word), 5u);
        EXPECT_EQ(std::string(word, 5), "world");
        EXPECT_EQ(file.Read(word, sizeof word), 0u);
        EXPECT_EQ(file.Seek(0, os::SeekOrigin::Begin), 0);
        EXPECT_EQ(file.Seek(2, os::SeekOrigin::Current), 2);
        file.Close();
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data.bin"), "hello world");

    os::File again = os::File::Create(path, os::Share::None);
    EXPECT_EQ(again.Size(), 0);
    again.Close();
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data.bin"), "");

    os::File moved = os::File::OpenRead(path, os::Share::ReadWrite);
    os::File target = std::move(moved);
    EXPECT_FALSE(moved.IsOpen());
    EXPECT_TRUE(target.IsOpen());
}

TEST(PlatformFile, OpeningWhatIsNotAFileRaisesWithTheSystemCode) {
    scratch::Dir dir;
    try {
        os::File::OpenRead(dir / "missing.txt", os::Share::ReadWrite);
        FAIL() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_NE(e.ErrorCode, 0);
        EXPECT_NE(std::string(e.what()).find("missing.txt"), std::string::npos);
        EXPECT_EQ(FailureOf(e).fault, TFault::NotFound);
    }
    EXPECT_THROW(os::File::OpenRead(dir.Native().string(), os::Share::ReadWrite), EInOutError);
    EXPECT_THROW(os::File::Create(dir / "no-dir\\x.txt", os::Share::None), EInOutError);
    os::File::Create(dir / "taken.txt", os::Share::None).Close();
    try {
        os::File::CreateNew(dir / "taken.txt", os::Share::None);
        FAIL() << "created over a file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(FailureOf(e).fault, TFault::NameTaken);
    }
}

// The words corvel-update prints for each reason a file failed, and the
// log's, which keep the words that came with a named fault.
TEST(PlatformFailure, EachFaultIsDescribedInWordsAnOperatorCanActOn) {
    const struct {
        TFailure failure;
        const char* words;
        const char* logged;
    } cases[] = {
        {{TFault::DiskFull, 28, "write"}, "not enough disk space", "not enough disk space (write)"},
        {{TFault::AccessDenied, 5, "x"}, "access denied", "access denied (x)"},
        {{TFault::ServerError, 503, "x"}, "server error 503", "server error 503 (x)"},
        {{TFault::DigestMismatch, 0, "x"}, "digest mismatch", "digest mismatch (x)"},
        {{TFault::CannotConnect, 0, "x"}, "cannot connect", "cannot connect (x)"},
        {{TFault::InUse, 32, "x"}, "in use", "in use (x)"},
        {{TFault::InUse, 32, "x", "", "gc.exe", 4242}, "in use by gc.exe (pid 4242)", "in use by gc.exe (pid 4242) (x)"},
        {{TFault::DiskFull, 28, "x", "", "", 0, (std::uint64_t{120} << 20) - 5}, "not enough disk space: 120 MB more needed",
         "not enough disk space: 120 MB more needed (x)"},
        {{TFault::BadList, 0, "x"}, "bad list entry: x", "bad list entry: x"},
        {{TFault::Stopped, 0, "x"}, "stopped", "stopped"},
        {{TFault::Other, 0, "the system's own words"}, "the system's own words", "the system's own words"},
        {{TFault::None, 0, ""}, "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DescribeFailure(c.failure), c.words) << c.words;
        EXPECT_EQ(ExplainFailure(c.failure), c.logged) << c.words;
    }
    // Exceptions that are not ours keep their words.
    EXPECT_EQ(FailureOf(std::runtime_error("odd")).fault, TFault::Other);
    EXPECT_EQ(FailureOf(std::runtime_error("odd")).text, "odd");
}

#ifdef _WIN32
TEST(PlatformFile, FileOpenWithoutSharingCannotBeOpenedAgain) {
    scratch::Dir dir;
    const std::string path = dir / "locked.bin";
    os::File holder = os::File::Create(path, os::Share::None);
    EXPECT_THROW(os::File::Create(path, os::Share::ReadWrite), EInOutError);
    try {
        os::File::OpenRead(path, os::Share::ReadWrite);
        FAIL() << "opened a file held without sharing";
    } catch (const EInOutError& e) {
        EXPECT_EQ(FailureOf(e).fault, TFault::InUse);
    }
    holder.Close();
    EXPECT_NO_THROW(os::File::Create(path, os::Share::ReadWrite));
}
#endif

TEST(PlatformFiles, ReplaceFileSwapsInOneRename) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "target.exe", "old");
    scratch::WriteAll(dir.Native() / "target.exe.New", "new");
    os::ReplaceFile(dir / "target.exe.New", dir / "target.exe");
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "target.exe"), "new");
    EXPECT_FALSE(fs::exists(dir.Native() / "target.exe.New"));

    EXPECT_THROW(os::ReplaceFile(dir / "gone.New", dir / "target.exe"), EInOutError);
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "target.exe"), "new");
}

// Putting a file under a name found missing: whatever stands there since is
// never replaced, and nothing is moved then.
TEST(PlatformFiles, RenameToNewNameNeverReplaces) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "a.part", "new");
    EXPECT_TRUE(os::RenameToNewName(dir / "a.part", dir / "a.dat"));
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "a.dat"), "new");
    EXPECT_FALSE(fs::exists(dir.Native() / "a.part"));

    scratch::WriteAll(dir.Native() / "b.part", "newer");
    EXPECT_FALSE(os::RenameToNewName(dir / "b.part", dir / "a.dat"));
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "a.dat"), "new");
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "b.part"), "newer");
    EXPECT_THROW(os::RenameToNewName(dir / "gone.part", dir / "c.dat"), EInOutError);
}

#ifdef _WIN32
// Names as Windows reads them, whichever way a new name is made: a directory
// named in another case is the same directory, and a trailing dot is dropped.
TEST(PlatformFiles, NewNamesAreReadAsWindowsReadsThem) {
    scratch::Dir dir;
    fs::create_directories(dir.Native() / "data");
    os::File::CreateNew(dir / "DATA\\one.part", os::Share::None).Write("1", 1);
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "one.part"), "1");
    EXPECT_TRUE(os::RenameToNewName(dir / "data\\one.part", dir / "Data\\one.dat"));
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "one.dat"), "1");

    os::File::CreateNew(dir / "data\\two.", os::Share::None).Write("2", 1);
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "two"), "2");
    EXPECT_FALSE(os::RenameToNewName(dir / "data\\one.dat", dir / "data\\two. "));
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "two"), "2");

    // Under Wine a new name is taken as given: a name differing only in case
    // from one on disk is another file there, as the host sees it.
    if (::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")) {
        os::File::CreateNew(dir / "data\\Two", os::Share::None).Write("3", 1);
        EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "two"), "2");
        EXPECT_EQ(scratch::ReadAll(dir.Native() / "data" / "Two"), "3");
    }
}

// The exact form of a new name skips Windows' reading of it, so a name that
// Windows opens as a device, in any spelling the list's rule knows, must not
// get one; other names under Wine do.
TEST(PlatformFiles, DeviceNamesGetNoExactForm) {
    if (!::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")) GTEST_SKIP();
    scratch::Dir dir;
    for (const char* device : {"NUL", "nul.txt", "Com1 .dat", "COM\xB9.txt", "lpt\xB3", "conout$.log"})
        EXPECT_TRUE(os::win32::ExactNewName(dir / device).empty()) << device;
    for (const char* plain : {"NULL.txt", "COM10", "CONS.dat", "\xE9t\xE9.dat"})
        EXPECT_FALSE(os::win32::ExactNewName(dir / plain).empty()) << plain;
}
#endif

TEST(PlatformFiles, DirectoriesAndExistenceTests) {
    scratch::Dir dir;
    const std::string nested = dir / "a\\b\\c";
    os::ForceDirectories(nested);
    EXPECT_TRUE(fs::is_directory(dir.Native() / "a" / "b" / "c"));
    EXPECT_TRUE(os::DirectoryExists(nested));
    EXPECT_FALSE(os::FileExists(nested));
    EXPECT_NO_THROW(os::ForceDirectories(nested + "\\"));

    scratch::WriteAll(dir.Native() / "a" / "file.txt", "x");
    EXPECT_TRUE(os::FileExists(dir / "a\\file.txt"));
    EXPECT_FALSE(os::DirectoryExists(dir / "a\\file.txt"));
    // A file where a directory should go.
    EXPECT_THROW(os::ForceDirectories(dir / "a\\file.txt\\sub"), EInOutError);

    EXPECT_FALSE(os::DeleteFile(nested));
    EXPECT_TRUE(os::DeleteFile(dir / "a\\file.txt"));
    EXPECT_FALSE(os::FileExists(dir / "a\\file.txt"));
    EXPECT_FALSE(os::DeleteFile(dir / "a\\file.txt"));
}

TEST(PlatformFiles, CurrentDirectory) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    os::ForceDirectories(dir / "sub");
    os::SetCurrentDir(dir / "sub");
    const std::string current = os::GetCurrentDir();
    ASSERT_FALSE(current.empty());
    EXPECT_NE(current.back(), '\\');
    EXPECT_NE(current.back(), '/');
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Native() / "sub"));

    const fs::path before = fs::current_path();
    EXPECT_THROW(os::SetCurrentDir(dir / "missing"), EInOutError);
    EXPECT_EQ(fs::current_path(), before);
}

TEST(PlatformMapping, MapsWholeFilesOnly) {
    scratch::Dir dir;
    EXPECT_EQ(os::MapFileReadOnly(dir / "missing.bin"), nullptr);
    scratch::WriteAll(dir.Native() / "empty.bin", "");
    EXPECT_EQ(os::MapFileReadOnly(dir / "empty.bin"), nullptr);
    EXPECT_EQ(os::MapFileReadOnly(dir.Native().string()), nullptr);

    std::string content(70000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    scratch::WriteAll(dir.Native() / "data.bin", content);
    auto mapping = os::MapFileReadOnly(dir / "data.bin");
    ASSERT_NE(mapping, nullptr);
    const auto data = mapping->Data();
    ASSERT_EQ(data.size(), content.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.size()), content);

    // A mapped file can still be read by others.
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data.bin"), content);
}

// Files under 1 MiB are read into memory, larger ones mapped: either way the
// view holds every byte, on both sides of the threshold.
TEST(PlatformMapping, SmallFilesReadAndLargeFilesMappedGiveTheSameBytes) {
    scratch::Dir dir;
    for (const std::size_t size :
         {std::size_t{1}, (std::size_t{1} << 20) - 1, std::size_t{1} << 20, (std::size_t{1} << 20) + 4097}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131) ^ (i >> 9));
        scratch::WriteAll(dir.Native() / "sized.bin", content);
        auto mapping = os::MapFileReadOnly(dir / "sized.bin");
        ASSERT_NE(mapping, nullptr) << size;
        const auto data = mapping->Data();
        ASSERT_EQ(data.size(), size);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.size()), content) << size;
        mapping.reset();
        // Nothing is left open: the file can be replaced at once.
        os::File::Create(dir / "sized.bin", os::Share::None).Close();
    }
}

#ifndef _WIN32
// Truncating a file under its view makes its pages unreadable (SIGBUS).
TEST(PlatformMapping, GuardedReadSurvivesAFileShrinkingUnderItsView) {
    scratch::Dir dir;
    // Large enough to be mapped rather than read.
    scratch::WriteAll(dir.Native() / "shrinks.bin", std::string(3 << 20, 'x'));
    auto mapping = os::MapFileReadOnly(dir / "shrinks.bin");
    ASSERT_NE(mapping, nullptr);
    const auto data = mapping->Data();

    unsigned sum = 0;
    EXPECT_TRUE(os::GuardedMappedRead(data, [&] { sum += data[data.size() - 1]; }));
    EXPECT_EQ(sum, unsigned{'x'});

    os::File::Create(dir / "shrinks.bin", os::Share::ReadWrite).Close();
    std::atomic<bool> reachedEnd{false};
    EXPECT_FALSE(os::GuardedMappedRead(data, [&] {
        sum += data[data.size() - 1];
        reachedEnd = true;
    }));
    EXPECT_FALSE(reachedEnd);
    EXPECT_EQ(os::LastErrorCode(), EIO);

    // The guard is ready again, and other threads have their own.
    std::thread other([&] { EXPECT_FALSE(os::GuardedMappedRead(data, [&] { sum += data[70000]; })); });
    other.join();
    EXPECT_FALSE(os::GuardedMappedRead(data, [&] { sum += data[0]; }));
}
#endif

// A page of the view that can no longer be read is a read failure; a fault
// anywhere else inside the guarded code is a bug and still ends the process.
TEST(PlatformMapping, GuardedReadTurnsOnlyFaultsInsideItsViewIntoErrors) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "view.bin", std::string(3 << 20, 'v'));
    auto mapping = os::MapFileReadOnly(dir / "view.bin");
    ASSERT_NE(mapping, nullptr);
    const auto data = mapping->Data();

    ASSERT_TRUE(pages::MakeUnreadable(data.data() + (1 << 20)));
    unsigned sum = 0;
    std::atomic<bool> passedTheHole{false};
    EXPECT_TRUE(os::GuardedMappedRead(data, [&] { sum += data[0]; }));
    EXPECT_FALSE(os::GuardedMappedRead(data, [&] {
        sum += data[(1 << 20) + 10];
        passedTheHole = true;
    }));
    EXPECT_FALSE(passedTheHole);
    EXPECT_NE(os::LastErrorCode(), 0);
    EXPECT_EQ(sum, unsigned{'v'});
}

// Its own test, with no scratch directory: the death test runs the test
// again in a child that dies, and would leave that child's directory behind.
TEST(PlatformMapping, GuardedReadStillEndsTheProcessOnFaultsOutsideItsView) {
    const std::vector<std::uint8_t> buffer(1 << 16, 'v');
    const std::span<const std::uint8_t> data(buffer);
    const volatile std::uint8_t* elsewhere = pages::UnreadableAnonymousPage();
    ASSERT_NE(elsewhere, nullptr);
    unsigned sum = 0;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            pages::QuietCrashes();
            os::GuardedMappedRead(data, [&] { sum += elsewhere[0]; });
        },
        "");
}

#ifndef _WIN32

// Engine paths are Windows-1252 with backslashes; the file system gets
// UTF-8 with slashes, and the current directory comes back in the code page.
TEST(PlatformPaths, CodePageAndSeparatorsAreTranslated) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    os::ForceDirectories(dir / "caf\xE9\\\x80");
    const fs::path utf8 = dir.Native() / "caf\xC3\xA9" / "\xE2\x82\xAC";
    EXPECT_TRUE(fs::is_directory(utf8));

    os::SetCurrentDir(dir / "caf\xE9\\\x80");
    EXPECT_EQ(os::GetCurrentDir(), fs::canonical(dir.Native()).string() + "/caf\xE9/\x80");

    // Greek capital omega has no Windows-1252 byte: the relative "." works.
    fs::create_directory(dir.Native() / "\xCE\xA9");
    fs::current_path(dir.Native() / "\xCE\xA9");
    EXPECT_EQ(os::GetCurrentDir(), ".");
    scratch::WriteAll(fs::current_path() / "f.txt", "x");
    EXPECT_TRUE(os::FileExists(os::GetCurrentDir() + "\\f.txt"));
}
#endif

// An install folder may have any name Windows allows: these have no
// Windows-1252 spelling. The engine appends list names to the current
// directory as the seam spells it, and every call must land in the folder.
class PlatformAnyFolder : public ::testing::TestWithParam<const char8_t*> {};

TEST_P(PlatformAnyFolder, EveryFileCallReachesTheFolderThroughTheCurrentDirectory) {
    scratch::Dir dir;
    scratch::CwdGuard restore;
    const fs::path relative{GetParam()};
    const fs::path folder = dir.Native() / relative;
    fs::create_directories(folder);
    fs::current_path(folder);
    const std::string base = os::GetCurrentDir() + "\\";

    os::ForceDirectories(base + "data\\maps");
    EXPECT_TRUE(fs::is_directory(folder / "data" / "maps"));
    EXPECT_TRUE(os::DirectoryExists(base + "data\\maps"));
    EXPECT_TRUE(os::DirectoryExists(os::GetCurrentDir()));

    // "café.txt": a list name with a byte of the code page's upper half.
    const std::string cafe = base + "data\\caf\xE9.txt";
    const fs::path nativeCafe = folder / "data" / u8"café.txt";
    os::File created = os::File::Create(cafe, os::Share::None);
    ASSERT_EQ(created.Write("old", 3), 3u);
    created.Close();
    EXPECT_EQ(scratch::ReadAll(nativeCafe), "old");
    EXPECT_TRUE(os::FileExists(cafe));
    EXPECT_TRUE(os::NameTaken(cafe));
    EXPECT_THROW(os::File::CreateNew(cafe, os::Share::None), EInOutError);

    os::File fresh = os::File::CreateNew(cafe + ".~new", os::Share::None);
    ASSERT_EQ(fresh.Write("new!", 4), 4u);
    fresh.Close();
    os::ReplaceFile(cafe + ".~new", cafe);
    EXPECT_EQ(scratch::ReadAll(nativeCafe), "new!");
    EXPECT_FALSE(os::NameTaken(cafe + ".~new"));

    const std::string map = base + "data\\maps\\m.dat";
    EXPECT_TRUE(os::RenameToNewName(cafe, map));
    EXPECT_EQ(scratch::ReadAll(folder / "data" / "maps" / "m.dat"), "new!");
    EXPECT_EQ(os::ListFileNames(base + "data\\maps"), std::vector<std::string>{"m.dat"});
    const auto mapping = os::MapFileReadOnly(map);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(std::string(mapping->Data().begin(), mapping->Data().end()), "new!");
    {
        os::File own = os::File::OpenOwn(map, os::Share::Read);
        EXPECT_EQ(own.Size(), 4);
        char buffer[8] = {};
        EXPECT_EQ(os::File::OpenRead(map, os::Share::ReadWrite).Read(buffer, sizeof buffer), 4u);
        EXPECT_EQ(std::string(buffer), "new!");
    }
    EXPECT_TRUE(os::DeleteFile(map));
    EXPECT_FALSE(fs::exists(folder / "data" / "maps" / "m.dat"));

    // A failure names the folder in words, not in the seam's own form.
    try {
        os::File::OpenRead(base + "missing.txt", os::Share::Read);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EInOutError& e) {
        EXPECT_EQ(FailureOf(e).fault, TFault::NotFound);
        EXPECT_EQ(std::string(e.what()).find('\x01'), std::string::npos) << e.what();
    }

    os::SetCurrentDir(base + "data");
    EXPECT_TRUE(fs::equivalent(fs::current_path(), folder / "data"));
    EXPECT_TRUE(os::DirectoryExists(os::GetCurrentDir() + "\\maps"));

    // Nothing landed beside the folder.
    std::vector<fs::path> top;
    for (const auto& entry : fs::directory_iterator(dir.Native())) top.push_back(entry.path().filename());
    EXPECT_EQ(top, std::vector<fs::path>{*relative.begin()});
}

INSTANTIATE_TEST_SUITE_P(Names, PlatformAnyFolder,
                         ::testing::Values(u8"Łódź Drakmoor", u8"Драккмор", u8"ドラクモア/Drakmoor"));

// Past MAX_PATH (260) Windows reads a plain path no further: a deep file of
// the list under a deep install folder is still made, read and replaced.
TEST(PlatformFiles, PathsLongerThanMaxPathWork) {
    scratch::Dir dir;
    std::string relative;
    fs::path nativeRelative;
    for (char c : std::string("abcde")) {
        const std::string part(60, c);
        relative += part + "\\";
        nativeRelative /= part;
    }
    const std::string deep = dir / relative.substr(0, relative.size() - 1);
    const std::string file = deep + "\\f.dat";
    ASSERT_GT(file.size(), 300u);

    os::ForceDirectories(deep);
    EXPECT_TRUE(os::DirectoryExists(deep));
    os::File created = os::File::CreateNew(file + ".~new", os::Share::None);
    ASSERT_EQ(created.Write("deep", 4), 4u);
    created.Close();
    EXPECT_TRUE(os::RenameToNewName(file + ".~new", file));
    EXPECT_TRUE(os::FileExists(file));
    EXPECT_EQ(os::ListFileNames(deep), std::vector<std::string>{"f.dat"});

    os::File::Create(file + ".~new", os::Share::None).Write("deeper", 6);
    os::ReplaceFile(file + ".~new", file);
    const auto mapping = os::MapFileReadOnly(file);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(std::string(mapping->Data().begin(), mapping->Data().end()), "deeper");
    EXPECT_EQ(os::File::OpenOwn(file, os::Share::Read).Size(), 6);

    // "." and ".." read as they would in a short path.
    EXPECT_TRUE(os::FileExists(deep + "\\.\\..\\" + std::string(60, 'e') + "\\f.dat"));
    EXPECT_TRUE(os::DeleteFile(file));
    EXPECT_FALSE(os::NameTaken(file));
    EXPECT_TRUE(fs::is_directory(dir.Native() / nativeRelative));
#ifdef _WIN32
    // The test's own removal can't reach past MAX_PATH: the deep levels go
    // one by one.
    for (std::string level = deep; level.size() > dir.Native().string().size(); level.erase(level.rfind('\\'))) {
        EXPECT_TRUE(::RemoveDirectoryW(os::win32::SystemPath(level).c_str())) << level;
    }
#endif
}

// A managed file marked read-only (copied from a disc, or by an antivirus)
// is still replaced, and the new file doesn't carry the mark; when the
// rename fails, the old file keeps it.
TEST(PlatformFiles, ReplaceFileReplacesAReadOnlyTarget) {
    scratch::Dir dir;
    const fs::path target = dir.Native() / "data.pak";
    const auto writable = [](const fs::path& p) {
        return (fs::status(p).permissions() & fs::perms::owner_write) != fs::perms::none;
    };
    scratch::WriteAll(target, "old");
    fs::permissions(target, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_FALSE(writable(target));
    // A second name of the same file shows what became of the target's own
    // mark: Wine, unlike Windows, renames over a read-only file anyway.
    fs::create_hard_link(target, dir.Native() / "data.lnk");

    EXPECT_THROW(os::ReplaceFile(dir / "gone.New", dir / "data.pak"), EInOutError);
    EXPECT_FALSE(writable(target));
    EXPECT_EQ(scratch::ReadAll(target), "old");

    scratch::WriteAll(dir.Native() / "data.pak.New", "new");
    os::ReplaceFile(dir / "data.pak.New", dir / "data.pak");
    EXPECT_EQ(scratch::ReadAll(target), "new");
    EXPECT_TRUE(writable(target));
    EXPECT_FALSE(fs::exists(dir.Native() / "data.pak.New"));
#ifdef _WIN32
    EXPECT_EQ(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(writable(dir.Native() / "data.lnk"));
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "data.lnk"), "old");
#endif
}

// The slow-transfer rule: less than 1 KiB a second over any window fails.
TEST(PlatformHttpPace, FailsOnlyWhenAWindowAveragesLessThanOneKiBASecond) {
    using namespace std::chrono_literals;
    const auto t0 = os::HttpPace::Clock::time_point{} + 1000s;
    constexpr std::size_t kWindowBytes = 60 * 1024;

    // Nothing yet: the first window ends the transfer, not before.
    os::HttpPace silent(60s, t0);
    EXPECT_FALSE(silent.Expired(t0 + 59s));
    EXPECT_TRUE(silent.Expired(t0 + 60s));

    // A byte every second never stops flowing and still fails; so do 200
    // bytes a second, 12 KB a window.
    for (const std::size_t rate : {std::size_t{1}, std::size_t{200}}) {
        os::HttpPace trickle(60s, t0);
        for (int s = 1; s < 60; ++s) trickle.Add(rate, t0 + std::chrono::seconds(s));
        EXPECT_TRUE(trickle.Expired(t0 + 60s)) << rate;
    }

    // The window slides: 60 KiB less a byte, then one more late in the
    // window, make the window's worth until the first arrival leaves it.
    os::HttpPace sliding(60s, t0);
    sliding.Add(kWindowBytes - 1, t0 + 1s);
    sliding.Add(1, t0 + 59s);
    EXPECT_FALSE(sliding.Expired(t0 + 60s));
    EXPECT_EQ(sliding.Deadline(), t0 + 61s);
    EXPECT_TRUE(sliding.Expired(t0 + 61s));

    // 60 KiB every 50 seconds never fails, however small its pieces; each
    // arrival moves the deadline.
    os::HttpPace steady(60s, t0);
    for (int s = 50; s <= 5000; s += 50) {
        EXPECT_FALSE(steady.Expired(t0 + std::chrono::seconds(s))) << s;
        for (std::size_t k = 0; k < kWindowBytes; k += 16) steady.Add(16, t0 + std::chrono::seconds(s));
    }
    EXPECT_EQ(steady.Deadline(), t0 + 5060s);
    steady.Add(kWindowBytes, t0 + 5001s);
    EXPECT_EQ(steady.Deadline(), t0 + 5061s);

    // A reader that held the transfer back starts the rule over.
    steady.Restart(t0 + 6000s);
    EXPECT_EQ(steady.Deadline(), t0 + 6060s);
}

namespace {

// A link at name leading to target; false where the system (or Wine) can't
// make one, so that the caller can say what it didn't test.
bool TrySymlink(const fs::path& target, const fs::path& name) {
    std::error_code error;
    fs::create_symlink(target, name, error);
    return !error;
}

bool TryHardLink(const fs::path& target, const fs::path& name) {
    std::error_code error;
    fs::create_hard_link(target, name, error);
    return !error;
}

}  // namespace

// The attack: a name planted where a temporary file is about to be made.
TEST(PlatformFile, CreateNewNeverOpensWhatAlreadyStandsAtTheName) {
    scratch::Dir dir;
    scratch::WriteAll(dir.Native() / "victim.txt", "precious");
    {
        os::File file = os::File::CreateNew(dir / "fresh.tmp", os::Share::None);
        EXPECT_EQ(file.Write("new", 3), 3u);
    }
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "fresh.tmp"), "new");
    EXPECT_THROW(os::File::CreateNew(dir / "fresh.tmp", os::Share::None), EInOutError);
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "fresh.tmp"), "new");  // not truncated
    fs::create_directories(dir.Native() / "sub");
    EXPECT_THROW(os::File::CreateNew(dir / "sub", os::Share::None), EInOutError);

    int planted = 0;
    if (TryHardLink(dir.Native() / "victim.txt", dir.Native() / "hard.tmp")) {
        ++planted;
        EXPECT_TRUE(os::NameTaken(dir / "hard.tmp"));
        EXPECT_THROW(os::File::CreateNew(dir / "hard.tmp", os::Share::None), EInOutError);
    }
    if (TrySymlink(dir.Native() / "victim.txt", dir.Native() / "link.tmp")) {
        ++planted;
        EXPECT_THROW(os::File::CreateNew(dir / "link.tmp", os::Share::None), EInOutError);
        // A dangling link would be followed into creating its target.
        ASSERT_TRUE(TrySymlink(dir.Native() / "made-through-link.txt", dir.Native() / "dangling.tmp"));
        EXPECT_TRUE(os::NameTaken(dir / "dangling.tmp"));
        EXPECT_FALSE(os::FileExists(dir / "dangling.tmp"));
        EXPECT_THROW(os::File::CreateNew(dir / "dangling.tmp", os::Share::None), EInOutError);
        EXPECT_FALSE(fs::exists(dir.Native() / "made-through-link.txt"));
        // Deleting a link removes the link, never what it leads to.
        EXPECT_TRUE(os::DeleteFile(dir / "link.tmp"));
        EXPECT_FALSE(os::NameTaken(dir / "link.tmp"));
    }
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "victim.txt"), "precious");
    if (planted < 2) std::printf("note: %d of 2 link kinds could be made here\n", planted);
}

TEST(PlatformFiles, ListFileNamesGivesFilesAndLinksButNoDirectories) {
    scratch::Dir dir;
    fs::create_directories(dir.Native() / "sub");
    scratch::WriteAll(dir.Native() / "a.txt", "a");
    scratch::WriteAll(dir.Native() / "sub" / "b.txt", "b");
    std::vector<std::string> expected{"a.txt"};
    if (TrySymlink(dir.Native() / "nowhere", dir.Native() / "dangling")) expected.push_back("dangling");
    std::vector<std::string> names = os::ListFileNames(dir.Native().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(os::ListFileNames(dir / "sub\\"), std::vector<std::string>{"b.txt"});
    EXPECT_TRUE(os::ListFileNames(dir / "missing").empty());
    EXPECT_FALSE(os::NameTaken(dir / "missing"));
    EXPECT_TRUE(os::NameTaken(dir / "sub"));
}

// The tools' side of the seam: native paths (UTF-16 on Windows) and C streams.
TEST(PlatformNative, NamesConvertToTheListCodePageWithoutSubstitutes) {
    std::string out;
    EXPECT_EQ(os::NativeToCp1252(fs::path(u8"caf\u00e9 \u20ac.txt"), out), codepage::TDecode::Ok);
    EXPECT_EQ(out, "caf\xE9 \x80.txt");
    // No best-fit letter: a macron is refused, not written as a plain "a".
    EXPECT_EQ(os::NativeToCp1252(fs::path(u8"\u0101.txt"), out), codepage::TDecode::NotCp1252);
    EXPECT_EQ(os::NativeToCp1252(fs::path(), out), codepage::TDecode::Ok);
    EXPECT_EQ(out, "");
}

TEST(PlatformNative, StreamsAndRenamesWorkOnNamesFromListBytes) {
    scratch::Dir dir;
    const fs::path target = dir.Native() / os::NativeFromListBytes("caf\xE9.txt");
    const fs::path temp = dir.Native() / os::NativeFromListBytes("caf\xE9.tmp");
    {
        os::StdioFile out = os::OpenStdio(target, os::StdioMode::Write);
        ASSERT_TRUE(out);
        ASSERT_EQ(std::fwrite("old", 1, 3, out.get()), 3u);
    }
    {
        os::StdioFile out = os::OpenStdio(temp, os::StdioMode::Write);
        ASSERT_TRUE(out);
        ASSERT_EQ(std::fwrite("new", 1, 3, out.get()), 3u);
    }
    // The rename replaces an existing target in one step.
    EXPECT_FALSE(os::RenameReplacing(temp, target));
    EXPECT_FALSE(fs::exists(temp));
    os::StdioFile in = os::OpenStdio(target, os::StdioMode::Read);
    ASSERT_TRUE(in);
    char text[8] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, in.get()), 3u);
    EXPECT_EQ(std::string(text, 3), "new");
    // The message names the file the way the system does.
    EXPECT_FALSE(os::NativeDisplayBytes(target).empty());

    errno = 0;
    EXPECT_FALSE(os::OpenStdio(dir.Native() / "missing.txt", os::StdioMode::Read));
    EXPECT_NE(errno, 0);
    const std::error_code failed = os::RenameReplacing(dir.Native() / "missing.txt", target);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(failed.message().empty());
}

TEST(PlatformNative, DirectoryFromTheCommandLineIsEnteredOrReportedWithTheSystemText) {
    scratch::Dir dir;
    scratch::CwdGuard cwd;
    EXPECT_FALSE(os::EnterDirectory(dir.Native() / "missing"));
    const std::string reason = os::ErrorText(os::LastErrorCode());
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(reason.back(), '.');
    EXPECT_NE(reason.rfind("error ", 0), 0u) << reason;  // the system's text, not the fallback
    ASSERT_TRUE(os::EnterDirectory(dir.Native()));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Native()));
}
