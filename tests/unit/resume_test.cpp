// The pieces of a resumed download that a server or a planted file could
// turn against us: the names of partial copies, the validator we send, the
// Content-Range we trust, and reopening a partial copy.
#include "engine/fetch/Resume.h"
#include "platform/os.h"
#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {
const std::string kDigest = "0123456789ABCDEF0123456789abcdef";
}

TEST(PartialCopies, NamesSayWhoseCopyAndOnlyListedOnesAreKept) {
    EXPECT_EQ(TPartialCopies::Name("data\\a.dat", kDigest, 5000000000ull),
              "data\\a.dat.~corvel-resume-0123456789abcdef0123456789abcdef-5000000000");
    EXPECT_EQ(TPartialCopies::Name("a.dat", "not a digest", 1), "");
    EXPECT_EQ(TPartialCopies::Name("a.dat", kDigest + "0", 1), "");
    EXPECT_EQ(TPartialCopies::Name("a.dat", "0123456789abcdef0123456789abcdeg", 1), "");

    // Entries too small to be continued keep no partial copy: one an
    // earlier run left goes with the sweep.
    const std::uint64_t size = kResumableSize;
    TPartialCopies partials;
    partials.Keep("data\\a.dat", kDigest, size);
    partials.Keep("data\\small.dat", kDigest, size - 1);
    partials.Seal();
    const std::string name = TPartialCopies::Name("data\\a.dat", kDigest, size);
    EXPECT_TRUE(partials.Kept(name));
    EXPECT_TRUE(partials.Kept(name + ".tag"));
    // As Windows folds names:
    EXPECT_TRUE(partials.Kept("DATA/A.DAT.~corvel-resume-0123456789ABCDEF0123456789ABCDEF-" + std::to_string(size)));
    EXPECT_FALSE(partials.Kept(TPartialCopies::Name("data\\a.dat", kDigest, size + 1)));           // size changed
    EXPECT_FALSE(partials.Kept(TPartialCopies::Name("data\\a.dat", std::string(32, 'f'), size)));  // digest changed
    EXPECT_FALSE(partials.Kept(TPartialCopies::Name("data\\b.dat", kDigest, size)));               // another entry
    EXPECT_FALSE(partials.Kept(TPartialCopies::Name("data\\small.dat", kDigest, size - 1)));
    EXPECT_FALSE(partials.Kept(name + ".tag.tag"));
}

TEST(HttpRange, ValidatorsThatCouldAddHeadersAreRefused) {
    EXPECT_TRUE(os::SafeHttpValidator("\"5f8a1b2c-20000000\""));
    EXPECT_TRUE(os::SafeHttpValidator("Tue, 08 Dec 2026 06:00:00 GMT"));
    EXPECT_FALSE(os::SafeHttpValidator(""));
    EXPECT_FALSE(os::SafeHttpValidator("\"x\"\r\nX-Evil: 1"));
    EXPECT_FALSE(os::SafeHttpValidator("\"x\"\n"));
    EXPECT_FALSE(os::SafeHttpValidator(std::string("\"x\0y\"", 5)));
    EXPECT_FALSE(os::SafeHttpValidator("\"caf\xE9\""));
    EXPECT_FALSE(os::SafeHttpValidator(std::string(513, 'a')));
    EXPECT_TRUE(os::SafeHttpValidator(std::string(512, 'a')));
}

TEST(HttpRange, ContentRangeGivesTheFirstByteOrNothing) {
    EXPECT_EQ(os::ParseContentRangeStart("bytes 100-199/200"), 100);
    EXPECT_EQ(os::ParseContentRangeStart(" bytes 0-0/1"), 0);
    EXPECT_EQ(os::ParseContentRangeStart("bytes 4294967296-6442450943/6442450944"), 4294967296ll);
    EXPECT_EQ(os::ParseContentRangeStart("bytes 100-199/*"), 100);
    EXPECT_EQ(os::ParseContentRangeStart(""), -1);
    EXPECT_EQ(os::ParseContentRangeStart("bytes */200"), -1);  // a 416's
    EXPECT_EQ(os::ParseContentRangeStart("bytes 200-100/300"), -1);
    EXPECT_EQ(os::ParseContentRangeStart("bytes 100-/200"), -1);
    EXPECT_EQ(os::ParseContentRangeStart("items 1-2/3"), -1);
    EXPECT_EQ(os::ParseContentRangeStart("bytes -5-10/20"), -1);
    EXPECT_EQ(os::ParseContentRangeStart("bytes 99999999999999999999-1/2"), -1);
}

// A partial copy is continued only from a plain file with a sendable
// validator; anything else at its names is removed, never followed.
TEST(PartialCopies, OnlyPlainPartialCopiesAreContinued) {
    scratch::Dir dir;
    const std::string partial = dir / "a.dat.~corvel-resume-x";
    const std::string tag = partial + ".tag";
    scratch::WriteAll(dir.Native() / "a.dat.~corvel-resume-x", "12345");
    scratch::WriteAll(dir.Native() / "a.dat.~corvel-resume-x.tag", "\"v1\"");
    {
        auto point = TPartialCopies::Open(partial, 100);
        ASSERT_TRUE(point);
        EXPECT_EQ(point->offset, 5u);
        EXPECT_EQ(point->validator, "\"v1\"");
        EXPECT_EQ(point->file.Write("678", 3), 3u);  // appended
    }
    EXPECT_EQ(scratch::ReadAll(dir.Native() / "a.dat.~corvel-resume-x"), "12345678");

    // Not below the limit: a copy that can't be the beginning of the entry's.
    EXPECT_FALSE(TPartialCopies::Open(partial, 8));
    EXPECT_FALSE(os::NameTaken(partial) || os::NameTaken(tag));

    // A partial copy without its validator, and one that is empty.
    scratch::WriteAll(dir.Native() / "a.dat.~corvel-resume-x", "123");
    EXPECT_FALSE(TPartialCopies::Open(partial, 100));
    EXPECT_FALSE(os::NameTaken(partial));
    scratch::WriteAll(dir.Native() / "a.dat.~corvel-resume-x", "");
    scratch::WriteAll(dir.Native() / "a.dat.~corvel-resume-x.tag", "\"v1\"");
    EXPECT_FALSE(TPartialCopies::Open(partial, 100));
    EXPECT_FALSE(os::NameTaken(partial) || os::NameTaken(tag));

#ifndef _WIN32
    // Links and special files at either name.
    const auto victim = dir.Native() / "victim";
    scratch::WriteAll(victim, "precious");
    const auto p = dir.Native() / "a.dat.~corvel-resume-x";
    const auto t = dir.Native() / "a.dat.~corvel-resume-x.tag";
    for (int kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(kind);
        scratch::WriteAll(p, "123");
        scratch::WriteAll(t, "\"v1\"");
        if (kind == 0) {
            std::filesystem::remove(p);
            std::filesystem::create_symlink(victim, p);
        }
        if (kind == 1) {
            std::filesystem::remove(p);
            std::filesystem::create_hard_link(victim, p);
        }
        if (kind == 2) {
            std::filesystem::remove(t);
            std::filesystem::create_symlink(victim, t);
        }
        if (kind == 3) {
            std::filesystem::remove(p);
            ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
        }
        if (kind == 4) {
            std::filesystem::remove(p);
            std::filesystem::create_directory(p);
        }
        EXPECT_FALSE(TPartialCopies::Open(partial, 100));
        EXPECT_EQ(scratch::ReadAll(victim), "precious");
        EXPECT_EQ(std::filesystem::hard_link_count(victim), 1u);
        if (kind != 4) {
            EXPECT_FALSE(os::NameTaken(partial) || os::NameTaken(tag));
        }
        std::filesystem::remove_all(p);
    }
#endif
}
