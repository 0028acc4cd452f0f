#include "formats/Classes.h"

#include "tests/unit/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using os::SeekOrigin;

std::string ReadAll(TStream& s) {
    std::string out(static_cast<std::size_t>(s.Size() - s.Position()), '\0');
    s.ReadBuffer(out.data(), out.size());
    return out;
}

TEST(MemoryStream, GrowsSeeksAndReadsBack) {
    TMemoryStream s;
    s.WriteBuffer("hello", 5);
    EXPECT_EQ(s.Position(), 5);
    s.SetPosition(8);  // a write past the end leaves a zero-filled gap
    s.WriteBuffer("!", 1);
    EXPECT_EQ(s.Size(), 9);
    EXPECT_EQ(s.Position(), 9);  // Size restores the position
    EXPECT_EQ(s.Seek(-4, SeekOrigin::End), 5);
    EXPECT_EQ(ReadAll(s), std::string("\0\0\0!", 4));
    char c = 'x';
    EXPECT_EQ(s.Read(&c, 1), 0u);
    s.SetPosition(1);
    EXPECT_EQ(s.Seek(2, SeekOrigin::Current), 3);
    EXPECT_EQ(ReadAll(s), std::string("lo\0\0\0!", 6));
    EXPECT_THROW(s.Seek(-1, SeekOrigin::Begin), EStreamError);
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);
    s.SetPosition(0);
    EXPECT_EQ(ReadAll(s), "he");
}

// A stream that hands out at most one byte per call and stores at most
// `room` bytes.
class TrickleStream : public TMemoryStream {
public:
    explicit TrickleStream(std::size_t room) : room_(room) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        return TMemoryStream::Read(buffer, std::min<std::size_t>(count, 1));
    }
    std::size_t Write(const void* buffer, std::size_t count) override {
        const std::size_t n = std::min(count, room_);
        room_ -= n;
        return TMemoryStream::Write(buffer, n);
    }

private:
    std::size_t room_;
};

TEST(MemoryStream, BufferCallsNeedEveryByte) {
    TrickleStream s(4);
    EXPECT_THROW(s.WriteBuffer("abcdef", 6), EWriteError);
    s.SetPosition(0);
    char buf[4];
    s.ReadBuffer(buf, 4);  // several short reads make one full one
    EXPECT_EQ(std::string(buf, 4), "abcd");
    s.SetPosition(1);
    EXPECT_THROW(s.ReadBuffer(buf, 4), EReadError);
}

class FileStreamTest : public ::testing::Test {
protected:
    scratch::Dir dir_;
    std::string path_ = dir_ / "stream.bin";
};

TEST_F(FileStreamTest, CreateWriteReopenRead) {
    {
        TFileStream out(path_, TFileStream::Mode::Create, os::Share::None);
        const std::string block(100000, 'q');
        out.WriteBuffer(block.data(), block.size());
        EXPECT_EQ(out.Write("end", 3), 3u);
        EXPECT_EQ(out.Size(), 100003);
        out.SetPosition(0);
        EXPECT_EQ(ReadAll(out).substr(99998), "qqend");
    }
    {
        TFileStream in(path_, TFileStream::Mode::OpenRead, os::Share::Read);
        EXPECT_EQ(in.Seek(-3, SeekOrigin::End), 100000);
        EXPECT_EQ(ReadAll(in), "end");
    }
    TFileStream again(path_, TFileStream::Mode::Create, os::Share::None);  // truncates
    EXPECT_EQ(again.Size(), 0);
}

TEST_F(FileStreamTest, OpenAndCreateFailuresCarryTheSystemCode) {
    const std::string missing = path_ + ".absent";
    try {
        TFileStream s(missing, TFileStream::Mode::OpenRead, os::Share::Read);
        FAIL() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.ErrorCode, 0);
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos);
    }
    try {
        TFileStream s(missing + "/sub/file", TFileStream::Mode::Create, os::Share::None);
        FAIL() << "created a file in a missing directory";
    } catch (const EFCreateError& e) {
        EXPECT_NE(e.ErrorCode, 0);
    }
}

#ifdef _WIN32
TEST_F(FileStreamTest, UnsharedFileCannotBeOpenedAgain) {
    TFileStream held(path_, TFileStream::Mode::Create, os::Share::None);
    EXPECT_THROW(TFileStream(path_, TFileStream::Mode::OpenRead, os::Share::ReadWrite), EFOpenError);
    EXPECT_THROW(TFileStream(path_, TFileStream::Mode::Create, os::Share::ReadWrite), EFCreateError);
}
#endif

}  // namespace
