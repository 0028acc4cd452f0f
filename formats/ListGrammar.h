// The grammar of the file list, as pure functions over its text: the one
// place that knows what a line, a section, a value and an entry are. The
// reader of the list file (TListFile), the update run and the publisher's
// reading of its previous list all parse through it, so a client and the
// server never disagree on what a list says; the list's writer
// (formats/ListWriter) sits next to it and a round-trip test pins both.
//
// The text: lines end at LF (the CR of CR LF goes with the trimming), every
// byte <= 0x20 is trimmed from both ends of a line, and 0x1A ends the text.
// A section runs from the line "[name]" to the line "[/name]", or to the end
// of the text when that is missing. Content lines are "|"-separated fields;
// an entry is [sha256|]path|digest|size, counted from the last field, and
// empty fields do not count.
#pragma once

#include "platform/errors.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The bytes before the first 0x1A (all of them without one).
std::string_view ListText(std::string_view bytes);

// s without the bytes <= 0x20 at either end.
std::string_view TrimListLine(std::string_view s);

// Calls fn(line) for each trimmed line of text, empty ones included; text
// ending in a line break has no further (empty) line.
template <class F>
void ForEachListLine(std::string_view text, F&& fn);

// The content lines of one section as views into the list's text: no copy
// of a line is made, so a list of a million entries is held once. Valid
// while that text lives.
class TListLines {
public:
    TListLines() = default;
    TListLines(std::string_view body, std::size_t count) : body_(body), count_(count) {}

    // How many content lines (trimmed, not empty) the section holds.
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::string_view front() const;
    // The section's text, from the line after its opening line.
    std::string_view Body() const { return body_; }
    // Calls fn(line) for each content line in file order.
    template <class F>
    void ForEach(F&& fn) const;

private:
    std::string_view body_;  // from the line after the opening up to the closing line
    std::size_t count_ = 0;
};

// The content lines of the first section called name; empty when it is
// missing or has none.
TListLines FindListSection(std::string_view text, std::string_view name);

// The last field of the first content line of section whose first field is
// key; empty when the section or the key is missing. Raises EListError when
// it meets a line made only of "|" before the key.
std::string FindListValue(std::string_view text, std::string_view section, std::string_view key);

// Cuts text at every character of delimiters and returns the non-empty
// pieces from the LAST to the FIRST: "a|b|c" gives c, b, a.
std::vector<std::string> SplitFields(std::string_view text, std::string_view delimiters);

// fields[index], or EListError("List index out of bounds (index)") when the
// line had too few fields.
const std::string& FieldAt(const std::vector<std::string>& fields, std::size_t index);

// The fields of an entry line as views into it: path, digest and size are
// the last three non-empty fields, sha256 the one before them (empty when
// there is none). The same fields SplitFields gives, without a copy.
struct TListEntry {
    std::string_view path;
    std::string_view digest;
    std::string_view size;
    std::string_view sha256;
};
// Nullopt for a line with fewer than three fields.
std::optional<TListEntry> ParseEntry(std::string_view line);

// An entry's size: decimal digits after an optional "+", up to 2^63 - 1.
// Nullopt for anything else (a sign "-", a blank, hexadecimal, overflow).
std::optional<std::int64_t> ParseSize(std::string_view text);

template <class F>
void ForEachListLine(std::string_view text, F&& fn) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        fn(TrimListLine(rest.substr(0, lf)));
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    }
}

template <class F>
void TListLines::ForEach(F&& fn) const {
    ForEachListLine(body_, [&](std::string_view line) {
        if (!line.empty()) fn(line);
    });
}
