// Fuzzes the install record (files.lst.installed), which anyone who can
// write the install folder can plant: no line that survives the reading may
// name anything outside the install or the updater's own files, and the
// record the run writes back reads as itself. The first byte drives what
// the run does with the lines it finds.
#include "engine/state/InstallRecord.h"
#include "formats/Names.h"
#include "formats/Publication.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool IsDigest(std::string_view text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::size_t CountLines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TFuzzInput input(data, size);
    const std::uint8_t plan = input.Byte();
    TInstallRecord record{std::string(input.Rest())};
    const std::string read = record.Text();
    Check(TInstallRecord(read).Text() == read, "the record does not read back");

    std::vector<TInstallRecord::TLine> held;
    record.Review([&](const TInstallRecord::TLine& line) {
        Check(IsSafeRelativePath(line.path) && !IsInstallOwnName(line.path), "a line names what it must not");
        Check(IsDigest(line.digest) && line.size >= 0, "a line without a digest and a size");
        held.push_back(line);
        return true;
    });
    Check(CountLines(read) == held.size(), "lines held and written differ");

    // Each line in turn: found current, found changed, dropped, reinstalled,
    // or left, as the plan's bits say.
    std::size_t kept = 0, installed = 0;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const std::string path(held[i].path), digest(held[i].digest);
        switch ((plan >> (2 * (i % 4))) & 3) {
            case 0:
                record.Current(path, digest);
                ++kept;
                break;
            case 1: record.Current(path, std::string(32, digest[0] == '0' ? '1' : '0')); break;
            case 2:
                record.Installed(path, digest, held[i].size ^ 1);
                ++installed;
                break;
            default: ++kept; break;
        }
    }
    const std::string after = record.Text();
    Check(CountLines(after) == kept + installed, "the run's changes were not all kept");
    Check(TInstallRecord(after).Text() == after, "the written record does not read back");
    return 0;
}
