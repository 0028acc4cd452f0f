// Files held by another program, as a running game holds its data: the run
// names the program and its pid, keeps the old file, and fetches nothing it
// could not put in place; once the program ends, the next run completes.
// Windows only: only its files have sharing modes.
#include "tests/e2e/engine_fixture.h"

#include "platform/os.h"

#include <windows.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace {

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void Close() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
        h_ = nullptr;
    }
    HANDLE get() const { return h_; }
    HANDLE* put() {
        Close();
        return &h_;
    }

private:
    HANDLE h_;
};

// The holder program, built beside this test program.
fs::path HolderProgram() {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return fs::path(self).parent_path() / "engine_holdfile.exe";
}

// A program that holds a file open with a given sharing until Release (or
// the end of the test). Its standard input is a pipe the test holds: when
// the test ends by any way, the pipe closes and so does the program.
class THolder {
public:
    THolder(const fs::path& program, const fs::path& file, const std::wstring& share) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        Handle inRead, outWrite;
        if (!::CreatePipe(inRead.put(), input_.put(), &inherit, 0) ||
            !::CreatePipe(output_.put(), outWrite.put(), &inherit, 0)) {
            ADD_FAILURE() << "pipes: " << ::GetLastError();
            return;
        }
        // The test's own ends stay with the test.
        ::SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead.get();
        startup.hStdOutput = outWrite.get();
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        std::wstring commandLine = L"\"" + program.wstring() + L"\" \"" + file.wstring() + L"\" " + share;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                              nullptr, nullptr, &startup, &info)) {
            ADD_FAILURE() << "start " << program << ": " << ::GetLastError();
            return;
        }
        *process_.put() = info.hProcess;
        Handle thread(info.hThread);
        pid_ = info.dwProcessId;
        inRead.Close();
        outWrite.Close();
        // It says "held" once the file is open, or ends (the pipe breaks).
        std::string said;
        char buffer[16];
        DWORD got = 0;
        while (said.find('\n') == std::string::npos &&
               ::ReadFile(output_.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
            said.append(buffer, got);
        }
        held_ = said == "held\n";
        if (!held_) ADD_FAILURE() << "the holder did not hold " << file << ": '" << said << "'";
    }
    ~THolder() { Release(); }
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;

    bool Held() const { return held_; }
    std::uint32_t Pid() const { return pid_; }

    // Ends the holder and waits for it (generously: Wine may be slow to
    // start its process teardown); true once it has ended.
    bool Release() {
        input_.Close();
        if (process_.get() == nullptr) return true;
        const bool ended = ::WaitForSingleObject(process_.get(), 60000) == WAIT_OBJECT_0;
        if (ended) process_.Close();
        return ended;
    }

private:
    Handle input_, output_, process_;
    std::uint32_t pid_ = 0;
    bool held_ = false;
};

// Whether a request for name is among the requests after the first `from`.
bool Requested(const std::vector<std::string>& requests, const std::string& name, std::size_t from = 0) {
    return std::any_of(requests.begin() + static_cast<std::ptrdiff_t>(std::min(from, requests.size())), requests.end(),
                       [&name](const std::string& line) { return line.find(name) != std::string::npos; });
}

class EngineHeld : public EngineRun {
protected:
    // The holder is started from the install directory, as the game is: when
    // the system can't say who holds a file, the run names the programs
    // started from there.
    void SetUp() override {
        EngineRun::SetUp();
        program_ = installDir_ / "gc.exe";
        fs::copy_file(HolderProgram(), program_);
    }
    fs::path program_;
};

}  // namespace

// The game holds its data with read sharing: the file can be read, so a new
// copy is fetched, but it can't be replaced while the game runs.
TEST_F(EngineHeld, ReplacingAFileTheGameReadsNamesTheGameAndInstallsOnceItEnds) {
    const std::string old = "old data", fresh = "new data, longer";
    Publish({{"data.pak", {fresh, true}}});
    WriteLocal("data.pak", old);
    THolder game(program_, Local("data.pak"), L"read");
    ASSERT_TRUE(game.Held());

    TDirectSynchronizer sync;
    GFilesThread logged(view_, sync);
    logged.SelfMode = TSelfMode::OrdinaryFile;
    logged.LogFile = "CorvelUpdater.log";
    EXPECT_FALSE(RunIn(logged));

    EXPECT_THAT(view_.entries, ElementsAre("data.pak failed"));
    EXPECT_THAT(view_.reasons, ElementsAre(TFault::InUse));
    EXPECT_EQ(view_.runFailure.fault, TFault::InUse);
    EXPECT_EQ(view_.runFailure.path, "data.pak");
    EXPECT_EQ(view_.runFailure.holder, "gc.exe");
    EXPECT_EQ(view_.runFailure.holderPid, game.Pid());
    const std::string named = "in use by gc.exe (pid " + std::to_string(game.Pid()) + ")";
    EXPECT_EQ(DescribeFailure(view_.runFailure), named);
    // The log keeps the system's own words beside the named fault.
    const std::string log = ReadLocal("CorvelUpdater.log");
    EXPECT_NE(log.find("failed     data.pak: " + named + " ("), std::string::npos) << log;
    EXPECT_NE(log.find(os::ErrorText(view_.runFailure.code)), std::string::npos) << log;
    EXPECT_EQ(ReadLocal("data.pak"), old);

    ASSERT_TRUE(game.Release());
    EXPECT_TRUE(Run());
    EXPECT_EQ(ReadLocal("data.pak"), fresh);
    EXPECT_THAT(view_.entries, ElementsAre("data.pak ok"));
}

// Held without sharing, a file can't even be read: the check reports it in
// use and fetches nothing for it, whether it is current or not; the other
// entries are installed as usual.
TEST_F(EngineHeld, AFileThatCantBeReadBecauseItIsHeldIsReportedNotFetched) {
    const std::string current = "current data", other = "other file";
    Publish({{"current.pak", {current, true}}, {"other.txt", {other, true}}});
    WriteLocal("current.pak", current);
    THolder game(program_, Local("current.pak"), L"none");
    ASSERT_TRUE(game.Held());
    const std::size_t before = Requests().size();

    EXPECT_FALSE(Run());

    EXPECT_THAT(view_.entries, ElementsAre("current.pak failed", "other.txt ok"));
    EXPECT_THAT(view_.reasons, ElementsAre(TFault::InUse, TFault::None));
    EXPECT_EQ(view_.runFailure.fault, TFault::InUse);
    EXPECT_EQ(view_.runFailure.path, "current.pak");
    EXPECT_EQ(view_.runFailure.holder, "gc.exe");
    EXPECT_EQ(view_.runFailure.holderPid, game.Pid());
    EXPECT_FALSE(Requested(Requests(), "current.pak.bz2", before));
    EXPECT_TRUE(Requested(Requests(), "other.txt.bz2", before));
    EXPECT_EQ(view_.log.back(), "End");

    // The player closes the game and checks again: nothing left to fetch.
    ASSERT_TRUE(game.Release());
    EXPECT_TRUE(Run());
    EXPECT_EQ(ReadLocal("current.pak"), current);
    EXPECT_FALSE(Requested(Requests(), "current.pak.bz2", before));
}

TEST_F(EngineHeld, AChangedFileHeldWithoutSharingIsFetchedOnlyOnceReleased) {
    const std::string old = "old data", fresh = "new data, longer";
    Publish({{"data.pak", {fresh, true}}});
    WriteLocal("data.pak", old);
    THolder game(program_, Local("data.pak"), L"none");
    ASSERT_TRUE(game.Held());
    const std::size_t before = Requests().size();

    EXPECT_FALSE(Run());

    EXPECT_THAT(view_.reasons, ElementsAre(TFault::InUse));
    EXPECT_EQ(view_.runFailure.holder, "gc.exe");
    EXPECT_EQ(view_.runFailure.holderPid, game.Pid());
    const std::size_t afterHeld = Requests().size();
    EXPECT_FALSE(Requested(Requests(), "data.pak.bz2", before));

    ASSERT_TRUE(game.Release());
    EXPECT_TRUE(Run());
    EXPECT_EQ(ReadLocal("data.pak"), fresh);
    EXPECT_TRUE(Requested(Requests(), "data.pak.bz2", afterHeld));
}
