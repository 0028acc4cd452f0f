#include "engine/steps/ObsoleteStep.h"

#include "engine/fetch/RunControl.h"
#include "engine/run/RunContext.h"
#include "engine/run/RunLog.h"
#include "engine/state/InstallRecord.h"
#include "engine/steps/RunList.h"
#include "formats/Publication.h"
#include "formats/md5.h"
#include "platform/os.h"

namespace {

// Whether the line stays in the record after its file was looked at.
// Threat: a player's edit of a file we installed, or a record naming a file
// we didn't put there: only the very bytes recorded are removed.
// Threat: a record naming a path through a link or junction (lnk\victim.txt
// with lnk leading outside) would delete a file elsewhere; such a line goes
// and nothing is removed through it.
bool KeepObsolete(TRunContext& run, const TInstallRecord::TLine& line) {
    if (!os::PlainWayDown(run.fields.InstallDir, line.path)) return false;
    const std::string path = run.fields.InstallDir + std::string(line.path);
    if (!os::FileExists(path)) return false;
    TMD5Digest digest{};
    try {
        FileDigest(path, digest);
    } catch (const std::exception&) {
        return true;  // can't be read now: looked at again next run
    }
    if (DigestToHex(digest) != line.digest) {
        if (run.log) run.log->Obsolete(line.path, false);
        return false;
    }
    if (!os::DeleteFile(path)) return true;  // held by a program: next run
    if (run.log) run.log->Obsolete(line.path, true);
    return false;
}

}  // namespace

void LoadInstallRecord(TRunContext& run) {
    run.record = std::make_unique<TInstallRecord>(
        TInstallRecord::Read(run.fields.InstallDir + kInstalledRecordName, kMaxListSize));
}

void RemoveObsolete(TRunContext& run, const TRunList& list) {
    if (!run.record) return;
    // While an entry failed the install is still partly the previous
    // publication, whose files may need the ones it dropped.
    if (run.report.FirstFailure() || run.fields.InstallFailed) return;
    // A list naming no file at all is likelier a publication gone wrong than
    // a game without files: nothing goes.
    if (list.self.empty() && list.critical.empty() && list.normal.empty()) return;
    run.record->Review([&run](const TInstallRecord::TLine& line) {
        // Compared as the claim compares names: a file the list names in
        // another letter case is still listed.
        if (run.temps.Claimed(line.path)) return true;
        run.control.ThrowIfStopped();
        return KeepObsolete(run, line);
    });
}

void SaveInstallRecord(TRunContext& run) {
    if (!run.record) return;
    const std::string& dir = run.fields.InstallDir;
    try {
        if (run.record->Changed()) {
            ReplaceWithText(dir + kInstalledRecordName, run.record->Text(),
                            run.temps.Pick(dir, kInstalledRecordName, ".tmp"));
        }
    } catch (const std::exception& e) {
        run.report.Fail(FailureOf(e));
    }
    run.record.reset();
}
