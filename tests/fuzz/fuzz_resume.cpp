// Fuzzes what a resumed transfer reads from outside: the server's
// Content-Range, and the validator tag a partial copy keeps on disk (which
// anything that can write the install folder may have replaced). A tag
// that could add headers to our request is never sent, and a partial copy
// is either continued exactly where it ends or removed with its tag.
// Input: two control bytes (the partial copy's length, the limit), then
// "<Content-Range>\n<relative path>\n<digest>\n<tag bytes...>".
#include "engine/fetch/Resume.h"
#include "platform/os.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/unit/scratch_dir.h"

#include <string>

namespace {

std::string_view Line(TFuzzInput& input) {
    const std::string_view rest = input.Rest();
    const std::string_view line = rest.substr(0, rest.find('\n'));
    input.Take(line.size() + 1);
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const scratch::Dir dir;
    TFuzzInput input(data, size);
    const std::size_t length = input.Byte();
    const std::uint64_t limit = input.Byte();
    const std::string range(Line(input)), relative(Line(input)), digest(Line(input)), tag(input.Rest());

    const std::int64_t start = os::ParseContentRangeStart(range);
    Check(start >= -1, "a negative offset");
    if (start >= 0) {
        const std::string same = "bytes " + std::to_string(start) + "-" + std::to_string(start) + "/*";
        Check(os::ParseContentRangeStart(same) == start, "an offset that does not read back");
    }
    if (os::SafeHttpValidator(tag)) {
        Check(tag.size() <= 512 && tag.find_first_of("\r\n") == std::string::npos, "a tag that adds headers");
    }

    // A partial copy of `length` bytes with the tag beside it.
    scratch::WriteAll(dir.Native() / "part", std::string(length, 'x'));
    scratch::WriteAll(dir.Native() / ("part" + std::string(TPartialCopies::kValidatorSuffix)), tag);
    const std::string partial = dir / "part";
    if (const auto point = TPartialCopies::Open(partial, limit)) {
        Check(point->validator == tag && os::SafeHttpValidator(point->validator), "a tag sent other than kept");
        Check(point->offset == length && length > 0 && length < limit, "continued elsewhere than the copy's end");
    } else {
        Check(!os::NameTaken(partial) && !os::NameTaken(partial + std::string(TPartialCopies::kValidatorSuffix)),
              "a copy that is not continued stayed");
    }

    // A listed entry's partial copy and its tag survive the sweep; a name
    // is made only from a digest.
    const std::string name = TPartialCopies::Name(relative, digest, kResumableSize);
    if (!name.empty()) {
        Check(digest.size() == 32 && digest.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos,
              "a name from what is not a digest");
        TPartialCopies kept;
        kept.Keep(relative, digest, kResumableSize);
        kept.Seal();
        Check(kept.Kept(name) && kept.Kept(name + std::string(TPartialCopies::kValidatorSuffix)), "a kept copy swept");
    }
    return 0;
}
