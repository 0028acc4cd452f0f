#include "engine/GetFilesThr.h"

#include "engine/CopyStreams.h"
#include "engine/DuplicateEntries.h"
#include "engine/InstallAhead.h"
#include "engine/ListTrust.h"
#include "engine/Progress.h"
#include "engine/Resume.h"
#include "engine/TempNames.h"
#include "engine/WorkAhead.h"
#include "formats/Names.h"
#include "formats/BZip2.h"
#include "formats/Classes.h"
#include "formats/ListGrammar.h"
#include "formats/LstFile.h"
#include "formats/Misc.h"
#include "formats/md5.h"
#include "platform/os.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <limits>
#include <optional>
#include <thread>
#include <unordered_set>

namespace {

// Texts are byte strings in the list's code page (Windows-1252).
constexpr const char* kAgent = "Corvel - Updater";
constexpr const char* kSearching = "Buscando Actualizaciones...";
constexpr const char* kCheckingFiles = "Comprobando Archivos...";
constexpr const char* kChecking = "Comprobando...";
constexpr const char* kDownloading = "Descargando...";
constexpr const char* kExtracting = "Extrayendo...";
constexpr const char* kFailed = "Actualizaci\xF3n Fallida";

const char* PhaseText(TRunPhase phase) {
    switch (phase) {
        case TRunPhase::Idle: return "";
        case TRunPhase::Searching: return kSearching;
        case TRunPhase::CheckingFiles: return kCheckingFiles;
        case TRunPhase::Checking: return kChecking;
        case TRunPhase::Downloading: return kDownloading;
        case TRunPhase::Extracting: return kExtracting;
        case TRunPhase::Failed: return kFailed;
    }
    return "";
}

// Over ten times any real client's list: a few hundred bytes from a hostile
// server must not decode into a list that fills the disk and the memory.
constexpr std::int64_t kMaxListSize = std::int64_t{64} << 20;

// The most a bzip2 copy of size bytes may take: bzip2 promises at most 1%
// more than its input plus 600 bytes; we allow 1/32 (3%) plus 4 KiB, so a
// copy larger than this was never made from that size. Saturates rather
// than overflow for a size near the 64-bit limit.
std::int64_t CompressedSizeBound(std::int64_t size) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (size > (kMax - 4096) / 33 * 32) return kMax;
    return size + size / 32 + 4096;
}

// A decimal number that fits a signed 32-bit integer, or EConvertError.
std::int32_t StrToInt(const std::string& text) {
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
        throw EConvertError("'" + text + "' is not a valid integer value");
    }
    return value;
}

// The digest of empty input, which FileDigest also gives a missing file.
constexpr std::string_view kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";

std::string FileDigestHex(const std::string& path) {
    TMD5Digest digest{};
    FileDigest(path, digest);
    return DigestToHex(digest);
}

std::uint64_t UnixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

struct GFilesThread::Impl {
    explicit Impl(GFilesThread& run)
        : throttle(std::chrono::milliseconds(20), [&run](TProgressKind kind, std::int32_t value) {
              switch (kind) {
                  case TProgressKind::File: run.view_.SyncFileProgress(value); break;
                  case TProgressKind::Extract: run.view_.SyncExtractProgress(value); break;
                  case TProgressKind::Total: run.view_.SyncTotalProgress(value); break;
              }
          }) {}

    TProgressThrottle throttle;
    // The unit of the file bar, chosen with its maximum.
    TBarScale fileBar;
    // Most bytes the decoding in progress may produce (the entry's size).
    std::optional<std::int64_t> extractLimit;
    // Every download of the run shares its connections and proxy settings.
    std::optional<os::HttpSession> http;
    // Most bytes the download in progress may bring.
    std::optional<std::int64_t> downloadLimit;
    TTempNames temps;
    // The partial copies of this list's entries, kept by the sweep.
    TPartialCopies partials;
    bool listRemoved = false;  // the decoded list, once its text was read
    bool anyFailure = false;
    // The entries of PendingFiles (by index) whose file the check found
    // missing: nothing needs to be looked for to put them in place.
    std::unordered_set<std::size_t> missing;
    // Entries repeating an earlier entry's file (in another case).
    TDuplicateEntries duplicates;
    TListTrust trust{std::string()};
    // The SHA-256 of the copy being decoded, with a key only.
    std::unique_ptr<TCopyHasher> copyHash;
};

GFilesThread::GFilesThread(TUpdateView& view, TSynchronizer& synchronizer)
    : impl_(std::make_unique<Impl>(*this)), view_(view), sync_(synchronizer), fetchConnections_(kFetchConnections) {}

GFilesThread::~GFilesThread() = default;

void GFilesThread::Start() {
    std::thread([this, control = control_] {
        const bool freeOnTerminate = FreeOnTerminate;
        ExecuteGuarded();
        if (freeOnTerminate) delete this;
        control->MarkEnded();
    }).detach();
}

void GFilesThread::SetProgressInterval(std::chrono::steady_clock::duration interval) {
    impl_->throttle.SetInterval(interval);
}

void GFilesThread::ExecuteGuarded() {
    try {
        Execute();
    } catch (...) {
        // Execute closes the run on every path; nothing may leave the thread.
        succeeded_ = false;
    }
}

// ---- window-side operations -------------------------------------------------

void GFilesThread::SetPhase(TRunPhase phase) {
    Phase = phase;
    StatusText = PhaseText(phase);
}

void GFilesThread::SyncStatus() { view_.SyncStatus(Phase, StatusText, DetailText); }
void GFilesThread::SyncProgressMax() { view_.SyncProgressMax(ProgressBarSelector, ProgressValue); }
void GFilesThread::SyncFileProgress() { view_.SyncFileProgress(ProgressValue); }
void GFilesThread::SyncExtractProgress() { view_.SyncExtractProgress(ProgressValue); }
void GFilesThread::SyncTotalProgress() { view_.SyncTotalProgress(ProgressValue); }
void GFilesThread::BeginUpdateView() { view_.BeginUpdateView(); }
void GFilesThread::EndUpdateView() { view_.EndUpdateView(); }
void GFilesThread::ShowUpdateFinished() { view_.ShowUpdateFinished(InstallFailed); }

void GFilesThread::Synchronize(void (GFilesThread::*operation)()) {
    impl_->throttle.BeforeOtherOperation();
    // Status and maxima are published like progress: the view takes them
    // without the worker waiting.
    if (operation == &GFilesThread::SyncStatus || operation == &GFilesThread::SyncProgressMax) {
        (this->*operation)();
        return;
    }
    sync_.Synchronize([this, operation] { (this->*operation)(); });
}

void GFilesThread::SetFileBarMax(std::int64_t bytes) {
    impl_->fileBar = TBarScale(bytes);
    ProgressBarSelector = 0;
    ProgressValue = impl_->fileBar.Max();
    Synchronize(&GFilesThread::SyncProgressMax);
}

void GFilesThread::ReportProgress(TProgressKind kind) { impl_->throttle.Report(kind, ProgressValue); }

void GFilesThread::ResetProgress(TProgressKind kind) {
    ProgressValue = 0;
    impl_->throttle.ReportNow(kind, 0);
}

void GFilesThread::ShowFailure() {
    SetPhase(TRunPhase::Failed);
    DetailText.clear();
    Synchronize(&GFilesThread::SyncStatus);
    impl_->anyFailure = true;
}

void GFilesThread::ReportEntry(std::string_view line, bool installed) {
    const auto entry = ParseEntry(line);
    const std::string path(entry ? entry->path : line);
    impl_->throttle.BeforeOtherOperation();
    sync_.Synchronize([this, &path, installed] { view_.EntryFinished(path, installed); });
}

// ---- the run ------------------------------------------------------------------

void GFilesThread::Execute() {
    InstallDir = os::GetCurrentDir() + "\\";
    Synchronize(&GFilesThread::BeginUpdateView);
    SetPhase(TRunPhase::Searching);
    Synchronize(&GFilesThread::SyncStatus);
    if (BaseUrl.empty() || BaseUrl.back() != '/') BaseUrl += '/';

    std::string listArchive, listFile;
    bool listFetched = false, listDecoded = false;
    try {
        listArchive = impl_->temps.Pick(InstallDir, "files.lst", ".bz2");
        impl_->downloadLimit = CompressedSizeBound(kMaxListSize);
        listFetched = DownloadFile(BaseUrl + "files.lst.bz2", listArchive, true);
        impl_->downloadLimit.reset();
        if (!listFetched) impl_->anyFailure = true;  // no server: the view just closes
    } catch (const std::exception&) {
        // A broken transfer or a list that can't be stored.
        impl_->downloadLimit.reset();
        ShowFailure();
    }
    if (listFetched && !VerifyFetchedList(listArchive)) {
        listFetched = false;
        ShowFailure();
    }

    if (listFetched) {
        SetPhase(TRunPhase::Idle);
        DetailText.clear();
        Synchronize(&GFilesThread::SyncStatus);
        try {
            listFile = impl_->temps.Pick(InstallDir, "files.lst", "");
            impl_->extractLimit = kMaxListSize;
            ExtractFile(listArchive, listFile);
            listDecoded = true;
        } catch (const std::exception&) {
            ShowFailure();
        }
        impl_->extractLimit.reset();
        if (listDecoded) {
            try {
                ProcessList(listFile);
            } catch (const std::exception&) {
                // A list the run can't use (no valid Rev, unreadable file):
                // the run fails but still closes below.
                ShowFailure();
            }
            PendingFiles.clear();  // views into the list, which is gone
            impl_->missing.clear();
        }
    }

    // Closing steps, reached on every path.
    SetPhase(TRunPhase::Idle);
    DetailText.clear();
    if (listDecoded && !impl_->listRemoved) os::DeleteFile(listFile);
    Synchronize(&GFilesThread::SyncStatus);
    Synchronize(&GFilesThread::EndUpdateView);
    succeeded_ = !impl_->anyFailure && !InstallFailed && !control_->StopRequested();
}

// With a public key, the list is decoded only once its signature verified;
// without one, nothing is asked for.
bool GFilesThread::VerifyFetchedList(const std::string& listArchive) {
    TrustProblem.clear();
    try {
        impl_->trust = TListTrust(PublicKey);
        TListTrust::TTemps temps;
        if (impl_->trust.Enabled()) {
            temps.signature = impl_->temps.Pick(InstallDir, "files.lst.bz2", ".sig");
            temps.state = impl_->temps.Pick(InstallDir, kSerialStateName, ".tmp");
        }
        TrustProblem = impl_->trust.VerifyList(
            InstallDir, BaseUrl + "files.lst.bz2", listArchive, temps,
            [this](const std::string& url, const std::string& path) { return DownloadFile(url, path, true); },
            UnixNow());
    } catch (const std::exception& e) {
        TrustProblem = e.what();
    }
    if (TrustProblem.empty()) return true;
    os::DeleteFile(listArchive);
    return false;
}

void GFilesThread::ProcessList(const std::string& listFile) {
    // The text is read once and every section is a view into it.
    TListFile reader(listFile);
    PendingFiles.Reset(reader.Text());
    impl_->missing.clear();
    const std::int32_t rev = StrToInt(reader.ReadValue("settings", "Rev"));
    const TListLines self = reader.ReadSectionLines("self");
    const TListLines critical = reader.ReadSectionLines("files_critical");
    const TListLines normal = reader.ReadSectionLines("files_normal");
    // The text is in memory: the file goes now, before an entry that
    // claims its name could be installed there.
    os::DeleteFile(listFile);
    impl_->listRemoved = true;
    ClaimAndSweep({&self, &critical, &normal});
    FindDuplicates(self, critical, normal);
    PendingFiles.reserve(critical.size() + (ForceCheck || rev > 0 ? normal.size() : 0) + 1);
    SelfEntry = self.empty() ? std::string("FAIL") : std::string(self.front());
    if (SelfEntry != "FAIL") UpdateSelf(SelfEntry);
    CheckFiles(critical);
    if (ForceCheck || rev > 0) CheckFiles(normal);
    UpdateFiles();
}

// Every entry's name is claimed before any temporary is named, so that no
// temporary takes a managed file's name; then what killed runs left goes.
void GFilesThread::ClaimAndSweep(std::initializer_list<const TListLines*> sections) {
    TTempNames& temps = impl_->temps;
    for (const TListLines* section : sections) {
        section->ForEach([&](std::string_view line) {
            const auto entry = ParseEntry(line);
            if (!entry || !IsSafeRelativePath(entry->path)) return;
            temps.Claim(entry->path);
            if (const auto size = ParseSize(entry->size)) {
                impl_->partials.Keep(entry->path, entry->digest, static_cast<std::uint64_t>(*size));
            }
        });
    }
    temps.Seal();
    impl_->partials.Seal();
    // Partial copies of entries gone from the list, or whose digest or size
    // changed, go with the other leftovers.
    const std::string stateTemporary = std::string(kSerialStateName) + ".tmp";
    temps.Sweep(InstallDir, {"files.lst", "files.lst.bz2", "files.lst.bz2.sig", stateTemporary},
                [this](std::string_view relative) { return impl_->partials.Kept(relative); });
    impl_->partials = TPartialCopies();  // needed by the sweep alone
}

// In the order the run takes the entries up: the updater's own name (as
// UpdateSelf takes it), then the critical and the normal files.
void GFilesThread::FindDuplicates(const TListLines& self, const TListLines& critical, const TListLines& normal) {
    TDuplicateEntries& duplicates = impl_->duplicates = TDuplicateEntries(impl_->temps.Repeated());
    if (!self.empty()) {
        const auto entry = ParseEntry(self.front());
        if (entry && IsSafeSelfName(entry->path)) duplicates.Take(self.front(), entry->path);
    }
    for (const TListLines* section : {&critical, &normal}) {
        section->ForEach([&](std::string_view line) {
            const auto entry = ParseEntry(line);
            if (entry && IsSafeRelativePath(entry->path)) duplicates.Take(line, entry->path);
        });
    }
    duplicates.Seal();
}

void GFilesThread::CheckFiles(const TListLines& section) {
    if (section.empty() || section.front() == "FAIL") return;
    SetPhase(TRunPhase::CheckingFiles);
    Synchronize(&GFilesThread::SyncStatus);
    ProgressBarSelector = 1;
    ProgressValue = static_cast<std::int32_t>(section.size() - 1);
    Synchronize(&GFilesThread::SyncProgressMax);

    // The lines by number, for the helper that hashes ahead.
    TLineRefs numbered(section.Body());
    numbered.reserve(section.size());
    section.ForEach([&](std::string_view line) { numbered.push_back(line); });
    // Each entry's local digest (nullopt: no such file), hashed a few
    // entries ahead on a second core; the entries are decided in order.
    TWorkAhead<std::optional<std::string>> localDigests(numbered.size(), [this, &numbered](std::size_t i) {
        const auto entry = ParseEntry(numbered[i]);
        std::optional<std::string> digest;
        if (!entry || !IsSafeRelativePath(entry->path)) return digest;
        const std::string local = InstallDir + std::string(entry->path);
        try {
            digest = FileDigestHex(local);
        } catch (const std::exception&) {
            return std::optional<std::string>(std::string());  // unreadable now: fetch it again
        }
        // A missing file hashes as empty input; only then is it looked up,
        // which saves a lookup per file in the common case.
        if (*digest == kEmptyDigest && !os::FileExists(local)) digest.reset();
        return digest;
    });
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        control_->ThrowIfStopped();
        const std::string_view line = numbered[i];
        ProgressValue = static_cast<std::int32_t>(i);
        ReportProgress(TProgressKind::Total);
        const auto entry = ParseEntry(line);
        SetPhase(TRunPhase::Checking);
        const std::string_view shown = entry ? entry->path : line;
        DetailText.assign(1 + shown.size(), ' ');
        std::copy(shown.begin(), shown.end(), DetailText.begin() + 1);
        Synchronize(&GFilesThread::SyncStatus);
        // A line that can't name a file below the install directory is not
        // looked up on disk; installing it fails, which the user then sees.
        if (!entry || !IsSafeRelativePath(entry->path)) {
            PendingFiles.push_back(line);
            continue;
        }
        // Neither checked nor installed twice; a failed entry, since the list
        // asks for two files the disk can't hold apart.
        if (impl_->duplicates.Contains(line)) {
            ShowFailure();
            continue;
        }
        const std::optional<std::string> digest = localDigests.Take(i);
        if (!digest) impl_->missing.insert(PendingFiles.size());
        if (!digest || *digest != entry->digest) PendingFiles.push_back(line);
    }

    ResetProgress(TProgressKind::Total);
    SetPhase(TRunPhase::Idle);
    DetailText.clear();
    Synchronize(&GFilesThread::SyncStatus);
}

void GFilesThread::UpdateFiles() {
    InstallFailed = false;
    if (PendingFiles.empty()) return;
    ProgressValue = static_cast<std::int32_t>(PendingFiles.size() - 1);
    ProgressBarSelector = 1;
    Synchronize(&GFilesThread::SyncProgressMax);

    // With several connections, the entries are fetched, decoded and
    // verified ahead (engine/InstallAhead); the view still follows them in
    // list order, and they are put in place in that order.
    std::optional<TInstallAhead> ahead;
    if (fetchConnections_ > 1) StartAhead(ahead);
    for (std::size_t i = 0; i < PendingFiles.size();) {
        control_->ThrowIfStopped();
        const TInstallResult result = ahead ? ShowAheadEntry(*ahead, i) : InstallEntry(i);
        ReportEntry(PendingFiles[i], result == TInstallResult::Installed);
        if (result != TInstallResult::Installed) {
            ShowFailure();
            InstallFailed = true;
        }
        // A server that can't be reached fails every entry after this one too.
        if (result == TInstallResult::Unreachable) break;
        ++i;
        ProgressValue = static_cast<std::int32_t>(i);
        ProgressBarSelector = 1;
        ReportProgress(TProgressKind::Total);
    }
    ahead.reset();  // what was done ahead of an unreachable entry goes

    ResetProgress(TProgressKind::Total);
    Synchronize(&GFilesThread::ShowUpdateFinished);
}

void GFilesThread::StartAhead(std::optional<TInstallAhead>& ahead) {
    TInstallAhead::TOptions options;
    options.installDir = InstallDir;
    options.agent = kAgent;
    options.connections = fetchConnections_;
    options.temps = &impl_->temps;
    options.trust = &impl_->trust;
    options.control = control_.get();
    options.session = &impl_->http;
    // Called on the workers' threads: PendingFiles and BaseUrl stay as they
    // are during the loop.
    ahead.emplace(std::move(options), PendingFiles.size(), [this](std::size_t i) {
        std::optional<TAheadJob> job;
        const auto entry = ParseEntry(PendingFiles[i]);
        if (!entry || !IsSafeRelativePath(entry->path)) return job;
        const std::optional<std::int64_t> size = ParseSize(entry->size);
        if (!size) return job;
        job.emplace();
        job->path = entry->path;
        job->url = BaseUrl + ReplaceAll(job->path, "\\", "/") + ".bz2";
        job->digest = entry->digest;
        job->sha256 = entry->sha256;
        job->size = *size;
        job->copyLimit = CompressedSizeBound(*size);
        return job;
    });
}

// Shows entry i as the one-at-a-time loop does (Downloading, its bar,
// Extracting, its bar), from what its worker publishes, then puts its
// verified copy in place.
GFilesThread::TInstallResult GFilesThread::ShowAheadEntry(TInstallAhead& ahead, std::size_t i) {
    std::string part;
    const auto entry = ParseEntry(PendingFiles[i]);
    if (!entry || !IsSafeRelativePath(entry->path)) {
        ahead.Take(i, part);
        return TInstallResult::Failed;
    }
    const std::string path(entry->path);
    SetPhase(TRunPhase::Downloading);
    DetailText = path;
    Synchronize(&GFilesThread::SyncStatus);
    const std::optional<std::int64_t> size = ParseSize(entry->size);
    if (!size) {
        ahead.Take(i, part);
        return TInstallResult::Failed;
    }
    SetFileBarMax(*size);

    using TStage = TInstallAhead::TStage;
    int shownAttempt = 1;
    TStage shown = TStage::Downloading;
    // A bar's positions grow: each is shown once, 0 only by its reset.
    std::int64_t last = 0;
    const auto show = [&](TProgressKind kind, std::int64_t bytes) {
        if (bytes <= last) return;
        last = bytes;
        ProgressValue = impl_->fileBar.Position(bytes);
        ReportProgress(kind);
    };
    for (;;) {
        const TInstallAhead::TState state = ahead.Wait(i, std::chrono::milliseconds(20));
        if (state.attempt > shownAttempt) {
            // A resumed copy failed and is fetched again from zero.
            ResetProgress(shown == TStage::Extracting ? TProgressKind::Extract : TProgressKind::File);
            shownAttempt = state.attempt;
            shown = TStage::Downloading;
            last = 0;
            SetPhase(TRunPhase::Downloading);
            DetailText = path;
            Synchronize(&GFilesThread::SyncStatus);
            SetFileBarMax(*size);
            continue;
        }
        const bool done = state.stage == TStage::Done;
        const bool decoded = state.stage == TStage::Extracting || (done && state.compressed > 0);
        if (shown == TStage::Downloading) {
            // A copy done ahead shows where its transfer began and ended.
            show(TProgressKind::File, state.from);
            show(TProgressKind::File, decoded ? state.compressed : state.bytes);
        }
        if (decoded && shown == TStage::Downloading) {
            ResetProgress(TProgressKind::File);
            SetPhase(TRunPhase::Extracting);
            DetailText = path;
            Synchronize(&GFilesThread::SyncStatus);
            SetFileBarMax(state.compressed);
            shown = TStage::Extracting;
            last = 0;
        }
        if (shown == TStage::Extracting) show(TProgressKind::Extract, done ? state.compressed : state.bytes);
        if (done) break;
        control_->ThrowIfStopped();
    }
    ResetProgress(shown == TStage::Extracting ? TProgressKind::Extract : TProgressKind::File);

    const TInstallAhead::TOutcome outcome = ahead.Take(i, part);
    if (outcome == TInstallAhead::TOutcome::Unreachable) return TInstallResult::Unreachable;
    if (outcome != TInstallAhead::TOutcome::Ready) return TInstallResult::Failed;
    try {
        PutInPlace(part, InstallDir + path, i);
    } catch (const std::exception&) {
        os::DeleteFile(part);  // ours: decoded ahead for this entry
        return TInstallResult::Failed;
    }
    return TInstallResult::Installed;
}

// A file found missing is renamed to its name without first looking for
// another to replace there: under Wine that lookup reads its whole directory.
void GFilesThread::PutInPlace(const std::string& part, const std::string& target, std::size_t i) {
    if (impl_->missing.contains(i) && os::RenameToNewName(part, target)) return;
    os::ReplaceFile(part, target);
}

GFilesThread::TInstallResult GFilesThread::InstallEntry(std::size_t i) {
    const auto entry = ParseEntry(PendingFiles[i]);
    if (!entry || !IsSafeRelativePath(entry->path)) return TInstallResult::Failed;
    const std::string path(entry->path);
    const std::string target = InstallDir + path;

    SetPhase(TRunPhase::Downloading);
    DetailText = path;
    Synchronize(&GFilesThread::SyncStatus);

    const std::optional<std::int64_t> parsedSize = ParseSize(entry->size);
    if (!parsedSize) return TInstallResult::Failed;
    const std::int64_t size = *parsedSize;
    SetFileBarMax(size);

    const std::string targetDir = target.substr(0, target.rfind('\\') + 1);
    const std::string url = BaseUrl + ReplaceAll(path, "\\", "/") + ".bz2";
    std::string part;
    // A resumed copy that fails verification is fetched once more, whole.
    for (bool fromZero = false;; fromZero = true) {
        std::string archive;
        bool resumed = false;
        try {
            if (!os::DirectoryExists(targetDir)) os::ForceDirectories(targetDir);
            archive =
                FetchCopy(url, path, std::string(entry->digest), static_cast<std::uint64_t>(size), fromZero, resumed);
        } catch (const std::exception&) {
            return TInstallResult::Failed;
        }
        if (archive.empty()) return TInstallResult::Unreachable;

        SetPhase(TRunPhase::Extracting);
        DetailText = path;
        Synchronize(&GFilesThread::SyncStatus);
        try {
            part = impl_->temps.Pick(InstallDir, path, ".part");
            ExtractVerified(archive, part, std::string(entry->digest), size, std::string(entry->sha256));
            break;
        } catch (const ERunStopped&) {
            return TInstallResult::Failed;
        } catch (const std::exception&) {
            if (!resumed) return TInstallResult::Failed;
        }
        SetPhase(TRunPhase::Downloading);
        DetailText = path;
        Synchronize(&GFilesThread::SyncStatus);
    }
    try {
        PutInPlace(part, target, i);
    } catch (const std::exception&) {
        os::DeleteFile(part);  // ours: made by ExtractVerified above
        return TInstallResult::Failed;
    }
    return TInstallResult::Installed;
}

void GFilesThread::ExtractVerified(const std::string& archive, const std::string& decoded, const std::string& digest,
                                   std::int64_t size, const std::string& sha256) {
    impl_->extractLimit = size;
    if (impl_->trust.Enabled()) impl_->copyHash = std::make_unique<TCopyHasher>();
    try {
        ExtractFile(archive, decoded);
    } catch (...) {
        impl_->extractLimit.reset();
        impl_->copyHash.reset();
        throw;
    }
    impl_->extractLimit.reset();
    const std::unique_ptr<TCopyHasher> copyHash = std::move(impl_->copyHash);
    try {
        VerifyDecoded(decoded, digest, copyHash.get(), impl_->trust, sha256);
    } catch (...) {
        os::DeleteFile(decoded);
        throw;
    }
}

void GFilesThread::UpdateSelf(const std::string& entryLine) {
    if (entryLine.empty()) return;
    const auto entry = ParseEntry(entryLine);
    // The script names the executable unquoted: only a bare, plain name.
    if (!entry || !IsSafeSelfName(entry->path)) {
        ShowFailure();
        return;
    }
    const std::string name(entry->path);
    std::string current;
    try {
        current = FileDigestHex(InstallDir + name);
    } catch (const std::exception&) {
        current.clear();
    }
    if (current == entry->digest) return;

    if (SelfMode == TSelfMode::OrdinaryFile) {
        PendingFiles.push_back(entryLine);
        return;
    }

    // The script renames exactly <name>.New and writes Update.bat: when the
    // list manages a file of either name, the swap would destroy it.
    const std::string fresh = InstallDir + name + ".New";
    if (impl_->temps.Claimed(name + ".New") || impl_->temps.Claimed("Update.bat") || os::NameTaken(fresh)) {
        ShowFailure();
        return;
    }
    bool fetched = false;
    try {
        const std::optional<std::int64_t> parsedSize = ParseSize(entry->size);
        if (!parsedSize) throw EConvertError("'" + std::string(entry->size) + "' is not a valid size");
        const std::int64_t size = *parsedSize;
        const std::string archive = impl_->temps.Pick(InstallDir, name, ".bz2");
        impl_->downloadLimit = CompressedSizeBound(size);
        fetched = DownloadFile(BaseUrl + name + ".bz2", archive, true);
        impl_->downloadLimit.reset();
        // Only a complete, verified copy is handed to the script.
        if (fetched) ExtractVerified(archive, fresh, std::string(entry->digest), size, std::string(entry->sha256));
    } catch (const std::exception&) {
        impl_->downloadLimit.reset();
        ShowFailure();
        return;
    }
    if (!fetched) return;
    try {
        WriteUpdateScript(name);
        Synchronize(&GFilesThread::CatchUp);
        control_->ThrowIfStopped();  // a closed window restarts nothing
        RunProgram(InstallDir + "Update.bat");
    } catch (const std::exception&) {
        os::DeleteFile(fresh);
        os::DeleteFile(InstallDir + "Update.bat");
        ShowFailure();
    }
}

bool GFilesThread::DownloadFile(const std::string& url, const std::string& localPath, bool reportProgress) {
    bool result = false;
    ProgressValue = 0;
    bool created = false;
    try {
        if (!impl_->http) impl_->http.emplace(kAgent);
        if (auto response = impl_->http->Open(url)) {
            // Made here or not at all: never an existing file or a link.
            os::File file = os::File::CreateNew(localPath, os::Share::ReadWrite);
            created = true;
            bool broken = false;
            ReceiveBody(*response, file, 0, reportProgress, broken);
            file.Close();
            result = true;
        }
    } catch (...) {
        // The file object is gone by now, so the name can be removed.
        if (created) os::DeleteFile(localPath);
        ResetProgress(TProgressKind::File);
        throw;
    }
    ResetProgress(TProgressKind::File);
    return result;
}

// Fetches an entry's copy into its partial copy's name, continuing what an
// earlier run left there when the server still has the same copy. Returns
// the complete copy's path, or "" when the server can't be reached. A
// transfer that breaks (cut, stalled, stopped) keeps what arrived for the
// next run; anything else removes it.
std::string GFilesThread::FetchCopy(const std::string& url, const std::string& relative, const std::string& digest,
                                    std::uint64_t size, bool fromZero, bool& resumed) {
    const std::int64_t limit = CompressedSizeBound(static_cast<std::int64_t>(size));
    struct LimitReset {
        Impl& impl;
        ~LimitReset() { impl.downloadLimit.reset(); }
    } limitReset{*impl_};
    impl_->downloadLimit = limit;
    if (!impl_->http) impl_->http.emplace(kAgent);
    const TCopyFetch how{*impl_->http, InstallDir, impl_->temps,
                         [this](const std::string& rel, const std::string& suffix) {
                             return impl_->temps.Pick(InstallDir, rel, suffix);
                         },
                         [this](os::HttpResponse& response, os::File& file, std::uint64_t offset, bool& broken) {
                             ProgressValue = 0;
                             try {
                                 ReceiveBody(response, file, offset, true, broken);
                             } catch (...) {
                                 ResetProgress(TProgressKind::File);
                                 throw;
                             }
                             ResetProgress(TProgressKind::File);
                         }};
    return FetchEntryCopy(how, url, relative, digest, size, static_cast<std::uint64_t>(limit), fromZero, resumed);
}

// Writes a body after offset bytes already there; broken tells whether a
// failure was the transfer's own (cut, stall, stop) rather than the copy's.
void GFilesThread::ReceiveBody(os::HttpResponse& response, os::File& file, std::uint64_t offset, bool reportProgress,
                               bool& broken) {
    std::optional<std::uint64_t> limit;
    if (impl_->downloadLimit) limit = static_cast<std::uint64_t>(*impl_->downloadLimit);
    ReceiveCopy(
        response, file, offset, limit,
        [this, reportProgress](std::uint64_t received) {
            if (!reportProgress) return;
            ProgressValue = impl_->fileBar.Position(static_cast<std::int64_t>(received));
            ReportProgress(TProgressKind::File);
        },
        [this] { return control_->StopRequested(); }, broken);
}

void GFilesThread::ExtractFile(const std::string& sourcePath, const std::string& targetPath) {
    auto source = std::make_unique<TFileStream>(sourcePath, TFileStream::Mode::OpenRead, os::Share::Read);
    bool created = false;
    try {
        TFileStream target(targetPath, TFileStream::Mode::CreateNew, os::Share::None);
        created = true;
        DecompressStream(*source, target);
        target.Close();
    } catch (...) {
        source.reset();
        os::DeleteFile(sourcePath);
        if (created) os::DeleteFile(targetPath);  // a partial copy, closed by now
        throw;
    }
    source.reset();
    os::DeleteFile(sourcePath);
}

void GFilesThread::DecompressStream(TStream& source, TStream& target) {
    ExtractSource = &source;
    SetFileBarMax(source.Size());
    auto finish = [this] {
        ExtractSource = nullptr;
        ResetProgress(TProgressKind::Extract);
    };
    try {
        TBZDecompressionStream decoder(source);
        decoder.OnProgress = [this](void* sender) { OnExtractProgress(sender); };
        DecodeCopy(decoder, target, impl_->extractLimit, impl_->copyHash.get(), [this] { control_->ThrowIfStopped(); });
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void GFilesThread::OnExtractProgress(void*) {
    ProgressValue = impl_->fileBar.Position(ExtractSource->Position());
    ReportProgress(TProgressKind::Extract);
}
