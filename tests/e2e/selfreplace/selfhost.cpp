// A stand-in for the updater's executable: runs one real update run that
// may replace this very program through Update.bat, and logs each start so
// the test can see which build is running.
//
// Everything lives in the current directory: selfhost.url holds the base
// URL, selfhost.key the key of a signed run, selfhost.log receives "started
// V", "finished V ok|failed" and then a failure's reason.
#include "engine/GetFilesThr.h"
#include "engine/view/UpdateView.h"
#include "formats/EmbeddedKey.h"
#include "platform/os.h"
#include "tests/e2e/quiet_view.h"

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#ifndef SELFHOST_VERSION
#error "SELFHOST_VERSION must name the build"
#endif
#define SELFHOST_STR2(x) #x
#define SELFHOST_STR(x) SELFHOST_STR2(x)

namespace {

constexpr const char* kVersion = SELFHOST_STR(SELFHOST_VERSION);

void Log(const std::string& line) {
    std::ofstream log("selfhost.log", std::ios::app | std::ios::binary);
    log << line << "\n";
}

#if SELFHOST_VERSION == 2
// A new build's key slot: the test writes its key over the zeros, or spoils it.
[[gnu::used]] const char kKeySlot[] = CORVEL_EMBEDDED_KEY_MARKER "0000000000000000000000000000000000000000000000000000000000000000";
#endif

}  // namespace

int main() {
    Log(std::string("started ") + kVersion);
    std::string url;
    {
        std::ifstream in("selfhost.url", std::ios::binary);
        std::getline(in, url);
    }
    while (!url.empty() && (url.back() == '\r' || url.back() == '\n' || url.back() == ' ')) url.pop_back();

    TQuietView view;
    TDirectSynchronizer sync;
    GFilesThread run(view, sync);
    run.SelfMode = TSelfMode::Script;
    run.BaseUrl = url;
    std::getline(std::ifstream("selfhost.key", std::ios::binary), run.PublicKey);
    run.RunInline();
    const bool ok = run.Succeeded();
    Log(std::string("finished ") + kVersion + (ok ? " ok" : " failed"));
    if (!ok) Log("reason " + DescribeFailure(run.Failure()));

    // A pending replacement: wait for Update.bat to end this process. The
    // wait is bounded so a script that never comes doesn't leave us behind.
    if (os::FileExists(os::GetCurrentDir() + "\\selfhost.exe.New")) {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        Log(std::string("not ended ") + kVersion);
    }
    return ok ? 0 : 1;
}
