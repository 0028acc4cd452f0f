// Fuzzes the window's settings file (CorvelUpdater.ini beside the updater,
// which anything on the machine may have written): whatever it holds, the
// limit read is one the menu offers, only the file's first bytes are read,
// and a limit written reads back as itself.
#include "tests/fuzz/FuzzCheck.h"
#include "tests/unit/scratch_dir.h"
#include "ui/Settings.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const scratch::Dir dir;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::uint64_t limit = ParseRateLimit(text);
    Check(std::find(kRateLimitChoices.begin(), kRateLimitChoices.end(), limit) != kRateLimitChoices.end(),
          "a limit the menu doesn't offer");
    Check(ParseRateLimit(RateLimitText(limit)) == limit, "a written limit does not read back");

    const auto file = dir.Native() / "CorvelUpdater.ini";
    scratch::WriteAll(file, text);
    Check(ReadRateLimit(file) == ParseRateLimit(text.substr(0, 256)), "the file read past its first bytes");
    return 0;
}
