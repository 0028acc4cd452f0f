// The publisher's objects, publication after publication in a scratch
// server directory; and the list that names them, read by the readers that
// know only the .bz2 copies.
#include "engine/steps/RunList.h"
#include "formats/ListWriter.h"
#include "formats/Publication.h"
#include "tools/publish/Objects.h"
#include "tools/publish/PreviousList.h"
#include "tools/publish/Publisher.h"
#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

using namespace publish;

namespace {

namespace fs = std::filesystem;

std::string Md5Of(const std::string& data) {
    TMD5Context context;
    MD5Init(context);
    MD5Update(context, data.data(), data.size());
    TMD5Digest digest{};
    MD5Final(context, digest);
    return DigestToHex(digest);
}

// Text that bzip2 packs well, so its object gets the higher level too.
std::string Text(int version) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i * version % 977) + " of the map\n";
    return text;
}

// Text(1) with one line rewritten: a patch from Text(1) beats its object.
std::string Edited(int version) {
    std::string text = Text(1);
    return text.replace(100000, 20, "edited in version " + std::to_string(version));
}

struct Server {
    scratch::Dir dir;
    fs::path client = dir.Native() / "client";
    fs::path server = dir.Native() / "server";

    PublishSummary Run(unsigned history = 3, bool copies = true) {
        PublishOptions options;
        options.clientDir = client;
        options.serverDir = server;
        options.jobs = 2;
        options.patchHistory = history;
        options.bz2Copies = copies;
        Progress progress;
        return Publish(options, progress, [] {});
    }
    void Put(const std::string& name, const std::string& data) {
        fs::create_directories((client / name).parent_path());
        scratch::WriteAll(client / name, data);
    }
    // The MD5 of every object on the server, each checked to decode to it.
    std::set<std::string> Objects() const {
        std::set<std::string> found;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(ObjectDirectory(server), ec);
             !ec && it != fs::recursive_directory_iterator(); ++it) {
            if (it.depth() != 1 || !it->is_regular_file()) continue;  // objects/ab/<md5>.zst
            const std::string digest = it->path().stem().string();
            EXPECT_EQ(it->path(), ObjectPath(server, digest));
            const std::string content = contents.count(digest) ? contents.at(digest) : std::string("?");
            EXPECT_TRUE(DecodeVerifiedObject(it->path(), digest, content.size(), nullptr)) << it->path();
            found.insert(digest);
        }
        return found;
    }
    std::set<std::string> Copies() const {
        std::set<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(server)) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".bz2") && name != kListArchiveName) found.insert(name);
        }
        return found;
    }
    // Remembers a content so Objects() can check what its object decodes to.
    std::string Known(const std::string& data) {
        contents[Md5Of(data)] = data;
        return Md5Of(data);
    }
    std::map<std::string, std::string> contents;
};

// Each row: publications made, then the objects and copies expected.
TEST(PublishObjects, EachContentOnceKeptByHistoryNeverPartial) {
    const struct Case {
        const char* why;
        std::function<void(Server&, std::set<std::string>& want)> run;
        std::set<std::string> copies;
    } cases[] = {
        {"identical files at several paths are one object",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Put("maps/b.txt", Text(1));
             s.Put("c.bin", "other");
             s.Put("empty.dat", "");
             const PublishSummary summary = s.Run();
             EXPECT_EQ(summary.objects, 3u);
             want = {s.Known(Text(1)), s.Known("other"), s.Known("")};
         },
         {"a.txt.bz2", "b.txt.bz2", "c.bin.bz2", "empty.dat.bz2"}},
        {"an object in place is kept, not rewritten",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run();
             const fs::path object = ObjectPath(s.server, s.Known(Text(1)));
             const auto written = fs::last_write_time(object);
             s.Put("b.txt", Text(1));  // the same content at a new path
             EXPECT_EQ(s.Run().objects, 0u);
             EXPECT_EQ(fs::last_write_time(object), written);
             want = {s.Known(Text(1))};
         },
         {"a.txt.bz2", "b.txt.bz2"}},
        {"history 1 keeps only the current list's objects",
         [](Server& s, std::set<std::string>& want) {
             for (int v = 1; v <= 3; ++v) {
                 s.Put("a.txt", Text(v));
                 s.Run(1);
             }
             EXPECT_EQ(s.Run(1).unobjected, 0u);  // no change ages nothing
             want = {s.Known(Text(3))};
         },
         {"a.txt.bz2"}},
        {"history 2 keeps the previous list's objects too",
         [](Server& s, std::set<std::string>& want) {
             for (int v = 1; v <= 3; ++v) {
                 s.Put("a.txt", Text(v));
                 s.Run(2);
             }
             want = {s.Known(Text(2)), s.Known(Text(3))};
         },
         {"a.txt.bz2"}},
        {"patches off still keep the current objects",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run(0);
             s.Put("a.txt", Text(2));
             EXPECT_EQ(s.Run(0).unobjected, 1u);
             want = {s.Known(Text(2))};
         },
         {"a.txt.bz2"}},
        {"--no-bz2-copies removes ours and patches from the old object",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run(3, false);
             s.Put("a.txt", Edited(2));
             const PublishSummary summary = s.Run(3, false);
             EXPECT_EQ(summary.patches, 1u);
             EXPECT_TRUE(summary.warnings.empty());
             s.Put("a.txt", Edited(3));
             s.Run(3, true);  // the copies come back when asked for
             EXPECT_EQ(s.Run(3, false).removed, 1u);
             want = {s.Known(Text(1)), s.Known(Edited(2)), s.Known(Edited(3))};
         },
         {}},
        {"a partial or foreign file under an object's name is replaced",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Put("b.txt", Text(2));
             s.Run();
             const std::string a = s.Known(Text(1)), b = s.Known(Text(2));
             const std::string whole = scratch::ReadAll(ObjectPath(s.server, a));
             scratch::WriteAll(ObjectPath(s.server, a), whole.substr(0, whole.size() / 2));
             scratch::WriteAll(ObjectPath(s.server, b), scratch::ReadAll(ObjectPath(s.server, a)));
             fs::remove(s.server / kManifestName);  // no record vouches for either
             EXPECT_EQ(s.Run().objects, 2u);
             EXPECT_EQ(scratch::ReadAll(ObjectPath(s.server, a)), whole);
             want = {a, b};
         },
         {"a.txt.bz2", "b.txt.bz2"}},
        {"a killed run's objects: temporaries swept, unnamed ones pruned",
         [](Server& s, std::set<std::string>& want) {
             s.Put("a.txt", Text(1));
             s.Run();
             const fs::path stray = ObjectPath(s.server, s.Known(Text(2)));
             fs::create_directories(stray.parent_path());
             fs::copy_file(ObjectPath(s.server, s.Known(Text(1))), stray);
             scratch::WriteAll(stray.string() + kTempSuffix.data(), "half an object");
             scratch::WriteAll(s.server / "objects" / "README", "not ours");
             const PublishSummary summary = s.Run();
             EXPECT_EQ(summary.unobjected, 1u);
             EXPECT_FALSE(fs::exists(stray.parent_path()));
             EXPECT_TRUE(fs::exists(s.server / "objects" / "README"));
             want = {s.Known(Text(1))};
         },
         {"a.txt.bz2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Server s;
        std::set<std::string> want;
        c.run(s, want);
        EXPECT_EQ(s.Objects(), want);
        EXPECT_EQ(s.Copies(), c.copies);
        // The next run, with nothing changed, keeps every object as it is.
        const PublishSummary again = s.Run();
        EXPECT_EQ(again.objects + again.unobjected, 0u);
    }
}

// The record's object lines round-trip; a damaged one is dropped, its
// object then verified again or pruned, never trusted.
TEST(PublishObjects, RecordLinesRoundTripAndDamageDropsThem) {
    PatchRecord record;
    record.publication = 4;
    record.objects[std::string(32, 'a')] = WrittenObject{6442450944, 1234, 3};
    record.objects[std::string(32, 'b')] = WrittenObject{0, 9, 4};
    PatchRecord read;
    ReadManifest(WriteManifest({}, record), &read);
    EXPECT_EQ(read, record);
    ReadManifest("corvel-publish written copies 3\r\n|object|3|" + std::string(32, 'A') + "|1|1\r\n|object|x|" +
                     std::string(32, 'a') + "|1|1\r\n|object|3|" + std::string(32, 'a') + "|1\r\n|object|3|" +
                     std::string(32, 'a') + "|1|1|1\r\n",
                 &read);
    EXPECT_TRUE(read.objects.empty());
}

// A list naming its objects installs, unchanged, through the readers that
// know only the .bz2 copies: the update run's and the publisher's own.
TEST(ListObjectsLine, ReadersThatDontKnowItReadTheListAsBefore) {
    TListContent content;
    content.rev = 7;
    content.mirrors = {"https://mirror.example/up/"};
    content.self = TListItem{"Updater.exe", std::string(32, 'a'), 10};
    content.critical = {{"system\\engine.dll", std::string(32, 'b'), 20, std::string(64, 'c')}};
    content.normal = {{"maps\\x.map", std::string(32, 'd'), 30}};
    content.patches = {TPatchLink{std::string(32, 'd'), std::string(32, 'e'), 5, 9, std::string(64, 'f')}};
    const std::string before = WriteList(content);
    content.objects = kObjectDir;
    const std::string after = WriteList(content);
    ASSERT_NE(after.find("\r\nObjects|objects/\r\n[/settings]\r\n"), std::string::npos) << after;

    scratch::Dir dir;
    auto read = [&](const std::string& text) {
        const std::string path = (dir.Native() / "files.lst").string();
        scratch::WriteAll(path, text);
        auto list = std::make_unique<TRunList>(path);
        ReadList(path, *list);
        return list;
    };
    const auto old = read(before);
    const auto now = read(after);
    EXPECT_EQ(now->rev, old->rev);
    EXPECT_EQ(now->mirrors, old->mirrors);
    EXPECT_EQ(now->self.Body(), old->self.Body());
    EXPECT_EQ(now->critical.Body(), old->critical.Body());
    EXPECT_EQ(now->normal.Body(), old->normal.Body());
    EXPECT_EQ(now->patches.Body(), old->patches.Body());
    EXPECT_EQ(now->normal.size(), 1u);
    const auto previous = ReadPreviousList(before), current = ReadPreviousList(after);
    ASSERT_EQ(current.size(), 3u);
    ASSERT_EQ(current.size(), previous.size());
    for (const auto& [path, entry] : previous) {
        EXPECT_EQ(current.at(path).digest, entry.digest) << path;
        EXPECT_EQ(current.at(path).size, entry.size) << path;
    }
}

}  // namespace
