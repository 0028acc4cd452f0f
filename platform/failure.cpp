#include "platform/errors.h"
#include "platform/os.h"

namespace os {

void RaiseError(int code, const std::string& what) { throw EInOutError(code, what + ": " + ErrorText(code)); }

void RaiseLastError(const std::string& what) { RaiseError(LastErrorCode(), what); }

}  // namespace os

TFailure FailureOf(const std::exception& e) {
    TFailure failure;
    failure.text = e.what();
    if (const auto* own = dynamic_cast<const Exception*>(&e)) {
        failure.fault = own->Fault();
        failure.code = own->Code();
        if (const auto* io = dynamic_cast<const EInOutError*>(own)) {
            failure.holder = io->Holder;
            failure.holderPid = io->HolderPid;
        }
    } else {
        failure.fault = TFault::Other;
    }
    return failure;
}

TFailure CurrentFailure() {
    try {
        throw;
    } catch (const std::exception& e) {
        return FailureOf(e);
    } catch (...) {
        return TFailure{TFault::Other, 0, "unknown failure"};
    }
}

std::string DescribeFailure(const TFailure& failure) {
    switch (failure.fault) {
        case TFault::None: return std::string();
        case TFault::Stopped: return "stopped";
        case TFault::CannotConnect: return "cannot connect";
        case TFault::ServerError: return "server error " + std::to_string(failure.code);
        case TFault::Stalled: return "transfer stalled";
        case TFault::Cut: return "transfer cut";
        case TFault::TooLarge: return "larger than its entry allows";
        case TFault::Corrupt: return "corrupt copy";
        case TFault::DigestMismatch: return "digest mismatch";
        case TFault::NotTrusted: return "not trusted: " + failure.text;
        case TFault::BadList: return "bad list entry: " + failure.text;
        case TFault::UnsafeName: return "unsafe name";
        case TFault::Duplicate: return "listed twice";
        case TFault::DiskFull:
            if (failure.bytesShort == 0) return "not enough disk space";
            return "not enough disk space: " + std::to_string((failure.bytesShort + (1 << 20) - 1) >> 20) +
                   " MB more needed";
        case TFault::AccessDenied: return "access denied";
        case TFault::InUse:
            if (failure.holder.empty()) return "in use";
            return "in use by " + failure.holder + " (pid " + std::to_string(failure.holderPid) + ")";
        case TFault::NotFound: return "not found";
        case TFault::PathTooLong: return "path too long";
        case TFault::NameTaken: return "no free name for a temporary file";
        case TFault::Other: break;
    }
    return failure.text.empty() ? std::string("failed") : failure.text;
}

std::string ExplainFailure(const TFailure& failure) {
    std::string words = DescribeFailure(failure);
    // These say their text already; a stop needs no more words.
    switch (failure.fault) {
        case TFault::None:
        case TFault::Other:
        case TFault::NotTrusted:
        case TFault::BadList:
        case TFault::Stopped: return words;
        default: break;
    }
    if (failure.text.empty()) return words;
    return words + " (" + failure.text + ")";
}
