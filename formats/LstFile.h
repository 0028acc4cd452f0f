// The file list reader: sectioned text ("[name]" ... "[/name]") whose
// content lines hold fields separated by "|".
#pragma once

#include "platform/errors.h"
#include "platform/os.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The content lines of one section as views into the reader's text: no
// copy of a line is made, so a list of a million entries is held once.
// Valid while its reader lives.
class TListLines {
public:
    TListLines() = default;
    TListLines(std::string_view body, std::size_t count) : body_(body), count_(count) {}

    // How many content lines (trimmed, not empty) the section holds.
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    std::string_view front() const;
    // Calls fn(line) for each content line in file order.
    template <class F>
    void ForEach(F&& fn) const;

private:
    static std::string_view Trim(std::string_view s);
    std::string_view body_;  // from the line after the opening up to the closing line
    std::size_t count_ = 0;
};

class TListFile {
public:
    // Binds the reader to a path; nothing is opened until the first read.
    explicit TListFile(std::string path);

    // The trimmed content lines of the first section called name, in file
    // order, or the single line "FAIL" when it is missing or has no content
    // line. Raises EInOutError when the file can't be opened.
    std::vector<std::string> ReadSection(const std::string& name);
    // The content lines of the first section called name, without copies;
    // empty when it is missing or has none. Raises like ReadSection.
    TListLines ReadSectionLines(const std::string& name);

    // The last field of the first content line of section whose first field
    // is key; empty when the section or the key is missing. Raises
    // EInOutError when the file can't be opened, and EListError when it
    // meets a line made only of "|" before the key.
    std::string ReadValue(const std::string& section, const std::string& key);

private:
    // Reads the file whole into text_, up to a 0x1A, on the first read;
    // later reads use that one copy.
    void LoadText();

    std::string path_;
    std::string text_;   // the file's text, read once; the file is closed after
    bool loaded_ = false;
};

template <class F>
void TListLines::ForEach(F&& fn) const
{
    std::string_view rest = body_;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        const std::string_view line = Trim(rest.substr(0, lf));
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        if (!line.empty()) fn(line);
    }
}

// Cuts text at every character of delimiters and returns the non-empty
// pieces from the LAST to the FIRST: "a|b|c" gives c, b, a.
std::vector<std::string> SplitFields(std::string_view text, std::string_view delimiters);

// fields[index], or EListError("List index out of bounds (index)") when the
// line had too few fields.
const std::string& FieldAt(const std::vector<std::string>& fields, std::size_t index);
