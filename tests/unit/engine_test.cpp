// The engine's pure pieces: how progress hand-offs are thinned out without
// reordering what the window sees.
#include "engine/state/DuplicateEntries.h"
#include "engine/view/Progress.h"
#include "engine/fetch/Resume.h"
#include "engine/state/TempNames.h"
#include "formats/LineRefs.h"
#include "formats/ListGrammar.h"
#include "tests/unit/scratch_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;
namespace fs = std::filesystem;

// A temporary never takes a name the list manages (in any case, as Windows
// compares names) or one that something already holds.
TEST(TempNames, PickAvoidsClaimedAndTakenNames) {
    scratch::Dir dir;
    const std::string install = dir.Native().string() + "\\";
    TTempNames names;
    for (const char* entry : {"PACK.PAK.BZ2", "data\\Caf\xC9.dat.part", "pack.pak"}) names.Claim(entry);
    names.Seal();
    EXPECT_TRUE(names.Claimed("pack.pak.bz2"));
    EXPECT_TRUE(names.Claimed("DATA/caf\xE9.DAT.PART"));
    EXPECT_FALSE(names.Claimed("pack.pak.part"));

    EXPECT_EQ(names.Pick(install, "pack.pak", ".part"), install + "pack.pak.part");
    const std::string bz2 = names.Pick(install, "pack.pak", ".bz2");
    EXPECT_EQ(bz2.rfind(install + "pack.pak.bz2" + std::string(TTempNames::kMarker), 0), 0u) << bz2;
    EXPECT_EQ(bz2.size(), install.size() + 12 + TTempNames::kMarker.size() + 16);
    EXPECT_NE(names.Pick(install, "data\\caf\xE9.dat", ".part"), install + "data\\caf\xE9.dat.part");

    scratch::WriteAll(dir.Native() / "free.txt.bz2", "someone else's");
    const std::string taken = names.Pick(install, "free.txt", ".bz2");
    EXPECT_NE(taken, install + "free.txt.bz2");
    EXPECT_NE(taken.find(std::string(TTempNames::kMarker)), std::string::npos);
}

// Create makes the name Pick would, opened exclusively: what stands at a
// name (a file, a dangling link) is neither opened nor changed, a claimed
// name is never used, and a failure that isn't a taken name is raised.
TEST(TempNames, CreateNeverOpensWhatStandsAtTheName) {
    scratch::Dir dir;
    const std::string install = dir.Native().string() + "\\";
    TTempNames names;
    for (const char* entry : {"pack.pak", "pack.pak.bz2"}) names.Claim(entry);
    names.Seal();
    std::string path;
    {
        os::File file = names.Create(install, "pack.pak", ".part", path);
        EXPECT_EQ(path, install + "pack.pak.part");
        EXPECT_EQ(file.Write("x", 1), 1u);
    }
    names.Create(install, "pack.pak", ".bz2", path);
    EXPECT_EQ(path.rfind(install + "pack.pak.bz2" + std::string(TTempNames::kMarker), 0), 0u) << path;

    scratch::WriteAll(dir.Native() / "free.txt.part", "someone else's");
    names.Create(install, "free.txt", ".part", path);
    EXPECT_NE(path.find(std::string(TTempNames::kMarker)), std::string::npos) << path;
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "free.txt.part"), "someone else's");
#ifndef _WIN32
    std::filesystem::create_symlink(dir.Native() / "nowhere", dir.Native() / "link.txt.part");
    names.Create(install, "link.txt", ".part", path);
    EXPECT_NE(path, install + "link.txt.part");
    EXPECT_FALSE(std::filesystem::exists(dir.Native() / "nowhere"));
#endif
    EXPECT_THROW(names.Create(install, "no\\such\\dir", ".part", path), EInOutError);
}

// Two entries that are one file on a disk ignoring case: the later one is
// the duplicate, whatever order the sections are in; names that merely share
// a hash (a collision) are told apart by their folded names.
TEST(DuplicateEntries, LaterSpellingOfOneFileIsTheDuplicate) {
    using TRepeat = TDuplicateEntries::TRepeat;
    const std::string text =
        "b\\Pod\\x.txt|d|1\nb\\pod\\X.TXT|d|1\nother|d|1\nOTHER|d|1\nb\\Caf\xC9|d|1\nb\\caf\xE9|d|1\n";
    TTempNames names;
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(std::string_view(text).substr(at, end - at));
        at = end + 1;
    }
    auto path = [](std::string_view line) { return line.substr(0, line.find('|')); };
    for (std::string_view line : lines) names.Claim(path(line));
    names.Seal();
    std::vector<std::uint64_t> repeated = names.Repeated();
    EXPECT_EQ(repeated.size(), 3u);
    // A name whose hash repeats (as a collision would) without another
    // spelling of its file is no duplicate.
    repeated.push_back(TTempNames::Hash("b\\Pod\\y.txt"));
    std::sort(repeated.begin(), repeated.end());
    TDuplicateEntries duplicates(repeated);
    // Taken up from the last section first: the order given is what counts.
    for (std::size_t i : {4u, 5u, 0u, 1u, 2u, 3u}) duplicates.Take(lines[i], path(lines[i]));
    duplicates.Take("b\\Pod\\y.txt|d|1", "b\\Pod\\y.txt");
    duplicates.Seal();
    EXPECT_EQ(duplicates.Of(lines[0]), TRepeat::None);
    EXPECT_EQ(duplicates.Of(lines[1]), TRepeat::Conflict);
    EXPECT_EQ(duplicates.Of(lines[2]), TRepeat::None);
    EXPECT_EQ(duplicates.Of(lines[3]), TRepeat::Conflict);
    EXPECT_EQ(duplicates.Of(lines[4]), TRepeat::None);
    EXPECT_EQ(duplicates.Of(lines[5]), TRepeat::Conflict);
    EXPECT_EQ(duplicates.Of("b\\Pod\\y.txt|d|1"), TRepeat::None);
    // The same text at another address is another line.
    EXPECT_EQ(duplicates.Of(std::string(lines[1])), TRepeat::None);
}

void PrintTo(TDuplicateEntries::TRepeat repeat, std::ostream* out) {
    using TRepeat = TDuplicateEntries::TRepeat;
    *out << (repeat == TRepeat::None ? "None" : repeat == TRepeat::Same ? "Same" : "Conflict");
}

// An entry listed again exactly as the first entry of its file asks for
// nothing new and is skipped quietly; one that differs in the path's
// spelling or in what the file holds contradicts it and fails. Each later
// entry is weighed against the first one of its file, which is installed.
TEST(DuplicateEntries, IdenticalRepeatIsSameAnyDifferenceIsConflict) {
    using TRepeat = TDuplicateEntries::TRepeat;
    const std::string md5 = "0123456789abcdef0123456789abcdef";
    const std::string MD5 = "0123456789ABCDEF0123456789ABCDEF";
    const std::string other = "fedcba9876543210fedcba9876543210";
    const std::string sha = std::string(64, 'a'), SHA = std::string(64, 'A');
    struct TCase {
        const char* what;
        std::vector<std::string> lines;  // in the order taken up
        std::vector<TRepeat> expected;   // one per line
    };
    const TCase cases[] = {
        {"same line twice", {"d\\x.pak|" + md5 + "|300", "d\\x.pak|" + md5 + "|300"}, {TRepeat::None, TRepeat::Same}},
        {"other case", {"d\\x.pak|" + md5 + "|300", "D\\X.pak|" + md5 + "|300"}, {TRepeat::None, TRepeat::Conflict}},
        {"other digest",
         {"d\\x.pak|" + md5 + "|300", "d\\x.pak|" + other + "|300"},
         {TRepeat::None, TRepeat::Conflict}},
        {"other size", {"d\\x.pak|" + md5 + "|300", "d\\x.pak|" + md5 + "|301"}, {TRepeat::None, TRepeat::Conflict}},
        {"size written otherwise",
         {"d\\x.pak|" + md5 + "|300", "d\\x.pak|" + md5 + "|+300"},
         {TRepeat::None, TRepeat::Conflict}},
        {"digest in capitals",
         {"d\\x.pak|" + md5 + "|300", "d\\x.pak|" + MD5 + "|300"},
         {TRepeat::None, TRepeat::Same}},
        {"empty fields", {"d\\x.pak|" + md5 + "|300", "|d\\x.pak||" + md5 + "|300|"}, {TRepeat::None, TRepeat::Same}},
        {"SHA-256 in capitals",
         {sha + "|d\\x.pak|" + md5 + "|300", SHA + "|d\\x.pak|" + md5 + "|300"},
         {TRepeat::None, TRepeat::Same}},
        {"other SHA-256",
         {sha + "|d\\x.pak|" + md5 + "|300", std::string(64, 'b') + "|d\\x.pak|" + md5 + "|300"},
         {TRepeat::None, TRepeat::Conflict}},
        {"SHA-256 missing",
         {sha + "|d\\x.pak|" + md5 + "|300", "d\\x.pak|" + md5 + "|300"},
         {TRepeat::None, TRepeat::Conflict}},
        // The updater's own entry is taken up first: a files entry like it
        // is the same file asked for again.
        {"self entry again",
         {"CorvelUpdater.exe|" + md5 + "|9", "CorvelUpdater.exe|" + md5 + "|9"},
         {TRepeat::None, TRepeat::Same}},
        {"against the first, not the last",
         {"d\\x.pak|" + md5 + "|300", "d\\X.pak|" + md5 + "|300", "d\\x.pak|" + md5 + "|300",
          "d\\X.pak|" + md5 + "|300"},
         {TRepeat::None, TRepeat::Conflict, TRepeat::Same, TRepeat::Conflict}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        // One text, as the list's sections are views into one text.
        std::string text;
        for (const std::string& line : c.lines) text += line + "\n";
        std::vector<std::string_view> lines;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = text.find('\n', at);
            lines.push_back(std::string_view(text).substr(at, end - at));
            at = end + 1;
        }
        TTempNames names;
        for (std::string_view line : lines) names.Claim(ParseEntry(line)->path);
        names.Seal();
        TDuplicateEntries duplicates(names.Repeated());
        for (std::string_view line : lines) duplicates.Take(line, ParseEntry(line)->path);
        duplicates.Seal();
        std::vector<TRepeat> got;
        for (std::string_view line : lines) got.push_back(duplicates.Of(line));
        EXPECT_EQ(got, c.expected);
    }
}

// A killed run's leftovers go from the install directory itself and from
// every directory on the way to a listed entry, even when no entry lives
// there: the partial copy of an entry that left the list included. A listed
// entry's partial copy, a listed file, the player's own files, directories
// and what links point at stay, and directories no entry leads through are
// not walked.
TEST(TempNames, SweepReachesTheRootAndTheDirectoriesOnTheWay) {
    scratch::Dir dir;
    const std::string install = dir.Native().string() + "\\";
    const std::string md5 = "0123456789abcdef0123456789abcdef";
    const std::uint64_t size = kResumableSize;
    fs::create_directories(dir.Native() / "data" / "maps" / "deep");
    fs::create_directories(dir.Native() / "saves");
    fs::create_directories(dir.Native() / (TPartialCopies::Name("folder", md5, size)));
    TTempNames names;
    TPartialCopies partials;
    for (const char* entry : {"data\\maps\\deep\\kept.dat", "data\\maps\\deep\\x.map", "linked\\a.dat"}) {
        names.Claim(entry);
        partials.Keep(entry, md5, size);
    }
    names.Seal();
    partials.Seal();

    // Relative names, "/" separated as the host spells them.
    auto partial = [&](const std::string& entry) {
        std::string name = TPartialCopies::Name(entry, md5, size);
        std::replace(name.begin(), name.end(), '\\', '/');
        return name;
    };
    const std::string tag(TPartialCopies::kValidatorSuffix);
    // The leftovers: partial copies of entries that left the list, in the
    // root and in a directory only on the way to listed entries; a unique
    // temporary; the run's own file; a listed entry's plain temporary.
    const std::vector<std::string> gone = {
        partial("gone.dat"),
        partial("gone.dat") + tag,
        partial("data\\moved.dat"),
        partial("data\\moved.dat") + tag,
        "data/maps/x.bz2" + std::string(TTempNames::kMarker) + "0123456789abcdef",
        "files.lst",
        "data/maps/deep/x.map.part",
    };
    // A listed entry's partial copy and validator, a listed file, the
    // player's files (one a name of no entry's temporary), and a partial
    // copy in a directory no entry leads through.
    const std::vector<std::string> stay = {
        partial("data\\maps\\deep\\kept.dat"),
        partial("data\\maps\\deep\\kept.dat") + tag,
        "data/maps/deep/x.map",
        "notes.txt",
        "data/other.part",
        partial("saves\\old.sav"),
    };
    for (const std::string& name : gone) scratch::WriteAll(dir.Native() / name, "left");
    for (const std::string& name : stay) scratch::WriteAll(dir.Native() / name, "mine");
#ifndef _WIN32
    // A link carrying the marker goes itself; the file it points at stays.
    const fs::path victim = dir.Native() / "saves" / "victim.sav";
    scratch::WriteAll(victim, "precious");
    fs::create_symlink(victim, dir.Native() / partial("linked.dat"));
    // Nothing is swept through a link to a folder elsewhere.
    fs::create_directory_symlink(dir.Native() / "saves", dir.Native() / "linked");
    scratch::WriteAll(dir.Native() / "saves" / "a.dat.part", "precious");
#endif

    names.Sweep(install, {"files.lst"}, [&partials](std::string_view relative) { return partials.Kept(relative); });
    for (const std::string& name : gone) EXPECT_FALSE(fs::exists(dir.Native() / name)) << name;
    for (const std::string& name : stay) EXPECT_EQ(scratch::ReadAll(dir.Native() / name), "mine") << name;
    EXPECT_TRUE(fs::is_directory(dir.Native() / TPartialCopies::Name("folder", md5, size)));
#ifndef _WIN32
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(dir.Native() / partial("linked.dat"))));
    EXPECT_EQ(scratch::ReadAll(victim), "precious");
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "saves" / "a.dat.part"), "precious");
#endif
}

// Lines of the text are kept as references and come back unchanged; lines
// from elsewhere are copies that outlive their source.
TEST(LineRefs, ReferencesIntoTheTextAndCopiesOfOtherLines) {
    const std::string buffer = "first|a|1\nsecond|b|2\nbeyond the text";
    const std::string_view text = std::string_view(buffer).substr(0, 21);
    TLineRefs refs(text);
    refs.push_back(text.substr(10, 10));
    {
        std::string elsewhere = "self.exe|c|3";
        refs.push_back(elsewhere);
        elsewhere.assign(elsewhere.size(), 'x');
    }
    refs.push_back(text.substr(0, 9));
    refs.push_back(std::string_view(buffer).substr(15, 12));  // runs past the text's end
    ASSERT_EQ(refs.size(), 4u);
    EXPECT_EQ(refs[0], "second|b|2");
    EXPECT_EQ(refs[0].data(), text.data() + 10);
    EXPECT_EQ(refs[1], "self.exe|c|3");
    EXPECT_EQ(refs[2], "first|a|1");
    EXPECT_EQ(refs[3], "d|b|2\nbeyond");
    EXPECT_NE(refs[3].data(), buffer.data() + 15);  // a copy
    refs.Reset("other");
    EXPECT_TRUE(refs.empty());
}

namespace {

struct Recorder {
    std::vector<std::string> log;
    TProgressThrottle::Deliver deliver() {
        return [this](TProgressKind kind, std::int32_t value) {
            const char* name = kind == TProgressKind::File      ? "File"
                               : kind == TProgressKind::Extract ? "Extract"
                                                                : "Total";
            log.push_back(std::string(name) + " " + std::to_string(value));
        };
    }
};

}  // namespace

TEST(ProgressThrottle, WithoutIntervalEveryValuePasses) {
    Recorder r;
    TProgressThrottle t(TProgressThrottle::Clock::duration::zero(), r.deliver());
    t.Report(TProgressKind::File, 1);
    t.Report(TProgressKind::File, 2);
    t.ReportNow(TProgressKind::File, 0);
    EXPECT_THAT(r.log, ElementsAre("File 1", "File 2", "File 0"));
}

TEST(ProgressThrottle, HeldValueArrivesBeforeTheResetAndBeforeOtherOperations) {
    Recorder r;
    TProgressThrottle t(std::chrono::hours(1), r.deliver());
    t.Report(TProgressKind::File, 1024);  // first of a sequence: at once
    t.Report(TProgressKind::File, 2048);  // held
    t.Report(TProgressKind::File, 3072);  // replaces the held one
    EXPECT_THAT(r.log, ElementsAre("File 1024"));
    t.ReportNow(TProgressKind::File, 0);  // the last value goes first
    EXPECT_THAT(r.log, ElementsAre("File 1024", "File 3072", "File 0"));

    t.Report(TProgressKind::Total, 0);  // new sequence after the reset: at once
    t.Report(TProgressKind::Total, 1);
    t.BeforeOtherOperation();
    t.Report(TProgressKind::Total, 2);  // first after another operation: at once
    EXPECT_THAT(r.log, ElementsAre("File 1024", "File 3072", "File 0", "Total 0", "Total 1", "Total 2"));
}

TEST(ProgressThrottle, AnotherBarFlushesTheHeldValueFirst) {
    Recorder r;
    TProgressThrottle t(std::chrono::hours(1), r.deliver());
    t.Report(TProgressKind::Extract, 10);
    t.Report(TProgressKind::Extract, 20);
    t.Report(TProgressKind::Total, 1);
    EXPECT_THAT(r.log, ElementsAre("Extract 10", "Extract 20", "Total 1"));
}

TEST(ProgressThrottle, ValuesPassAgainOnceTheIntervalHasGone) {
    Recorder r;
    TProgressThrottle t(std::chrono::milliseconds(5), r.deliver());
    t.Report(TProgressKind::File, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t.Report(TProgressKind::File, 2);
    EXPECT_THAT(r.log, ElementsAre("File 1", "File 2"));
}

// Sizes up to 2^31 - 1 are shown in bytes, exactly as given; larger ones in
// the smallest unit of 1024^n that fits, and the bar still moves every unit.
TEST(BarScale, BytesWhileTheyFitThenKiBAndAbove) {
    const TBarScale small(1000);
    EXPECT_EQ(small.Shift(), 0);
    EXPECT_EQ(small.Max(), 1000);
    EXPECT_EQ(small.Position(999), 999);
    EXPECT_EQ(TBarScale(INT32_MAX).Max(), INT32_MAX);
    EXPECT_EQ(TBarScale(0).Max(), 0);

    for (const std::int64_t size : {std::int64_t{1} << 31, std::int64_t{1} << 32, std::int64_t{6} << 30}) {
        const TBarScale scale(size);
        EXPECT_EQ(scale.Shift(), 10) << size;
        EXPECT_EQ(scale.Max(), size >> 10) << size;
        EXPECT_EQ(scale.Position(size), scale.Max()) << size;
        // Smooth: each MiB moves the bar.
        for (std::int64_t at = 0; at + (1 << 20) <= size; at += size / 97)
            EXPECT_LT(scale.Position(at), scale.Position(at + (1 << 20))) << at;
    }
    const TBarScale huge(INT64_MAX);
    EXPECT_GT(huge.Max(), 0);
    EXPECT_LE(huge.Max(), INT32_MAX);
    EXPECT_EQ(huge.Position(INT64_MAX), huge.Max());
    // Out-of-range positions stay on the bar.
    EXPECT_EQ(small.Position(-5), 0);
    EXPECT_EQ(small.Position(std::int64_t{1} << 40), INT32_MAX);
}
