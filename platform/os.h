// The one seam to the operating system. Engine and formats reach files,
// processes and HTTP only through here; platform/win32 and platform/posix
// implement it.
//
// Paths are byte strings in the file list's code page (Windows-1252) with
// "\" between directory names, exactly as the engine builds them: the
// install directory (GetCurrentDir) followed by list names. Windows converts
// them to UTF-16 for the wide calls, the POSIX backend turns "\" into "/"
// and the code page into UTF-8, here and nowhere else. An install directory
// without a Windows-1252 spelling still works: GetCurrentDir names it by a
// form of its own that only the seam reads (a token on Windows, "." on
// POSIX); the engine just appends to it.
#pragma once

#include "platform/codepage.h"
#include "platform/errors.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace os {

// ---- errors ---------------------------------------------------------------

// The calling thread's last system error code (GetLastError / errno).
int LastErrorCode();
// The system's text for an error code.
std::string ErrorText(int code);
// The system's own text for a code as it gives it, without the line break
// at its end; empty when the system has none. ErrorText adds a fallback.
std::string SystemMessage(int code);
// EInOutError for a system error code the caller holds, with what failed
// (a path) and the system's text for the code in its message.
[[noreturn]] void RaiseError(int code, const std::string& what);
// RaiseError for the calling thread's last system error, read right after
// the call that failed.
[[noreturn]] void RaiseLastError(const std::string& what);
// RaiseError for a file (an engine path) that could not be read, written
// or replaced: InUse, naming the program, when another program holds it
// (see "files held by other programs").
[[noreturn]] void RaiseFileError(int code, const std::string& path);

// ---- files ----------------------------------------------------------------

// What other handles may do with a file while this one is open (Windows
// only; POSIX has no mandatory sharing).
enum class Share { None, Read, ReadWrite };

enum class SeekOrigin { Begin, Current, End };

class File;
class WritableMapping;
std::unique_ptr<WritableMapping> MapFileWritable(File& file, std::uint64_t size);

// An open file; closed by the destructor.
class File {
public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // Opens an existing file for reading. Raises EInOutError; InUse (see
    // "files held by other programs") when another program holds it.
    static File OpenRead(const std::string& path, Share share);
    // Creates a file, truncating an existing one, for reading and writing.
    // Raises EInOutError, InUse as OpenRead.
    static File Create(const std::string& path, Share share);
    // Creates a file that must not exist yet, for reading and writing.
    // Raises EInOutError when anything already stands at the name, a link
    // (even a dangling one) included: a planted link is never written
    // through and an existing file is never truncated.
    static File CreateNew(const std::string& path, Share share);
    // Opens an existing file of our own for reading and writing (a partial
    // download to be continued). Threat: a link planted at the name would
    // have the run append to, or read, a file elsewhere; so anything but a
    // plain file with a single name (a symbolic link, a hard link, a
    // reparse point, a directory, a device) is refused with EInOutError.
    static File OpenOwn(const std::string& path, Share share);

    // Reads up to count bytes; 0 at the end. Raises EInOutError.
    std::size_t Read(void* buffer, std::size_t count);
    // Writes up to count bytes and returns how many were written (a full
    // disk may write fewer). Raises EInOutError on an error.
    std::size_t Write(const void* buffer, std::size_t count);
    // Moves the file position; returns the new position. Raises EInOutError.
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin);
    std::int64_t Size();
    // Closes the file, raising EInOutError when that fails (a delayed write
    // error). The destructor closes silently.
    void Close();
    bool IsOpen() const;

private:
    friend std::unique_ptr<WritableMapping> MapFileWritable(File& file, std::uint64_t size);
    std::intptr_t handle_ = -1;
};

// A read-only view of a whole file; unmapped (view, mapping, file, in that
// order) by the destructor.
class Mapping {
public:
    virtual ~Mapping() = default;
    std::span<const std::uint8_t> Data() const { return data_; }
    // The bytes before offset won't be read again: their pages may leave
    // the process's memory, so a large file doesn't fill it.
    virtual void Discard(std::size_t offset) = 0;
    // True when the bytes are a copy in memory rather than a view of the
    // file: reading them can't fault, so they need no guard.
    bool Copied() const { return copied_; }

protected:
    std::span<const std::uint8_t> data_;
    bool copied_ = false;
};

// A writable view of a whole file the run writes into (a temporary); the
// view and its mapping are released by the destructor, the file stays open.
class WritableMapping {
public:
    virtual ~WritableMapping() = default;
    std::span<std::uint8_t> Data() const { return data_; }
    // The bytes before offset are written and needed rarely if at all:
    // their pages may leave the process's memory (they stay in the file,
    // and come back when read).
    virtual void Discard(std::size_t offset) = 0;

protected:
    std::span<std::uint8_t> data_;
};

// Makes file (open for reading and writing) size bytes long, with its
// blocks reserved where the system can (a write into a hole of a full disk
// would fault instead of failing), and maps it whole for writing. Raises
// EInOutError (a full disk, a size the address space can't hold, 0 bytes).
// MapFileWritable is declared with File above.

// Maps a whole file read-only, opened for reading with read and write
// sharing and the sequential-scan hint. Null when the file can't be opened
// or mapped; an empty file can't be mapped.
std::unique_ptr<Mapping> MapFileReadOnly(const std::string& path);
// The same for a native path (the tools' kind of name, see below).
std::unique_ptr<Mapping> MapNativeFileReadOnly(const std::filesystem::path& path);

// Runs fn, which reads the mapped view. Returns false, instead of crashing,
// when a page of that view can't be read (the file shrank under it, or its
// medium vanished); fn is then abandoned where it stood, so it must own
// nothing that needs unwinding. A fault at any other address is a bug and
// ends the process as usual.
bool GuardedMappedRead(std::span<const std::uint8_t> view, const std::function<void()>& fn);

// True for an existing file that is not a directory.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// True when anything stands at the name: a file, a directory, or a link,
// whether or not it leads anywhere (the link itself is looked at).
bool NameTaken(const std::string& path);
// The names (without the directory) of everything in a directory that is
// not a directory itself: files and links. Empty when it can't be read.
std::vector<std::string> ListFileNames(const std::string& dir);
// Creates a directory with every missing parent. Raises EInOutError.
void ForceDirectories(const std::string& path);
// Deletes a file; false when it could not be deleted (a missing file too).
bool DeleteFile(const std::string& path);
// Replaces target by source in one rename (an existing target is replaced).
// Raises EInOutError; InUse when another program holds the target (a
// replace over a file held open fails as access denied on Windows).
void ReplaceFile(const std::string& source, const std::string& target);
// Renames source to target when nothing stands there; false (and nothing
// moved) when something does, or where that can't be told apart here.
// Meant for a name found missing: under Wine the final name is taken exactly
// as given, without looking for it in another case. Raises EInOutError.
bool RenameToNewName(const std::string& source, const std::string& target);

// Whether every directory on the way from dir to relative's last name
// ("\" or "/" separated) is a directory of its own: none is a symbolic link,
// junction or other reparse point, and each exists. Threat: a removal
// through a link planted below the install folder (or named by a record
// someone else wrote) would delete a file outside it; callers remove
// nothing when this is false. The last name itself is not looked at: a link
// there is removed, never followed.
bool PlainWayDown(const std::string& dir, std::string_view relative);

// The process's current directory, without a trailing separator unless it
// is a root. A directory without a Windows-1252 spelling comes back in a form
// only the seam reads, to be appended to, never shown or parsed.
std::string GetCurrentDir();
// Makes a directory the process's current directory. Raises EInOutError.
void SetCurrentDir(const std::string& path);

// ---- processes ------------------------------------------------------------

// A moment as the player's own clock shows it (thread-safe).
std::tm LocalTime(std::time_t when);

// Starts a command line without waiting for it; the new program's first
// window is shown restored. A program that does not start is not reported.
void StartProgram(const std::string& commandLine);
// Runs script (a bare file name in dir) with the system's own command
// interpreter, by its full path ("<system directory>\cmd.exe /d /c script")
// and dir as its current directory, without waiting: no folder name is on
// the command line for the interpreter to take as its syntax. POSIX has no
// interpreter for these scripts: nothing starts there. Like StartProgram,
// a script that does not start is not reported.
void StartCommandScript(const std::string& dir, const std::string& script);
// This process's id, as the system's tools (taskkill) name it.
std::uint32_t CurrentProcessId();
// Opens an address with the user's default handler; the result is ignored.
void OpenAddress(const std::string& address);

// ---- files held by other programs, and free space ---------------------------
//
// A file another program holds (on Windows; POSIX never locks files) fails
// to open or be replaced with TFault::InUse, and the EInOutError names the
// program as it is raised: the one the Restart Manager names where the
// system has a working one, or else the first whose executable lies inside
// the current directory, the install's during a run (the game the player
// left running). Holder stays empty when none can be named.

// The bytes this user may still write on the volume that holds dir;
// nullopt when the system can't tell.
std::optional<std::uint64_t> FreeSpace(const std::string& dir);

// ---- native paths and the console (the tools) ------------------------------
//
// The tools name files by std::filesystem::path, the system's own kind of
// path (UTF-16 on Windows): a directory they are given need not fit the
// list's code page. List paths reach native ones only through these calls.

// The program's arguments after its name. Windows reads the wide command
// line: the ANSI one has already lost what the code page can't hold.
std::vector<std::filesystem::path> ProgramArguments(int argc, char** argv);

// A native name in Windows-1252, with the mapping Windows uses and no
// best-fit substitutes. NotUtf8 only on POSIX, whose names are bytes.
codepage::TDecode NativeToCp1252(const std::filesystem::path& name, std::string& out);
// A native name from list bytes: decoded from Windows-1252 on Windows; on
// POSIX the bytes are the name as they are, so a web server that maps the
// bytes of a request to a name finds the file.
std::filesystem::path NativeFromListBytes(std::string_view bytes);
// A native path's bytes for a message: UTF-8 on Windows, the name's own
// bytes on POSIX.
std::string NativeDisplayBytes(const std::filesystem::path& path);

struct StdioCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using StdioFile = std::unique_ptr<std::FILE, StdioCloser>;
enum class StdioMode { Read, Write, Append };
// Opens a C stream on a native path ("rb", "wb" or "ab"); a stream for reading
// gets the sequential-scan hint. Null, with errno set, when it can't be
// opened.
StdioFile OpenStdio(const std::filesystem::path& path, StdioMode mode);

// Replaces target by source in one rename (an existing target included).
// The system's error when it failed.
std::error_code RenameReplacing(const std::filesystem::path& source, const std::filesystem::path& target);

// Makes a directory named by the system (a command-line argument from
// ProgramArguments, not a list path) current. False, with LastErrorCode()
// set, when it can't be entered.
bool EnterDirectory(const std::filesystem::path& dir);

// True when standard error is a terminal: a progress line is drawn there.
bool StandardErrorIsTerminal();
// Makes the console show Windows-1252 text as it is (Windows switches its
// output code page; a POSIX terminal needs nothing).
void SetConsoleToListCodePage();
// Windows-1252 text as the console shows it: unchanged on Windows, after
// SetConsoleToListCodePage; UTF-8 on POSIX.
std::string ConsoleText(const std::string& cp1252);
// Has the first Ctrl+C (or Ctrl+Break) in the console call onInterrupt
// instead of ending the program; a second one ends it as usual. It runs in
// a signal handler (POSIX) or on a thread of the system's (Windows), so it
// may do no more than store into a lock-free atomic.
void OnConsoleInterrupt(void (*onInterrupt)());

// ---- HTTP -----------------------------------------------------------------

// The body of one HTTP GET. Destroying it before the end abandons the
// transfer (its connection is then not reused).
class HttpResponse {
public:
    virtual ~HttpResponse() = default;
    // Reads up to count bytes of the body; 0 once it has all arrived. Raises
    // EInOutError when the transfer breaks, averages less than 1 KiB a
    // second over any stall-timeout window while the caller waits for it (a
    // trickle as well as a stop; see HttpPace.h), or ends short of
    // its declared length: a cut body is never a short success. Raises it
    // with TFault::Stopped within about a second of its session's stop
    // being asked, whatever the server does meanwhile.
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    // The final answer's status code (200, 206, 416, ...).
    virtual int Status() const = 0;
    // What identifies the copy the server sent, for a later If-Range: its
    // strong ETag, else its Last-Modified date; empty when it gave neither.
    virtual std::string Validator() const = 0;
    // For a 206 answer, the first byte's offset as its Content-Range says;
    // -1 when there is no Content-Range or it can't be read.
    virtual std::int64_t RangeStart() const = 0;
};

// Asks only for the bytes from an offset on, and only while the copy is
// still the one a validator names (Range with If-Range): the server answers
// 206 with those bytes, or 200 with the whole copy.
struct HttpRange {
    std::uint64_t from = 0;
    std::string validator;
};

// One server's silence, shared by every request of a run to it: once one
// has waited its whole answerWithin without an answer, the server is silent
// for the others, those waiting and those to come, which end at once as
// unanswered rather than each wait a bound of its own. Thread-safe.
class HttpSilence {
public:
    bool Silent() const { return silent_.load(); }
    void Declare() { silent_.store(true); }

private:
    std::atomic<bool> silent_{false};
};

// How one request is made. revalidate asks every cache on the way to check
// with the server (Cache-Control and Pragma: no-cache): for what is replaced
// under the same name on each publication (the list and its signature).
// answerWithin bounds the wait for the answer to begin, counted from when
// the request leaves the session's own queue (connection included), apart
// from the stall rule (0: the stall window alone). silence: the server's,
// declared when answerWithin passes, and asked while the answer is awaited.
struct HttpOptions {
    const HttpRange* range = nullptr;
    bool revalidate = false;
    std::chrono::milliseconds answerWithin{0};
    HttpSilence* silence = nullptr;
};

// What a run shares between its requests: the system's proxy settings read
// once, and persistent connections, so sequential requests to one server go
// over one connection instead of one each. A session makes its requests one
// at a time, from one thread at a time; sessions forked from one another
// make theirs at the same time, from threads of their own, over connections
// they share. A response may outlive its session.
class HttpSession {
public:
    // The agent string goes with every request.
    explicit HttpSession(const std::string& agent);
    HttpSession(HttpSession&& other) noexcept;
    HttpSession& operator=(HttpSession&& other) noexcept;
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;
    ~HttpSession();

    // Opens a URL through the system's proxy settings, never from a cache and
    // without writing one. Null when it can't be opened (no connection, bad
    // URL, no answer within the stall timeout).
    // With a range, only the bytes it asks for are requested; a validator
    // that could carry other headers (a control character) is not sent and
    // the request is not made (null). Raises EInOutError with
    // TFault::Stopped when the stop is asked before the answer has begun.
    std::unique_ptr<HttpResponse> Open(const std::string& url, const HttpRange* range = nullptr);
    std::unique_ptr<HttpResponse> Open(const std::string& url, const HttpOptions& options);
    // Why the session's last Open gave null: CannotConnect, with the
    // system's words or "no answer within N s" in its text.
    TFailure OpenFailure() const;
    // Starts a request now, without waiting, for a later Open of the same
    // URL and options (no range) to take: so one thread has several
    // requests in flight, their answers arriving meanwhile, over HTTP/2 as
    // streams of one connection. Opens take them in the order they were
    // prefetched: one opened drops those prefetched before it, and the
    // session drops those never opened. WinInet starts a request only when
    // it is opened: there this does nothing.
    void Prefetch(const std::string& url, const HttpOptions& options);

    // What tells the session's transfers to give up: asked while they wait
    // for the server (at least every 100 ms), and by each response opened
    // after it is set, for as long as that response lives. Null: never.
    // Set between requests, from the thread that makes them.
    void SetStop(std::function<bool()> stopped);
    // The run's rate limit in bytes per second (0: none), asked when a new
    // connection is made. A limited run reads slowly, and a server fills
    // whatever the system buffers for the connection at full speed: with a
    // limit, a new connection gets a receive buffer of about 1/16 s of it,
    // so what arrives stays close to what is read. WinInet gives no hold on
    // its sockets: there the buffers stay the system's.
    void SetRateLimit(std::function<std::uint64_t()> bytesPerSecond);

    // A session with a stop and rate limit of its own (none yet) over this
    // one's connections: at most 8 to a server, and over HTTP/2 one that
    // carries the requests of every session of the family at once.
    HttpSession Fork() const;
    // Whether a server has answered a request of this session's family
    // over HTTP/2: then many more requests than connections may usefully
    // be in flight. False until then, and where the system can't tell.
    bool Multiplexed() const;

    struct State;

private:
    HttpSession() = default;
    std::shared_ptr<State> state_;
};

// Whether a validator is safe to send in an If-Range header: printable
// ASCII only, at most 512 bytes.
bool SafeHttpValidator(const std::string& validator);
// The first byte's offset in a Content-Range value ("bytes 100-199/200"),
// or -1 when the value doesn't have that form.
std::int64_t ParseContentRangeStart(const std::string& value);

// One request in a session of its own.
std::unique_ptr<HttpResponse> HttpOpen(const std::string& agent, const std::string& url);
// The window of the slow-transfer rule, in seconds (default 60): a transfer
// that averages less than 1 KiB a second over that long fails.
void SetHttpStallTimeout(int seconds);

}  // namespace os
