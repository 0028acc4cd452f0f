// Exception classes shared by every module, and the one list of what can go
// wrong in a run. Failures of file and stream operations are raised, not
// returned; the update run catches them around each step that can fail and
// keeps what went wrong (TFailure) for the view, the console and the log.
// A system's own codes (errno, Win32, libcurl, WinInet) are turned into a
// TFault in platform/ only, where they are raised.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

// What went wrong, in words a player or an operator can act on.
enum class TFault : std::uint8_t {
    None,
    Stopped,         // the run was asked to stop (the window closed)
    CannotConnect,   // no connection to the server, or a request without an answer
    ServerError,     // the server answered with an error status (the code is the status)
    Stalled,         // less than 1 KiB a second arrived over the stall window
    Cut,             // the transfer broke or ended short of its length
    TooLarge,        // more bytes than the entry allows
    Corrupt,         // a copy that does not decode
    DigestMismatch,  // decoded, but not the file the list names
    NotTrusted,      // signature, serial or SHA-256 refused
    BadList,         // a list or an entry the run cannot read
    UnsafeName,      // a name that would be written outside the install directory
    Duplicate,       // a second entry for a file an earlier entry names
    DiskFull,
    AccessDenied,
    InUse,           // another program holds the file
    NotFound,
    PathTooLong,
    NameTaken,       // no free name for a temporary
    Other,
};

// One failure with its reason: the fault, the code the system (or the
// server) gave, and the words that came with it; for some faults, what the
// player needs to act on it.
struct TFailure {
    TFault fault = TFault::None;
    int code = 0;
    std::string text;
    // The entry's path (Windows-1252, as the list gives it) when the failure
    // concerns one file.
    std::string path;
    // InUse: the program that holds the file, when it could be named.
    std::string holder;
    std::uint32_t holderPid = 0;
    // DiskFull: how many bytes more the install needs, when known.
    std::uint64_t bytesShort = 0;
    explicit operator bool() const { return fault != TFault::None; }
};

// Root of every failure the program raises itself.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message, TFault fault = TFault::Other, int code = 0)
        : std::runtime_error(message), fault_(fault), code_(code) {}
    TFault Fault() const { return fault_; }
    int Code() const { return code_; }

private:
    TFault fault_;
    int code_;
};

// The fault a system error code (errno on POSIX, GetLastError on Windows)
// stands for; Other for codes no fault names.
TFault FaultOfSystemError(int code);

// What went wrong in e: its fault (Other for exceptions not of ours) and
// its words.
TFailure FailureOf(const std::exception& e);
// The same for the exception being handled (inside a catch block).
TFailure CurrentFailure();
// The fault's words in English, for the console and the log: "access
// denied", "server error 404", "digest mismatch"...; for Other, the text.
std::string DescribeFailure(const TFailure& failure);
// DescribeFailure followed by the words that came with a named fault (the
// system's own text, in parentheses), which say which of its kind it was:
// for the log, where the operator looks for them.
std::string ExplainFailure(const TFailure& failure);

// The runtime's code for a write that stored fewer bytes than it was given
// (a full disk): the code of the EInOutError such a write raises.
inline constexpr int kDiskWriteError = 101;

// Input/output failure with its fault and the code it came with.
class EInOutError : public Exception {
public:
    // A system error code of this platform (errno, GetLastError).
    EInOutError(int systemCode, const std::string& message)
        : Exception(message, FaultOfSystemError(systemCode), systemCode), ErrorCode(systemCode) {}
    // A fault known where it is raised; code is kept beside it.
    EInOutError(TFault fault, int code, const std::string& message)
        : Exception(message, fault, code), ErrorCode(code) {}
    int ErrorCode;
    // InUse: the program that holds the file, when the seam could name it
    // as it raised.
    std::string Holder;
    std::uint32_t HolderPid = 0;
};

// Stream failures (file streams and the decompressing stream's skips).
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFOpenError : public EStreamError {
public:
    EFOpenError(int code, const std::string& message, TFault fault = TFault::Other)
        : EStreamError(message, fault, code), ErrorCode(code) {}
    int ErrorCode;
};
class EFCreateError : public EStreamError {
public:
    EFCreateError(int code, const std::string& message, TFault fault = TFault::Other)
        : EStreamError(message, fault, code), ErrorCode(code) {}
    int ErrorCode;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A list lookup past the end (an entry with too few fields).
class EListError : public Exception {
public:
    explicit EListError(const std::string& message) : Exception(message, TFault::BadList) {}
};

// A text that should be a decimal number is not one.
class EConvertError : public Exception {
public:
    explicit EConvertError(const std::string& message) : Exception(message, TFault::BadList) {}
};
