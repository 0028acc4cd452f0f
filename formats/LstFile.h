// The file list reader: loads files.lst once and reads it through the list's
// grammar (formats/ListGrammar), which knows the sections, values and
// entries.
#pragma once

#include "formats/ListGrammar.h"
#include "platform/errors.h"
#include "platform/os.h"

#include <string>
#include <vector>

// The single line ReadSection gives for a section that is missing or empty;
// a section whose first line reads so counts as empty wherever it is read.
inline constexpr const char* kNoSectionLine = "FAIL";

class TListFile {
public:
    // Binds the reader to a path; nothing is opened until the first read.
    explicit TListFile(std::string path);

    // The trimmed content lines of the first section called name, in file
    // order, or the single line kNoSectionLine when it is missing or has no content
    // line. Raises EInOutError when the file can't be opened.
    std::vector<std::string> ReadSection(const std::string& name);
    // The content lines of the first section called name, without copies;
    // empty when it is missing or has none. Valid while the reader lives.
    // Raises like ReadSection.
    TListLines ReadSectionLines(const std::string& name);

    // The last field of the first content line of section whose first field
    // is key; empty when the section or the key is missing. Raises
    // EInOutError when the file can't be opened, and EListError when it
    // meets a line made only of "|" before the key.
    std::string ReadValue(const std::string& section, const std::string& key);
    // The whole text the sections are views of. Valid while the reader lives.
    std::string_view Text();

private:
    // Reads the file whole into text_, up to a 0x1A, on the first read;
    // later reads use that one copy.
    void LoadText();

    std::string path_;
    std::string text_;  // the file's text, read once; the file is closed after
    bool loaded_ = false;
};
