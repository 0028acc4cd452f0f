// The file list reader: sectioned text ("[name]" ... "[/name]") whose
// content lines hold fields separated by "|".
#pragma once

#include "platform/errors.h"
#include "platform/os.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TListFile {
public:
    // Binds the reader to a path; nothing is opened until the first read.
    explicit TListFile(std::string path);

    // The trimmed content lines of the first section called name, in file
    // order, or the single line "FAIL" when it is missing or has no content
    // line. Raises EInOutError when the file can't be opened.
    std::vector<std::string> ReadSection(const std::string& name);

    // The last field of the first content line of section whose first field
    // is key; empty when the section or the key is missing. Raises
    // EInOutError when the file can't be opened, and EListError when it
    // meets a line made only of "|" before the key.
    std::string ReadValue(const std::string& section, const std::string& key);

private:
    // Reopens the file and reads it whole into text_, up to a 0x1A.
    void LoadText();

    std::string path_;
    os::File file_;     // open from the first read until destruction
    std::string text_;  // the text of the latest read
};

// Cuts text at every character of delimiters and returns the non-empty
// pieces from the LAST to the FIRST: "a|b|c" gives c, b, a.
std::vector<std::string> SplitFields(std::string_view text, std::string_view delimiters);

// fields[index], or EListError("List index out of bounds (index)") when the
// line had too few fields.
const std::string& FieldAt(const std::vector<std::string>& fields, std::size_t index);
