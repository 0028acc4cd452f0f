#include "engine/run/RunLog.h"

#include "platform/codepage.h"

#include <cstdio>
#include <ctime>
#include <system_error>

namespace {

std::string Seconds(std::chrono::steady_clock::duration took) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld s", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return text;
}

// Local time to the second: the player reads it against their own clock.
std::string Now() {
    const std::tm local = os::LocalTime(std::time(nullptr));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

std::string FailedLine(std::string_view path, const TFailure& failure, bool systemText) {
    std::string line = "failed     ";
    line += path;
    line += ": ";
    line += systemText ? ExplainFailure(failure) : DescribeFailure(failure);
    return line;
}

std::string SkippedLine(std::string_view baseUrl, const TFailure& failure, bool systemText) {
    std::string line = "skipped    ";
    line += baseUrl;
    line += ": ";
    if (systemText) return line + ExplainFailure(failure);
    line += DescribeFailure(failure);
    // The words behind a connection's failure say which it was (refused,
    // no answer within the bound, no such host).
    if (failure.fault == TFault::CannotConnect && !failure.text.empty()) {
        line += " (";
        line += failure.text;
        line += ')';
    }
    return line;
}

TRunLog::TRunLog(std::filesystem::path path) : path_(std::move(path)) { Open(); }

void TRunLog::Open() {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path_, ec);
    size_ = ec ? 0 : size;
    if (size_ >= kMaxSize) {
        std::filesystem::path older = path_;
        older += ".1";
        if (!os::RenameReplacing(path_, older)) size_ = 0;
    }
    file_ = os::OpenStdio(path_, os::StdioMode::Append);
}

void TRunLog::Line(const std::string& text) {
    if (!file_) return;
    const std::string line = Now() + "  " + text + "\n";
    if (size_ + line.size() > kMaxSize && size_ > 0) {
        file_.reset();
        Open();
        if (!file_) return;
    }
    std::fwrite(line.data(), 1, line.size(), file_.get());
    std::fflush(file_.get());
    size_ += line.size();
}

void TRunLog::Start(std::string_view baseUrl) {
    start_ = std::chrono::steady_clock::now();
    Line("start      " + std::string(baseUrl));
}

void TRunLog::Unsigned() { Line("unsigned build: lists are not verified"); }

void TRunLog::List(std::int32_t rev, std::uint64_t serial) {
    std::string text = "list       rev " + std::to_string(rev);
    if (serial != 0) text += ", signed serial " + std::to_string(serial);
    Line(text);
}

void TRunLog::Server(std::string_view baseUrl, const TFailure& failure) {
    Line(codepage::Cp1252ToUtf8(SkippedLine(baseUrl, failure, true)));
}

void TRunLog::ObjectsIgnored(std::string_view folder) {
    // Only safe characters reach the log: the value is the server's.
    std::string shown;
    for (const char c : folder.substr(0, 80)) shown += (c >= ' ' && c < 0x7f) ? c : '?';
    Line("objects    ignored: \"" + shown + "\" is not a relative folder of safe names");
}

void TRunLog::Mirrors(std::size_t added) { Line("mirrors    " + std::to_string(added) + " named by the list"); }

void TRunLog::Servers(const std::vector<TServers::TRecord>& records) {
    for (const TServers::TRecord& server : records) {
        if (server.failures == 0) continue;
        std::string text = "server     " + server.base + ": " + std::to_string(server.failures) + " failure" +
                           (server.failures == 1 ? "" : "s");
        if (!server.reasons.empty()) text += ", first " + DescribeFailure(server.reasons.front());
        if (server.demoted) text += ", asked last";
        Line(codepage::Cp1252ToUtf8(text));
    }
}

void TRunLog::Entry(std::string_view path, const TFailure& failure, std::int64_t bytes,
                    std::chrono::steady_clock::duration took) {
    if (failure) {
        Line(codepage::Cp1252ToUtf8(FailedLine(path, failure, true)) + " (" + Seconds(took) + ")");
    } else {
        Line("installed  " + codepage::Cp1252ToUtf8(path) + " (" + std::to_string(bytes) + " bytes, " + Seconds(took) +
             ")");
    }
}

void TRunLog::Note(std::string_view path, std::string_view note) {
    Line("note       " + codepage::Cp1252ToUtf8(path) + ": " + codepage::Cp1252ToUtf8(note));
}

void TRunLog::Next(std::string_view name, std::string_view what) {
    Line("next       " + std::string(name) + ": " + codepage::Cp1252ToUtf8(what));
}

void TRunLog::Channel(std::string_view name, std::string_view what) {
    Line("channel    " + std::string(name) + ": " + codepage::Cp1252ToUtf8(what));
}

void TRunLog::Obsolete(std::string_view path, bool removed) {
    const std::string name = codepage::Cp1252ToUtf8(path);
    Line(removed ? "removed    " + name + " (no longer published)"
                 : "kept       " + name + " (no longer published, changed since it was installed)");
}

void TRunLog::End(const TFailure& failure) {
    const std::string took = Seconds(std::chrono::steady_clock::now() - start_);
    if (failure) {
        Line("end        failed: " + codepage::Cp1252ToUtf8(ExplainFailure(failure)) + " (" + took + ")");
    } else {
        Line("end        everything is current (" + took + ")");
    }
}
