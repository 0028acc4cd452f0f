// Entries fetched as their objects: every way an object can fail ends with
// the right file from its copy in the same run and the reason in the log; a
// list naming objects still installs through a reader that ignores them.
#include "tests/e2e/engine_fixture.h"

#include "formats/Publication.h"

#include <gmock/gmock.h>
#include <zstd.h>

#include <algorithm>
#include <set>

using ::testing::IsEmpty;

namespace {

// content as one zstd frame, its window windowLog (0: the file's); a size
// left unknown keeps the window whatever the content.
std::string ZstdOf(const std::string& content, int windowLog = 0, bool sizeUnknown = false) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    if (windowLog > 0) ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog);
    std::string out(ZSTD_compressBound(content.size()) + 64, '\0');
    ZSTD_outBuffer to{out.data(), out.size(), 0};
    ZSTD_inBuffer from{content.data(), content.size(), 0};
    if (sizeUnknown) {
        EXPECT_FALSE(ZSTD_isError(ZSTD_compressStream2(c, &to, &from, ZSTD_e_continue)));
    }
    const std::size_t left = ZSTD_compressStream2(c, &to, &from, ZSTD_e_end);
    ZSTD_freeCCtx(c);
    EXPECT_EQ(left, 0u);
    out.resize(to.pos);
    return out;
}

// content as frames of step bytes each, and where each frame ends.
std::string FramedZstdOf(const std::string& content, std::size_t step, std::set<std::size_t>& ends) {
    std::string out;
    for (std::size_t at = 0; at < content.size(); at += step) {
        out += ZstdOf(content.substr(at, step));
        ends.insert(out.size());
    }
    return out;
}

// A skippable frame of size bytes: valid zstd that decodes to nothing.
std::string Skippable(std::uint32_t size) {
    std::string frame = {'\x50', '\x2A', '\x4D', '\x18'};
    for (int i = 0; i < 4; ++i) frame += static_cast<char>((size >> (8 * i)) & 0xFF);
    return frame + std::string(size, '\0');
}

}  // namespace

class ObjectRun : public EngineRun {
protected:
    const std::string content_ = Noise(400000, 41);

    std::string ObjectPath() const { return std::string(kObjectDir) + ObjectName(Md5Hex(content_)); }

    // big.dat with its copy, its object (unless empty) under the list's
    // folder line ("" : none).
    void PublishObject(const std::string& folderLine, const std::string& object) {
        for (const auto& e : fs::directory_iterator(serverDir_)) fs::remove_all(e.path());
        PutServerFile("big.dat.bz2", Compress(content_));
        if (!object.empty()) PutServerFile(ObjectPath(), object);
        PublishList("[settings]\r\nRev|1\r\n" + folderLine + "[/settings]\r\n[files_critical]\r\n" +
                    EntryLine("big.dat", content_) + "\r\n[/files_critical]\r\n[files_normal]\r\n[/files_normal]\r\n");
    }

    // Runs with the log on; the log's lines about objects and big.dat.
    bool RunLogged(bool useObjects) {
        fs::remove(installDir_ / "CorvelUpdater.log");
        TDirectSynchronizer sync;
        GFilesThread run(view_, sync);
        run.SelfMode = TSelfMode::OrdinaryFile;
        run.LogFile = "CorvelUpdater.log";
        run.SetUseObjects(useObjects);
        const bool ok = RunIn(run);
        notes_ = LogLinesFrom("objects    ");
        for (const std::string& line : LogLinesFrom("note       big.dat: ")) notes_.push_back(line.substr(20));
        return ok;
    }

    std::vector<std::string> notes_;
};

// The object serves the entry alone; every failure of its own falls back to
// the copy in the same run with the reason in the log; a reader that knows
// only copies, or a folder that isn't a safe one, never asks for objects.
TEST_F(ObjectRun, ObjectsAndEveryFallbackEndWithTheRightFile) {
    const std::string object = ZstdOf(content_);
    std::string corrupt = object;
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5A);
    const std::string folder = "Objects|objects/\r\n";
    struct Case {
        const char* what;
        std::string folderLine;
        std::string object;  // on the server; empty: none (404)
        std::string fault;   // on the object's URL
        bool useObjects;
        bool objectAsked;
        std::string note;  // in the log; empty: no line
    };
    const std::vector<Case> cases = {
        {"the object", folder, object, "", true, true, ""},
        {"a reader of copies only", folder, object, "", false, false, ""},
        {"a folder outside the server's", "Objects|../../etc/\r\n", object, "", true, false,
         "objects    ignored: \"../../etc/\""},
        {"missing (404)", folder, "", "", true, true, "object failed (server error 404"},
        {"short", folder, object.substr(0, object.size() / 2), "", true, true, "object failed (transfer cut"},
        {"cut", folder, object, "cut 1000", true, true, "object failed (transfer cut"},
        {"wrong digest", folder, ZstdOf(Noise(content_.size(), 42)), "", true, true,
         "object failed (digest mismatch"},
        {"corrupt frame", folder, corrupt, "", true, true, "object failed (corrupt"},
        {"over its bound", folder, Skippable(static_cast<std::uint32_t>(content_.size() + 70000)) + object, "", true,
         true, "object failed (larger than its entry allows"},
        {"more output than the entry", folder, ZstdOf(std::string(4 << 20, 'z'), 17), "", true, true,
         "object failed (larger than its entry allows"},
        {"a window past the file's", folder, ZstdOf(content_, 27, true), "", true, true, "object failed (corrupt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(installDir_ / "big.dat");
        PublishObject(c.folderLine, c.object);
        if (!c.fault.empty()) SetFault(ObjectPath(), c.fault);
        EXPECT_TRUE(RunLogged(c.useObjects));
        EXPECT_EQ(ReadLocal("big.dat"), content_);
        EXPECT_EQ(Asked(ObjectPath()), c.objectAsked);
        // The copy only when the object didn't serve.
        EXPECT_EQ(ServedStatuses("big.dat.bz2").empty(), c.objectAsked && c.note.empty());
        if (c.note.empty()) {
            EXPECT_THAT(notes_, IsEmpty());
        } else {
            ASSERT_EQ(notes_.size(), 1u);
            EXPECT_EQ(notes_[0].rfind(c.note, 0), 0u) << notes_[0];
        }
        EXPECT_THAT(Leftovers(), IsEmpty());
        fs::remove(serverDir_.parent_path() / "bytes.log");
        fs::remove(serverDir_.parent_path() / "requests.log");
    }
}

// Entries of one content take one object; when the first of them can't be
// put in place, the others still come, each fetched on its own.
TEST_F(ObjectRun, OneContentAtSeveralPathsIsFetchedOnce) {
    for (const bool firstFails : {false, true}) {
        SCOPED_TRACE(firstFails ? "the first entry fails" : "all installed");
        for (const auto& e : fs::directory_iterator(installDir_)) fs::remove_all(e.path());
        for (const auto& e : fs::directory_iterator(serverDir_)) fs::remove_all(e.path());
        fs::remove(serverDir_.parent_path() / "requests.log");
        std::string lines;
        for (const char* path : {"a.dat", "b\\a.dat", "c.dat"}) {
            std::string url = path;
            std::replace(url.begin(), url.end(), '\\', '/');
            PutServerFile(url + ".bz2", Compress(content_));
            lines += EntryLine(path, content_) + "\r\n";
        }
        PutServerFile(ObjectPath(), ZstdOf(content_));
        // A folder where the first entry's file goes: it can't be put in place.
        if (firstFails) fs::create_directories(installDir_ / "a.dat" / "x");
        PublishList("[settings]\r\nRev|1\r\nObjects|objects/\r\n[/settings]\r\n[files_critical]\r\n" + lines +
                    "[/files_critical]\r\n[files_normal]\r\n[/files_normal]\r\n");
        EXPECT_EQ(RunLogged(true), !firstFails);
        for (const char* path : {"b\\a.dat", "c.dat"}) EXPECT_EQ(ReadLocal(path), content_);
        std::size_t asked = 0;
        for (const std::string& line : Requests()) asked += line.find(ObjectPath()) != std::string::npos;
        // Once its file isn't there, each of the others fetches its own.
        EXPECT_EQ(asked, firstFails ? 3u : 1u);
        EXPECT_THAT(Leftovers(), IsEmpty());
    }
}

// A stopped run keeps the object decoded up to its last whole frame; the
// next run asks only for the frames after it and installs the right file.
TEST_F(ObjectRun, AStoppedObjectIsContinuedFromItsLastWholeFrame) {
    std::set<std::size_t> ends;
    const std::string object = FramedZstdOf(content_, 65536, ends);
    PublishObject("Objects|objects/\r\n", object);
    WriteLocal("big.dat", "old big");
    struct StopView final : TQuietView {
        GFilesThread* run = nullptr;
        void SyncFileProgress(std::int32_t value) override {
            if (value > 200000) run->RequestStop();
        }
    } stopper;
    TDirectSynchronizer sync;
    GFilesThread stopped(stopper, sync);
    stopper.run = &stopped;
    stopped.SetProgressInterval(std::chrono::steady_clock::duration::zero());
    stopped.SelfMode = TSelfMode::OrdinaryFile;
    SetFault(ObjectPath(), "trickle 4096 20");
    EXPECT_FALSE(RunIn(stopped));
    const auto partials = Partials();
    ASSERT_THAT(partials, ::testing::SizeIs(2));  // the decoded bytes and the tag
    EXPECT_NE(partials[0].find("big.dat.~corvel-resume-" + Md5Hex(content_) + "-400000-z"), std::string::npos);
    EXPECT_EQ(fs::file_size(partials[0]), content_.size());

    fs::remove(serverDir_ / fs::path(ObjectPath() + ".fault"));
    EXPECT_TRUE(RunLogged(true));
    EXPECT_EQ(ReadLocal("big.dat"), content_);
    EXPECT_THAT(Partials(), IsEmpty());
    EXPECT_THAT(Leftovers(), IsEmpty());
    EXPECT_THAT(ServedStatuses("big.dat.bz2"), IsEmpty());
    // One range asked (the stopped answer is logged once the server sees
    // its end, before or after it).
    const std::vector<int> statuses = ServedStatuses(ObjectPath());
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 206), 1);
    // The second answer began where a frame after the first ended.
    std::uint64_t first = 0;
    for (const auto& [status, bytes] : ServedLines(ObjectPath())) first = status == 206 ? object.size() - bytes : first;
    EXPECT_TRUE(ends.contains(first)) << first;
}
