// corvel-update: one update run in a directory, without a window.
//
//   corvel-update [--force] [--dir DIR] [--timeout SECONDS] [--limit-rate BYTES_PER_SECOND] [--public-key HEX]
//                 [--log FILE] [--verbose] [--copies-only] [--no-next] [--channel NAME]
//                 BASE_URL [MIRROR_URL...]
//
// Exit status: 0 when everything is current, 1 when a failure was shown or
// the list could not be fetched, 2 for a usage error, 130 when Ctrl+C
// stopped the run (partial copies of large files are kept for the next run).
#include "config/Config.h"
#include "engine/GetFilesThr.h"
#include "engine/fetch/Servers.h"
#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "platform/os.h"
#include "tools/update/ConsoleView.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

// The run Ctrl+C stops: its stop request is one atomic store, which a
// signal handler may make.
std::atomic<TRunControl*> g_interruptible{nullptr};
void StopOnInterrupt() {
    if (TRunControl* control = g_interruptible.load()) control->RequestStop();
}

// A rate in bytes per second: digits, then K (1024) or M (1024 * 1024) if
// any. Nothing when it is anything else or past 1 TiB a second.
std::optional<std::uint64_t> ParseRate(const std::string& text) {
    std::string digits = text;
    std::uint64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) unit = 1024;
    if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) unit = 1024 * 1024;
    if (unit != 1) digits.pop_back();
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const auto value = ParseDecimal(digits);
    constexpr std::uint64_t kMost = std::uint64_t{1} << 40;
    if (!value || *value > kMost / unit) return std::nullopt;
    return *value * unit;
}

int Usage(const char* message) {
    if (message) std::fprintf(stderr, "corvel-update: %s\n", message);
    std::fprintf(stderr,
                 "usage: corvel-update [--force] [--dir DIR] [--timeout SECONDS] [--limit-rate BYTES_PER_SECOND]\n"
                 "                     [--public-key HEX] [--log FILE] [--verbose] [--copies-only] [--no-next]\n"
                 "                     [--channel NAME] BASE_URL [MIRROR_URL...]\n"
                 "  Brings DIR (default: the current directory) up to date with the update\n"
                 "  server's directory BASE_URL (http://host/Updater/); the mirrors are asked,\n"
                 "  in order, for whatever BASE_URL fails to give.\n"
                 "  --force        check every file, whatever the list's revision\n"
                 "  --timeout N    fail a transfer that averages under 1 KiB a second over N seconds (default 60)\n"
                 "  --limit-rate N download at most N bytes a second, all files together; K and M\n"
                 "                 multiply by 1024 and 1024*1024 (0: no limit, the default)\n"
                 "  --public-key HEX  the publisher's Ed25519 key (64 hex digits): install only\n"
                 "                 a list it signed (default: the key built in, if any)\n"
                 "  --log FILE     append what the run did to FILE (kept below 1 MiB, FILE.1 the one before)\n"
                 "  --verbose      print every status change, not only each file installed or failed\n"
                 "  --copies-only  fetch files as their .bz2 copies even where the list names objects,\n"
                 "                 as a launcher that knows only copies does\n"
                 "  --no-next      don't fetch ahead the next publication the server announces\n"
                 "  --channel NAME follow the server's channel NAME (channels/NAME/) instead of the live\n"
                 "                 publication; one the server no longer offers falls back to the live one\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    os::SetConsoleToListCodePage();
    bool force = false;
    bool verbose = false;
    bool copiesOnly = false;
    bool next = true;
    std::string channel;
    std::filesystem::path dir;
    std::vector<std::string> servers;
    std::string publicKey = config::PublicKey();
    std::filesystem::path logFile;
    std::uint64_t rateLimit = 0;
    // Read as the system gives them: a directory may have any name.
    const std::vector<std::filesystem::path> args = os::ProgramArguments(argc, argv);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string arg = os::NativeDisplayBytes(args[i]);
        if (arg == "--force") {
            force = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--copies-only") {
            copiesOnly = true;
        } else if (arg == "--no-next") {
            next = false;
        } else if (arg == "--channel") {
            if (i + 1 >= args.size()) return Usage("--channel needs a name");
            channel = os::NativeDisplayBytes(args[++i]);
            if (!IsPublicationName(channel)) return Usage("--channel needs a name of a-z, 0-9 and '-' (at most 32)");
        } else if (arg == "--public-key") {
            if (i + 1 >= args.size()) return Usage("--public-key needs a value");
            publicKey = os::NativeDisplayBytes(args[++i]);
            if (publicKey.size() != 64 || publicKey.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                return Usage("--public-key needs 64 hexadecimal digits");
            }
        } else if (arg == "--limit-rate") {
            if (i + 1 >= args.size()) return Usage("--limit-rate needs a value");
            const auto rate = ParseRate(os::NativeDisplayBytes(args[++i]));
            if (!rate) return Usage("--limit-rate needs bytes per second (a number, K or M after it if any)");
            rateLimit = *rate;
        } else if (arg == "--log") {
            if (i + 1 >= args.size()) return Usage("--log needs a file");
            // Named from where the tool was started, before --dir is entered.
            std::error_code ec;
            logFile = std::filesystem::absolute(args[++i], ec);
            if (ec) return Usage("--log needs a file");
        } else if (arg == "--dir" || arg == "--timeout") {
            if (i + 1 >= args.size()) return Usage((arg + " needs a value").c_str());
            ++i;
            if (arg == "--dir") {
                dir = args[i];
            } else {
                const auto seconds = ParseDecimalInRange(os::NativeDisplayBytes(args[i]), 1, 86400);
                if (!seconds) return Usage("--timeout needs a number of seconds");
                os::SetHttpStallTimeout(static_cast<int>(*seconds));
            }
        } else if (arg == "-h" || arg == "--help") {
            Usage(nullptr);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (!IsServerUrl(arg)) {
            return Usage((arg + ": a server's URL must start with http:// or https://").c_str());
        } else {
            servers.push_back(arg);
        }
    }
    if (servers.empty()) return Usage("BASE_URL is missing");
    // A channel's files are published as objects only.
    if (!channel.empty() && copiesOnly) return Usage("--channel can't be used with --copies-only");
    if (!dir.empty()) {
        // The directory comes in the system's own encoding, not the list's.
        if (!os::EnterDirectory(dir)) {
            const std::string reason = os::ErrorText(os::LastErrorCode());
            std::fprintf(stderr, "corvel-update: cannot enter %s: %s\n", os::NativeDisplayBytes(dir).c_str(),
                         reason.c_str());
            return 2;
        }
    }

    if (publicKey.empty()) {
        std::fprintf(stderr, "corvel-update: warning: no public key (--public-key HEX): lists are not verified, "
                             "anyone on the way to the server can change what is installed\n");
    }
    TConsoleView view(verbose);
    TDirectSynchronizer sync;
    GFilesThread run(view, sync);
    run.SelfMode = TSelfMode::OrdinaryFile;
    run.BaseUrl = servers.front();
    run.Mirrors.assign(servers.begin() + 1, servers.end());
    run.ForceCheck = force;
    run.SetUseObjects(!copiesOnly);
    run.SetPreDownload(next);
    run.SetChannel(channel);
    run.PublicKey = publicKey;
    run.LogFile = logFile;
    run.Control()->SetRateLimit(rateLimit);
    g_interruptible.store(run.Control().get());
    os::OnConsoleInterrupt(&StopOnInterrupt);
    run.RunInline();
    g_interruptible.store(nullptr);
    if (!run.NextName.empty()) {
        // One line for what was fetched ahead of the announced publication.
        const std::string staged = std::to_string(run.NextStaged >> 20) + " / " + std::to_string(run.NextNeeded >> 20) + " MB";
        if (!run.NextProblem.empty()) {
            std::printf("next       %s: %s staged (%s)\n", run.NextName.c_str(), staged.c_str(),
                        os::ConsoleText(run.NextProblem).c_str());
        } else {
            std::printf("next       %s: %s\n", run.NextName.c_str(),
                        run.NextStaged == run.NextNeeded ? "ready" : (staged + " staged").c_str());
        }
    }
    if (!run.Channel.empty()) std::printf("channel    %s\n", run.Channel.c_str());
    if (!run.ChannelProblem.empty()) {
        std::fprintf(stderr, "corvel-update: warning: %s\n", os::ConsoleText(run.ChannelProblem).c_str());
    }
    if (!run.TrustProblem.empty()) {
        std::fprintf(stderr, "corvel-update: the list was refused: %s\n", run.TrustProblem.c_str());
    }
    if (!run.Succeeded()) {
        if (run.Control()->StopRequested()) {
            std::fprintf(stderr, "corvel-update: stopped; partial copies are kept for the next run\n");
            return 130;
        }
        const std::string reason = os::ConsoleText(DescribeFailure(run.Failure()));
        std::fprintf(stderr, "corvel-update: the update did not complete: %s\n", reason.c_str());
        return 1;
    }
    return 0;
}
