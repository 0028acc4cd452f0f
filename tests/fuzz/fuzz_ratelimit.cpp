// Fuzzes the window's settings file (CorvelUpdater.ini beside the updater,
// which anything on the machine may have written): whatever it holds, the
// limit read is one the menu offers, a channel read is a safe name, only the
// file's first bytes are read, and settings written read back as themselves.
#include "formats/Publication.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/unit/scratch_dir.h"
#include "ui/Settings.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const scratch::Dir dir;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const TSettings settings = ParseSettings(text);
    const std::uint64_t limit = settings.limit;
    Check(std::find(kRateLimitChoices.begin(), kRateLimitChoices.end(), limit) != kRateLimitChoices.end(),
          "a limit the menu doesn't offer");
    Check(settings.channel.empty() || IsPublicationName(settings.channel), "a channel that can't be one");
    const TSettings back = ParseSettings(SettingsText(settings));
    Check(back.limit == limit && back.channel == settings.channel, "written settings do not read back");

    const auto file = dir.Native() / "CorvelUpdater.ini";
    scratch::WriteAll(file, text);
    const TSettings read = ReadSettings(file), first = ParseSettings(text.substr(0, 256));
    Check(read.limit == first.limit && read.channel == first.channel, "the file read past its first bytes");
    return 0;
}
