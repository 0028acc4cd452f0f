// Fuzzes the list's grammar over arbitrary text: the reads must end in a
// result or one of our exceptions, never in a crash, and what they return
// must keep the format's promises. The grammar works on text, so no file is
// written.
#include "formats/ListGrammar.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

void CheckFields(const std::string& line) {
    const std::vector<std::string> fields = SplitFields(line, "|");
    // Joined first-to-last, the fields give the line with runs of "|"
    // collapsed and outer ones dropped.
    std::string joined, collapsed;
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) {
        Check(!it->empty() && it->find('|') == std::string::npos, "bad field");
        joined += (joined.empty() ? "" : "|") + *it;
    }
    for (char c : line)
        if (c != '|' || (!collapsed.empty() && collapsed.back() != '|')) collapsed += c;
    if (!collapsed.empty() && collapsed.back() == '|') collapsed.pop_back();
    Check(joined == collapsed, "fields don't rebuild the line");
    for (std::size_t i = 0; i < 3; ++i) {
        try {
            Check(&FieldAt(fields, i) == &fields[i], "FieldAt returned another field");
        } catch (const EListError&) {
            Check(i >= fields.size(), "FieldAt refused an existing field");
        }
    }
    // An entry is the first fields SplitFields gives, viewed in place.
    const auto entry = ParseEntry(line);
    Check(entry.has_value() == (fields.size() >= 3), "entry and fields disagree on the count");
    if (entry) {
        Check(entry->size == fields[0] && entry->digest == fields[1] && entry->path == fields[2] &&
                  entry->sha256 == (fields.size() > 3 ? std::string_view(fields[3]) : std::string_view()),
              "entry and fields disagree");
        // A size is decimal digits only and reads back as itself.
        if (const auto size = ParseSize(entry->size)) {
            std::string_view digits = entry->size;
            if (digits.front() == '+') digits.remove_prefix(1);
            while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
            Check(*size >= 0 && std::to_string(*size) == digits, "size does not read back");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view text = ListText(bytes);
    Check(text.find('\x1a') == std::string_view::npos, "text holds 0x1A");
    // The input's first line also serves as a section name and a key, so
    // the fuzzer can build matching sections of its own.
    const std::string own(bytes.substr(0, std::min<std::size_t>(bytes.find('\n'), 64)));
    for (const std::string& name : {std::string("settings"), std::string("self"), std::string("files_critical"),
                                    std::string("files_normal"), own}) {
        const TListLines lines = FindListSection(text, name);
        std::size_t count = 0;
        lines.ForEach([&](std::string_view line) {
            ++count;
            Check(!line.empty() && !Blank(line.front()) && !Blank(line.back()), "untrimmed line");
            Check(line.find('\n') == std::string_view::npos, "line holds a line end");
            Check(line.data() >= text.data() && line.data() + line.size() <= text.data() + text.size(),
                  "line is not a view into the text");
            CheckFields(std::string(line));
        });
        Check(count == lines.size(), "section counts other lines than it hands out");
        for (const std::string& key : {std::string("Rev"), own}) {
            try {
                const std::string value = FindListValue(text, name, key);
                Check(value.find('|') == std::string::npos, "value holds a separator");
            } catch (const EListError&) {
                // a line made only of "|" before the key
            }
        }
    }
    return 0;
}
