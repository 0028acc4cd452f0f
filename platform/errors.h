// Exception classes shared by every module. Failures of file and stream
// operations are raised, not returned; the update run catches them around
// each step that can fail.
#pragma once

#include <stdexcept>
#include <string>

// Root of every failure the program raises itself.
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The runtime's code for a write that stored fewer bytes than it was given
// (a full disk): the code of the EInOutError such a write raises.
inline constexpr int kDiskWriteError = 101;

// Input/output failure with the operating system's error code.
class EInOutError : public Exception {
public:
    EInOutError(int code, const std::string& message) : Exception(message), ErrorCode(code) {}
    int ErrorCode;
};

// Stream failures (file streams and the decompressing stream's skips).
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFOpenError : public EStreamError {
public:
    EFOpenError(int code, const std::string& message) : EStreamError(message), ErrorCode(code) {}
    int ErrorCode;
};
class EFCreateError : public EStreamError {
public:
    EFCreateError(int code, const std::string& message) : EStreamError(message), ErrorCode(code) {}
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
    using Exception::Exception;
};

// A text that should be a decimal number is not one.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};
