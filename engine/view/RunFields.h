// The fields of an update run, which its window-side operations read and
// its steps fill in. GFilesThread is made of them; the steps see only these,
// through the run's context, never the thread itself.
#pragma once

#include "engine/view/UpdateView.h"
#include "formats/LineRefs.h"

#include <cstdint>
#include <string>
#include <vector>

class TStream;

// How the run treats the [self] entry.
enum class TSelfMode {
    // The updater's own executable: fetched as ".New" and swapped in by
    // Update.bat, which ends and restarts the running program.
    Script,
    // A tool that is not the updater (corvel-update): the entry is installed
    // like any other file, verified and atomically, and no script is written.
    OrdinaryFile,
};

struct TRunFields {
    TSelfMode SelfMode = TSelfMode::Script;

    // In declaration order.
    std::int32_t ProgressValue = 0;
    std::string DetailText;
    std::string StatusText;
    TRunPhase Phase = TRunPhase::Idle;
    // The lines of the entries to install, referring into the list's text
    // while the list is held (SelfEntry is copied).
    TLineRefs PendingFiles;
    bool ForceCheck = false;
    std::int32_t ProgressBarSelector = 0;
    std::string BaseUrl;
    std::string SelfEntry;
    std::string InstallDir;
    TStream* ExtractSource = nullptr;
    bool InstallFailed = false;
    // The operator's Ed25519 public key (64 hex digits): with it, the list
    // must carry a valid signature and every copy its SHA-256. Empty: no
    // signature is asked for.
    std::string PublicKey;
    // Why a signed list was refused (for the console tool); empty otherwise.
    std::string TrustProblem;
    // The stage the list announces, fetched ahead (engine/steps/NextStep):
    // its name (empty: none, or not fetched), the bytes of its contents the
    // install holds and the bytes it needs beyond the installed files, and
    // why it stopped short (empty: it didn't).
    std::string NextName;
    std::int64_t NextStaged = 0;
    std::int64_t NextNeeded = 0;
    std::string NextProblem;
    // The channels the live list names, in its order (the launcher's menu
    // offers them); the channel the run followed (empty: the live
    // publication); why it didn't follow the one it was asked to (empty:
    // it did, or was asked none).
    std::vector<std::string> Channels;
    std::string Channel;
    std::string ChannelProblem;
    // Servers asked after BaseUrl, in order, when it fails (engine/fetch/Servers).
    std::vector<std::string> Mirrors;

    // Sets Phase and its text in StatusText.
    void SetPhase(TRunPhase phase);
};

// The first status line of each phase, in the list's code page.
const char* PhaseText(TRunPhase phase);
