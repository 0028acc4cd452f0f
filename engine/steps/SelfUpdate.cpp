#include "engine/steps/SelfUpdate.h"

#include "engine/fetch/CopyStreams.h"
#include "engine/fetch/RunControl.h"
#include "engine/run/RunContext.h"
#include "engine/run/Transfer.h"
#include "formats/EmbeddedKey.h"
#include "formats/Names.h"
#include "formats/Publication.h"
#include "formats/md5.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <optional>

namespace {

// The digest of the running updater's file; "" when it can't be read.
std::string CurrentDigest(const std::string& path) {
    try {
        TMD5Digest digest{};
        FileDigest(path, digest);
        return DigestToHex(digest);
    } catch (const std::exception&) {
        return std::string();
    }
}

// Fetches and verifies the new executable into fresh; false when the server
// can't be reached. Only a complete, verified copy is left there.
bool FetchNew(TRunContext& run, const TListEntry& entry, const std::string& fresh) {
    TRunFields& fields = run.fields;
    const std::string name(entry.path);
    const std::optional<std::int64_t> size = ParseSize(entry.size);
    if (!size) throw EConvertError("'" + std::string(entry.size) + "' is not a valid size");
    // The copy may take what a file of the entry's size compresses into.
    const TDownload how{static_cast<std::uint64_t>(CompressedSizeBound(*size)), true, false};
    // Each server's copy is fetched into a name of its own and checked;
    // a failed one is gone before the next server is asked.
    return FetchFromServers(run, name, std::string(entry.digest), [&](const std::string& url, bool) {
        const std::string archive = run.temps.Pick(fields.InstallDir, name, kCopySuffix);
        TCopyCheck check(*size, std::string(entry.digest), std::string(entry.sha256), run.trust);
        const std::optional<int> status = DownloadTo(run, url, archive, how);
        if (!status) return false;
        ExtractTo(run, archive, fresh, check, *status);
        return true;
    });
}

// Threat: a build published without the key (or made for another server)
// would leave every player who takes it verifying nothing from then on; a
// signed updater only hands over to a build that carries a key it trusts.
bool CarriesTrustedKey(const TListTrust& trust, const std::string& path) {
    const std::unique_ptr<os::Mapping> file = os::MapFileReadOnly(path);
    if (!file) return false;
    bool trusted = false;
    const bool read = os::GuardedMappedRead(file->Data(), [&] {
        for (const std::string& key : EmbeddedKeys(file->Data())) trusted = trusted || trust.TrustsKey(key);
    });
    return read && trusted;
}

}  // namespace

void ReplaceSelf(TRunContext& run, const std::string& entryLine) {
    if (entryLine.empty()) return;
    TRunFields& fields = run.fields;
    const auto entry = ParseEntry(entryLine);
    // The script names the executable unquoted: only a bare, plain name.
    if (!entry || !IsSafeSelfName(entry->path)) {
        run.report.Fail(TFailure{TFault::UnsafeName, 0, entry ? std::string(entry->path) : entryLine});
        return;
    }
    const std::string name(entry->path);
    if (CurrentDigest(fields.InstallDir + name) == entry->digest) return;

    if (fields.SelfMode == TSelfMode::OrdinaryFile) {
        fields.PendingFiles.push_back(entryLine);
        return;
    }

    // The script renames exactly <name>.New and writes Update.bat: when the
    // list manages a file of either name, the swap would destroy it.
    const std::string fresh = fields.InstallDir + name + ".New";
    if (run.temps.Claimed(name + ".New") || run.temps.Claimed("Update.bat") || os::NameTaken(fresh)) {
        run.report.Fail(TFailure{TFault::NameTaken, 0, fresh});
        return;
    }
    try {
        if (!FetchNew(run, *entry, fresh)) return;
    } catch (const std::exception& e) {
        run.report.Fail(FailureOf(e));
        return;
    }
    if (run.trust.Enabled() && !CarriesTrustedKey(run.trust, fresh)) {
        os::DeleteFile(fresh);
        TFailure unsigned_{TFault::NotTrusted, 0, "the new updater is not signed for this server"};
        unsigned_.path = name;
        run.report.Fail(unsigned_);
        return;
    }
    try {
        WriteUpdateScript(name);
        run.report.CatchUp();
        run.control.ThrowIfStopped();  // a closed window restarts nothing
        // The system's own cmd.exe runs the script from the install folder,
        // named relatively: no folder name is on a command line.
        os::StartCommandScript(fields.InstallDir, "Update.bat");
    } catch (const std::exception& e) {
        os::DeleteFile(fresh);
        os::DeleteFile(fields.InstallDir + "Update.bat");
        run.report.Fail(FailureOf(e));
    }
}

void RunProgram(const std::string& commandLine) {
    // The command line is passed whole, however long: no fixed buffer.
    const std::size_t end = commandLine.find_last_of("\\:");
    if (end != std::string::npos) os::SetCurrentDir(commandLine.substr(0, end + 1));
    os::StartProgram(commandLine);
}

void WriteUpdateScript(const std::string& name) {
    const std::string dir = os::GetCurrentDir();
    const std::string scriptPath = dir + "\\Update.bat";
    const std::string scriptName = scriptPath.substr(scriptPath.find_last_of("\\:") + 1);

    // An old script goes first (a link is removed, not followed), and the new
    // one is created exclusively: nothing planted at the name is written.
    os::DeleteFile(scriptPath);
    os::File script = os::File::CreateNew(scriptPath, os::Share::Read);
    std::string text =
        "@echo off\r\n"
        "taskkill /PID " +
        std::to_string(os::CurrentProcessId()) +
        " /F\r\n"
        "ping 127.0.0.1 -n 3 > nul\r\n";
    // The script runs in the install directory (its current directory) and
    // names everything relatively: cmd reads a script in the console's
    // code page, which can't spell every directory.
    if (os::FileExists(dir + "\\" + name + ".New")) {
        text += "del \"files.lst\"\r\n";
        text += "del \"" + name + "\"\r\n";
        text += "rename " + name + ".New " + name + "\r\n";
    }
    text += "start " + name + "\r\n";
    text += "del \"" + scriptName + "\"\r\n";

    if (script.Write(text.data(), text.size()) != text.size()) {
        throw EInOutError(TFault::DiskFull, kDiskWriteError, scriptPath + ": disk write error");
    }
    script.Close();
}
