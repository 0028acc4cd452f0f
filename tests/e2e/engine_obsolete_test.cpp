// Files an earlier publication installed and the current one dropped: each
// case installs a first publication, changes the install as a player or an
// attacker would, runs against a second publication, and looks at what is
// left, what the run logged as removed, and what the install's record says.
#include "tests/e2e/engine_fixture.h"

#include "engine/steps/RunList.h"
#include "formats/Publication.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using TFiles = std::map<std::string, std::string>;

class ObsoleteFiles;

struct TObsoleteCase {
    const char* name;
    TFiles first;                                            // installed by a first run
    TFiles local;                                            // then written by the player
    std::function<std::string(const ObsoleteFiles&)> plant;  // then appended to the record
    TFiles second;                                           // the publication of the run under test
    std::vector<std::string> removed;                        // what that run removes (and logs)
    TFiles kept;                                             // what it leaves as it was
    std::vector<std::string> recorded;                       // what its record names after, sorted
    bool succeeds = true;
    std::string secondList;  // a hand-made list instead of second's
};

void PrintTo(const TObsoleteCase& c, std::ostream* os) { *os << c.name; }

const std::string kPrecious = "precious";

class ObsoleteFiles : public EngineRun, public ::testing::WithParamInterface<TObsoleteCase> {
public:
    // A record line as the updater writes it, for content at path.
    static std::string Line(const std::string& path, const std::string& content) {
        return path + "|" + Md5(content) + "|" + std::to_string(content.size()) + "\n";
    }
    static std::string Md5(const std::string& content) { return Md5Hex(content); }
    // A file beside the install directory that a record may try to name.
    fs::path Outside() const { return sandbox_ / "outside.txt"; }
    fs::path Install(const std::string& relative) const { return LocalPath(relative); }

protected:
    bool RunLogged() {
        TDirectSynchronizer sync;
        GFilesThread run(view_, sync);
        run.SelfMode = TSelfMode::OrdinaryFile;
        run.LogFile = "run.log";
        return RunIn(run);
    }
    void PublishFiles(const TFiles& files) {
        std::map<std::string, TPublished> published;
        for (const auto& [path, content] : files) published[path] = {content, path.size() % 2 == 0};
        Publish(published);
    }
    std::vector<std::string> LoggedRemovals() const {
        std::vector<std::string> removed;
        std::ifstream in(LocalPath("run.log"), std::ios::binary);
        const std::string marker = "removed    ";
        for (std::string line; std::getline(in, line);) {
            if (const auto at = line.find(marker); at != std::string::npos) {
                removed.push_back(line.substr(at + marker.size(), line.find(" (") - at - marker.size()));
            }
        }
        return removed;
    }
    // The record's paths; each line must tell the truth about its file.
    std::vector<std::string> Recorded() const {
        std::vector<std::string> paths;
        if (!fs::exists(LocalPath(kInstalledRecordName))) return paths;
        std::istringstream in(ReadLocal(kInstalledRecordName));
        for (std::string line; std::getline(in, line);) {
            const std::string path = line.substr(0, line.find('|'));
            EXPECT_EQ(line + "\n", Line(path, ReadLocal(path))) << "the record is wrong about " << path;
            paths.push_back(path);
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }
};

TEST_P(ObsoleteFiles, OnlyFilesThisUpdaterInstalledAndNobodyChangedGo) {
    const TObsoleteCase& c = GetParam();
    std::ofstream(Outside(), std::ios::binary) << kPrecious;
    PublishFiles(c.first);
    ASSERT_TRUE(RunLogged());
    for (const auto& [path, content] : c.local) WriteLocal(path, content);
    if (c.plant) WriteLocal(kInstalledRecordName, ReadLocal(kInstalledRecordName) + c.plant(*this));
    fs::remove(LocalPath("run.log"));

    if (c.secondList.empty()) {
        PublishFiles(c.second);
    } else {
        PublishList(c.secondList);
    }
    EXPECT_EQ(RunLogged(), c.succeeds) << ::testing::PrintToString(view_.entries);
    for (const std::string& path : c.removed) EXPECT_EQ(ReadLocal(path), "<missing>") << path;
    EXPECT_THAT(LoggedRemovals(), ::testing::UnorderedElementsAreArray(c.removed));
    for (const auto& [path, content] : c.kept) EXPECT_EQ(ReadLocal(path), content) << path;
    if (c.succeeds) {
        for (const auto& [path, content] : c.second) EXPECT_EQ(ReadLocal(path), content) << path;
    }
    EXPECT_EQ(Recorded(), c.recorded);
    std::ifstream outside(Outside(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(outside), {}), kPrecious);
}

// Lines naming the file beside the install, as a planted record would.
std::string OutsideLines(const ObsoleteFiles& test) {
    const std::string md5 = ObsoleteFiles::Line("x", kPrecious).substr(1);
    std::string lines;
    for (const std::string& path : {std::string("..\\outside.txt"), std::string("data\\..\\..\\outside.txt"),
                                    std::string("../outside.txt"), test.Outside().string()}) {
        lines += path + md5;
    }
    return lines;
}

#ifndef _WIN32
// lnk, a link to the folder that holds the file beside the install, and a
// record line naming the file through it.
std::string LinkLine(const ObsoleteFiles& test) {
    fs::create_directory_symlink(test.Outside().parent_path(), test.Install("lnk"));
    return ObsoleteFiles::Line("lnk\\" + test.Outside().filename().string(), kPrecious);
}
#endif

// One file in two spellings: the disk that tells case apart installs the
// new spelling beside the old one.
#ifdef _WIN32
const std::vector<std::string> kRecordedInAnyCase{"Data\\Keep.txt"};
#else
const std::vector<std::string> kRecordedInAnyCase{"DATA\\KEEP.TXT"};
#endif

const TFiles kBoth{{"keep.txt", "k"}, {"gone.txt", "g"}};
const TFiles kKeep{{"keep.txt", "k"}};

const TObsoleteCase kCases[] = {
    {"DroppedFilesGo",
     {{"keep.txt", "k"}, {"gone.txt", "g"}, {"data\\old.dat", "o"}},
     {},
     nullptr,
     {{"keep.txt", "k"}, {"data\\new.dat", "n"}},
     {"gone.txt", "data\\old.dat"},
     {},
     {"data\\new.dat", "keep.txt"}},
    {"AnEditedFileStays", kBoth, {{"gone.txt", "edited"}}, nullptr, kKeep, {}, {{"gone.txt", "edited"}}, {"keep.txt"}},
    {"ThePlayersOwnFilesStay",
     kKeep,
     {{"mine.txt", "mine"}, {"data\\save.dat", "s"}},
     nullptr,
     kKeep,
     {},
     {{"mine.txt", "mine"}, {"data\\save.dat", "s"}},
     {"keep.txt"}},
    // The player's copy of a published file was never ours: it isn't recorded.
    {"ACopyThePlayerPutIsNotClaimed",
     kKeep,
     {{"extra.txt", "e"}},
     nullptr,
     {{"keep.txt", "k"}, {"extra.txt", "e"}},
     {},
     {},
     {"keep.txt"}},
    {"AFileListedInAnotherCaseStays",
     {{"Data\\Keep.txt", "k"}},
     {},
     nullptr,
     {{"DATA\\KEEP.TXT", "k"}},
     {},
     {{"Data\\Keep.txt", "k"}},
     kRecordedInAnyCase},
    {"ARecordNamingFilesOutsideRemovesNothing", kKeep, {}, OutsideLines, kKeep, {}, {}, {"keep.txt"}},
#ifndef _WIN32
    {"ARecordNamingAFileThroughALinkRemovesNothing", kKeep, {}, LinkLine, kKeep, {}, {}, {"keep.txt"}},
#endif
    // Each garbled line names a file whose bytes match it; only the sound
    // line (gone.txt's, written by the first run) removes its file.
    {"GarbledLinesAreIgnored",
     kBoth,
     {{"x.txt", "x"}, {"y.txt", "y"}, {"z.txt", "z"}, {"files.lst.serial", "s"}, {"sub\\f.txt", "f"}},
     [](const ObsoleteFiles&) {
         std::string lines = "junk\n\x01\x02\xff\n|||\nx.txt|not a digest|1\n";
         lines += "y.txt|" + ObsoleteFiles::Md5("y") + "|-1\n";
         lines += "z.txt|" + ObsoleteFiles::Md5("z") + "|1|extra\n";
         lines += ObsoleteFiles::Line("files.lst.serial", "s") + ObsoleteFiles::Line("sub", "");
         return lines;
     },
     kKeep,
     {"gone.txt"},
     {{"x.txt", "x"}, {"y.txt", "y"}, {"z.txt", "z"}, {"files.lst.serial", "s"}, {"sub\\f.txt", "f"}},
     {"keep.txt"}},
    // A list that can't be used tells nothing about what was dropped.
    {"AnUnusableListRemovesNothing",
     kBoth,
     {},
     nullptr,
     {},
     {},
     kBoth,
     {"gone.txt", "keep.txt"},
     false,
     "[settings]\r\nRev|none\r\n[/settings]\r\n"},
    // keep.txt's entry asks for "K" (a5f3...), which its copy isn't: while the
    // install is partly the first publication, nothing of it goes.
    {"AFailedInstallRemovesNothing",
     kBoth,
     {},
     nullptr,
     {},
     {},
     kBoth,
     {"gone.txt", "keep.txt"},
     false,
     "[settings]\r\nRev|1\r\n[/settings]\r\n[files_critical]\r\n"
     "keep.txt|a5f3c6a11b03839d46af9fb43c97c188|1\r\n[/files_critical]\r\n"},
    // An entry can't replace the record: it would choose what the next run removes.
    {"AnEntryCantTakeTheRecordsName",
     kBoth,
     {{"mine.txt", "mine"}},
     nullptr,
     {{"keep.txt", "k"}, {"gone.txt", "g"}, {"FILES.LST.INSTALLED", ObsoleteFiles::Line("mine.txt", "mine")}},
     {},
     {{"mine.txt", "mine"}},
     {"gone.txt", "keep.txt"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, ObsoleteFiles, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A record over the list's bound is not read at all: nothing goes.
TEST_F(EngineRun, AnOversizedRecordIsIgnored) {
    Publish({{"keep.txt", {"k"}}, {"gone.txt", {"g"}}});
    ASSERT_TRUE(Run());
    fs::resize_file(LocalPath(kInstalledRecordName), static_cast<std::uintmax_t>(kMaxListSize) + 1);
    Publish({{"keep.txt", {"k"}}});
    ASSERT_TRUE(Run());
    EXPECT_EQ(ReadLocal("gone.txt"), "g");
    EXPECT_EQ(fs::file_size(LocalPath(kInstalledRecordName)), static_cast<std::uintmax_t>(kMaxListSize) + 1);
}

}  // namespace
