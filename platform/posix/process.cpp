// The current directory and starting programs on POSIX. Children are never
// waited for by the caller; a detached thread reaps each one so that no
// zombie outlives it.
#include "platform/os.h"
#include "platform/codepage.h"
#include "platform/posix/paths.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace os {

using codepage::Cp1252ToUtf8;
using posix::NativePath;

std::string GetCurrentDir() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    // The engine builds every path by appending to this text in its own code
    // page. A directory that the code page can't name is still reached
    // relatively.
    std::string ansi;
    if (codepage::Utf8ToCp1252(buffer, ansi) != codepage::TDecode::Ok) return ".";
    return ansi;
}

void SetCurrentDir(const std::string& path) {
    if (::chdir(NativePath(path).c_str()) != 0) RaiseLastError(path);
}

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExecutableDir() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    std::string path(buffer, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

// Finds a program the way Windows does for a relative name: beside our own
// executable first, then from the current directory. Empty when neither has
// it (a bare name is then looked up in PATH by the spawn).
std::string FindProgram(const std::string& program) {
    if (program.empty()) return {};
    if (program.front() == '/') return IsRegularFile(program) ? program : std::string{};
    const std::string besideUs = ExecutableDir() + "/" + program;
    if (IsRegularFile(besideUs)) return besideUs;
    if (IsRegularFile(program)) return program.find('/') == std::string::npos ? "./" + program : program;
    return {};
}

// Blank-separated words; double quotes group blanks and are dropped.
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

void SpawnDetached(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // The child starts with no blocked signals and the default SIGPIPE,
    // whatever this process has set up for itself.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return;
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &pipe);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return;
    try {
        std::thread([pid] {
            int status;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to spare: the child still runs, and becomes a zombie
        // only until we exit.
    }
}

}  // namespace

void StartProgram(const std::string& commandLine) {
    // A whole line that names a file is one program, blanks and all (as
    // Windows tries it); otherwise the first word is the program.
    const std::string whole = NativePath(commandLine);
    std::string program = FindProgram(whole);
    std::vector<std::string> args;
    if (!program.empty()) {
        args.push_back(whole);
    } else {
        args = SplitCommandLine(commandLine);
        if (args.empty()) return;
        args[0] = NativePath(args[0]);
        for (std::size_t i = 1; i < args.size(); ++i) args[i] = Cp1252ToUtf8(args[i]);
        program = FindProgram(args[0]);
        if (program.empty()) program = args[0];
    }
    SpawnDetached(program, args);
}

void StartCommandScript(const std::string&, const std::string&) {}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

void OpenAddress(const std::string& address) { SpawnDetached("xdg-open", {"xdg-open", Cp1252ToUtf8(address)}); }

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

}  // namespace os
