// corvel-publish: turns a client directory into the update server's
// directory. Exit status 0 when published, 1 when something could not be
// read or written, 2 for bad options or input that can't be published.
#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "formats/ServerUrls.h"
#include "tools/publish/Names.h"
#include "tools/publish/Publisher.h"
#include "tools/publish/Stages.h"
#include "tools/publish/Text.h"
#include "platform/os.h"
#ifdef CORVEL_PUBLISH_STOP_POINTS
#include "tools/publish/StopPoints.h"
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace publish;

namespace {

constexpr const char* kUsage =
    "usage: corvel-publish [--rev N] [--self NAME] [--critical GLOB]... [--jobs N]\n"
    "                      [--patch-history N] [--mirror URL]... [--sign SECRET_FILE [--valid-days N]\n"
    "                      [--also-sign SECRET_FILE]... [--revoke PUBLIC_KEY]...]\n"
    "                      [--no-bz2-copies] [--stage NAME | --channel NAME]\n"
    "                      CLIENT_DIR SERVER_DIR\n"
    "       corvel-publish [--sign ...] [--patch-history N] [--jobs N] [--no-bz2-copies]\n"
    "                      (--promote NAME | --revert) SERVER_DIR\n"
    "       corvel-publish keygen SECRET_FILE\n"
    "\n"
    "Writes SERVER_DIR/files.lst, SERVER_DIR/files.lst.bz2 and a bzip2 copy of every\n"
    "file of CLIENT_DIR (its relative path + \".bz2\"). Copies of unchanged files are\n"
    "kept, copies of removed files deleted. A changed file also gets a patch from\n"
    "its previous content (SERVER_DIR/patches/<md5>-<md5>.zst) when that is smaller\n"
    "than its copy. Every distinct content is also written once as a zstd object\n"
    "named by its MD5 (SERVER_DIR/objects/ab/<md5>.zst), kept while one of the\n"
    "lists of the last --patch-history publications names it.\n"
    "\n"
    "  --rev N          revision in [settings] (default 1: every run checks every\n"
    "                   file; 0: a launcher started normally checks only the\n"
    "                   critical files, the check button all of them)\n"
    "  --self NAME      the updater's executable, a file at the top of CLIENT_DIR\n"
    "  --critical GLOB  files checked on every run; '*' and '?' within a name, '**'\n"
    "                   across directories, '/' or '\\' between names; a directory\n"
    "                   matches all below it; case-sensitive; may be repeated\n"
    "  --jobs N         threads that compress (default: all cores)\n"
    "  --patch-history N  keep the patches of the last N publications that changed\n"
    "                   something (default 3; 0: no patches)\n"
    "  --mirror URL     a further server with the same files (http or https, at most 8),\n"
    "                   named in [settings]; updaters use it only when the list is signed\n"
    "  --sign FILE      sign the list with the secret key in FILE: every entry gets\n"
    "                   its SHA-256, and SERVER_DIR/files.lst.bz2.sig is written\n"
    "  --valid-days N   the signature expires N days from now (default: never)\n"
    "  --no-bz2-copies  write no .bz2 copies and remove ours: only launchers that\n"
    "                   know objects can then install\n"
    "  --also-sign FILE sign with this key too, and --sign's key becomes trusted by\n"
    "                   installs that verify the list: the publication that moves\n"
    "                   players from this (old) key to --sign's (new) one\n"
    "  --revoke KEY     installs that verify the list never trust the public key KEY\n"
    "                   (64 hex digits) again; give it on every later publication\n"
    "\n"
    "  --stage NAME     publish into SERVER_DIR/stage/NAME/ beside the live list,\n"
    "                   which stays as it is and announces it (Next|NAME)\n"
    "  --promote NAME   make the staged publication NAME live, without its client\n"
    "                   directory\n"
    "  --revert         make the publication the live one replaced live again\n"
    "  --channel NAME   publish a channel into SERVER_DIR/channels/NAME/ (objects\n"
    "                   only, shared with the live list, which names it: Channel|NAME)\n"
    "  NAME: 1 to 32 of a-z, 0-9 and '-', not starting with '-'.\n"
    "\n"
    "The last serial each key signed is kept beside its secret file (FILE.serial;\n"
    "a channel's in FILE.channel-NAME.serial).\n"
    "\n"
    "keygen writes a new key pair's secret key to SECRET_FILE (a new file, readable\n"
    "by its owner only) and prints the public key: 64 hexadecimal digits for the\n"
    "build's CORVEL_PUBLIC_KEY.\n"
    "\n"
    "Exit status: 0 published, 1 read or write failure, 2 bad options or names.\n";

std::string Utf8(const fs::path& p) {
    const std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

[[noreturn]] void UsageError(const std::string& message) {
    std::cerr << "corvel-publish: " << message << "\n" << kUsage;
    std::exit(2);
}

std::string Mib(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int Keygen(const std::vector<fs::path>& args) {
    if (args.size() != 2) UsageError("keygen needs exactly one SECRET_FILE");
    try {
        const sig::TPublicKey key = GenerateKeyFile(args[1]);
        std::cout << sig::ToHex(key) << std::endl;
        return 0;
    } catch (const PublishFailure& failure) {
        for (const std::string& message : failure.messages) std::cerr << "corvel-publish: " << message << "\n";
        return failure.status;
    }
}

int main(int argc, char** argv) {
    PublishOptions options;
    const unsigned cores = std::thread::hardware_concurrency();
    options.jobs = cores == 0 ? 1 : cores;

    std::vector<fs::path> positional;
    const std::vector<fs::path> args = os::ProgramArguments(argc, argv);
    if (!args.empty() && args[0] == "keygen") return Keygen(args);
    std::optional<fs::path> keyFile;
    std::vector<fs::path> alsoFiles;
    enum class Mode { Publish, Promote, Revert } mode = Mode::Publish;
    std::string promoted;
    bool revGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = Utf8(args[i]);
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(args[i]);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        // --name=value or --name value
        fs::path value;
        std::string name = arg;
        const std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = fs::path(args[i].native().substr(eq + 1));
        } else if (name == "--rev" || name == "--self" || name == "--critical" || name == "--jobs" ||
                   name == "--sign" || name == "--valid-days" || name == "--patch-history" || name == "--mirror" ||
                   name == "--also-sign" || name == "--revoke" || name == "--stage" || name == "--channel" ||
                   name == "--promote") {
            if (i + 1 >= args.size()) UsageError(Cat(name, " needs a value"));
            value = args[++i];
        }
        if (name == "--no-bz2-copies") {
            options.bz2Copies = false;
        } else if (name == "--stage" || name == "--channel" || name == "--promote" || name == "--revert") {
            if (mode != Mode::Publish || options.beside.place != Place::Live) {
                UsageError("give one of --stage, --channel, --promote and --revert");
            }
            const std::string text = Utf8(value);
            // Threat: a name that writes outside the server directory.
            if (name != "--revert" && !IsPublicationName(text)) {
                UsageError(Cat(name, " '", text, "': a name is 1 to ", std::to_string(kMaxPublicationName),
                               " of a-z, 0-9 and '-', not starting with '-'"));
            }
            if (name == "--stage") options.beside = Beside{Place::Stage, text};
            if (name == "--channel") options.beside = Beside{Place::Channel, text};
            // A channel's players run a launcher that knows objects.
            if (name == "--channel") options.bz2Copies = false;
            if (name == "--promote") promoted = text;
            if (name == "--promote") mode = Mode::Promote;
            if (name == "--revert") mode = Mode::Revert;
        } else if (name == "--rev") {
            const auto rev = ParseDecimalInRange(Utf8(value), INT32_MIN, INT32_MAX);
            if (!rev) UsageError("--rev needs a 32-bit integer");
            options.rev = static_cast<std::int32_t>(*rev);
            revGiven = true;
        } else if (name == "--jobs") {
            const auto jobs = ParseDecimalInRange(Utf8(value), 1, 1024);
            if (!jobs) UsageError("--jobs needs a number from 1 to 1024");
            options.jobs = static_cast<unsigned>(*jobs);
        } else if (name == "--mirror") {
            // Only what a run keeps: a mirror it would drop is refused here.
            const std::string url = Utf8(value);
            if (!IsListedMirrorUrl(url)) UsageError("--mirror needs an http:// or https:// URL");
            if (options.mirrors.size() >= kMaxListedMirrors)
                UsageError(Cat("--mirror may be given at most ", std::to_string(kMaxListedMirrors), " times"));
            options.mirrors.push_back(url);
        } else if (name == "--patch-history") {
            const auto history = ParseDecimalInRange(Utf8(value), 0, 1000);
            if (!history) UsageError("--patch-history needs a number from 0 to 1000");
            options.patchHistory = static_cast<unsigned>(*history);
        } else if (name == "--sign") {
            if (value.empty()) UsageError("--sign needs the secret key file");
            keyFile = value;
        } else if (name == "--also-sign") {
            if (value.empty()) UsageError("--also-sign needs a secret key file");
            if (alsoFiles.size() + 1 >= sig::kMaxListSignatures) UsageError("too many --also-sign keys");
            alsoFiles.push_back(value);
        } else if (name == "--revoke") {
            const auto key = sig::FromHex<32>(Utf8(value));
            if (!key) UsageError("--revoke needs a public key of 64 hexadecimal digits");
            if (options.signing.revoke.size() >= kMaxListedKeys) UsageError("too many --revoke keys");
            options.signing.revoke.push_back(*key);
        } else if (name == "--valid-days") {
            const auto days = ParseDecimalInRange(Utf8(value), 1, 36500);
            if (!days) UsageError("--valid-days needs a number from 1 to 36500");
            options.signing.validDays = static_cast<std::uint32_t>(*days);
        } else if (name == "--self" || name == "--critical") {
            std::string encoded;
            const NameProblem problem = EncodeArgument(value, encoded);
            if (problem != NameProblem::None) UsageError(Cat(name, " '", Utf8(value), "': ", Describe(problem)));
            if (name == "--self") {
                options.selfName = encoded;
            } else {
                options.critical.emplace_back(encoded);
            }
        } else {
            UsageError(Cat("unknown option ", arg));
        }
    }
    if (mode != Mode::Publish) {
        // The list goes live as it was staged or kept: what would change it
        // is refused rather than dropped without a word.
        if (options.selfName || !options.critical.empty() || !options.mirrors.empty() || revGiven) {
            UsageError("--self, --critical, --mirror and --rev are a publication's own: give them to --stage");
        }
        if (positional.size() != 1) UsageError("--promote and --revert take SERVER_DIR only");
        options.serverDir = positional[0];
    } else {
        if (positional.size() != 2) UsageError("expected CLIENT_DIR and SERVER_DIR");
        options.clientDir = positional[0];
        options.serverDir = positional[1];
    }
    if (!keyFile && (options.signing.validDays || !alsoFiles.empty() || !options.signing.revoke.empty())) {
        UsageError("--valid-days, --also-sign and --revoke need --sign");
    }
    // The keys are checked before anything is read or written.
    if (keyFile) {
        alsoFiles.insert(alsoFiles.begin(), *keyFile);
        try {
            for (const fs::path& file : alsoFiles) options.signing.keys.push_back({file, LoadKeyFile(file)});
        } catch (const PublishFailure& failure) {
            for (const std::string& message : failure.messages) std::cerr << "corvel-publish: " << message << "\n";
            std::cerr << "corvel-publish: nothing was published\n";
            return failure.status;
        }
        std::vector<sig::TPublicKey> seen;
        for (const SigningKey& signing : options.signing.keys) {
            const sig::TPublicKey key = signing.key.PublicKey();
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) UsageError("a key is given twice");
            // A list that revoked --sign's key would leave installs with no key
            // left; an --also-sign key may go (the day it leaked).
            const auto& revoke = options.signing.revoke;
            if (seen.empty() && std::find(revoke.begin(), revoke.end(), key) != revoke.end()) {
                UsageError("--revoke names the --sign key");
            }
            seen.push_back(key);
        }
    }
#ifdef CORVEL_PUBLISH_STOP_POINTS
    options.checkpoint = StopPointsFromEnvironment();
#endif

    const bool terminal = os::StandardErrorIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    Progress progress;
    bool progressShown = false;
    auto tick = [&] {
        if (!terminal) return;
        const double elapsed = seconds();
        const double bytes = static_cast<double>(progress.bytesDone.load());
        std::fprintf(stderr, "\r%zu/%zu files  %s of %s  %s/s   ", progress.filesDone.load(), progress.filesTotal,
                     Mib(bytes).c_str(), Mib(static_cast<double>(progress.bytesTotal)).c_str(),
                     Mib(elapsed > 0 ? bytes / elapsed : 0).c_str());
        std::fflush(stderr);
        progressShown = true;
    };
    auto clearProgress = [&] {
        if (progressShown) std::fprintf(stderr, "\r%70s\r", "");
        progressShown = false;
    };

    try {
        const PublishSummary summary = mode == Mode::Promote  ? Promote(promoted, options, progress, tick)
                                       : mode == Mode::Revert ? Revert(options, progress, tick)
                                                              : Publish(options, progress, tick);
        clearProgress();
        for (const std::string& warning : summary.warnings) std::cerr << "corvel-publish: warning: " << warning << "\n";
        const double elapsed = seconds();
        char line[400];
        if (mode == Mode::Publish) {
            std::snprintf(line, sizeof line,
                          "published %zu files (%s): %zu compressed, %zu kept, %zu removed; patches: %zu made, %zu "
                          "listed, %zu removed; objects: %zu written, %zu removed; in %.1f s (%s/s)",
                          summary.files, Mib(static_cast<double>(summary.bytes)).c_str(), summary.compressed,
                          summary.kept, summary.removed, summary.patches, summary.listed, summary.unpatched,
                          summary.objects, summary.unobjected, elapsed,
                          Mib(elapsed > 0 ? static_cast<double>(progress.bytesDone.load()) / elapsed : 0).c_str());
        } else {
            std::snprintf(line, sizeof line,
                          "made live %zu files (%s): %zu copies put in place (%zu made from objects), %zu removed; "
                          "patches: %zu listed, %zu removed; objects: %zu removed; in %.1f s",
                          summary.files, Mib(static_cast<double>(summary.bytes)).c_str(), summary.compressed,
                          progress.filesTotal, summary.removed, summary.listed, summary.unpatched,
                          summary.unobjected, elapsed);
        }
        std::cout << line << std::endl;
        return 0;
    } catch (const PublishFailure& failure) {
        clearProgress();
        for (const std::string& message : failure.messages) std::cerr << "corvel-publish: " << message << "\n";
        if (failure.status == 2) std::cerr << "corvel-publish: nothing was published\n";
        return failure.status;
    } catch (const std::exception& e) {
        clearProgress();
        std::cerr << "corvel-publish: " << e.what() << "\n";
        return 1;
    }
}
