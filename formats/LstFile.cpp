#include "formats/LstFile.h"

#include <algorithm>
#include <cstdint>
#include <utility>

TListFile::TListFile(std::string path) : path_(std::move(path)) {}

void TListFile::LoadText() {
    if (loaded_) return;
    os::File file = os::File::OpenRead(path_, os::Share::Read);
    // The size is a hint: the file is read to its end whatever it says.
    text_.resize(static_cast<std::size_t>(std::max<std::int64_t>(file.Size(), 0)) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text_.size()) text_.resize(2 * used);
        const std::size_t n = file.Read(text_.data() + used, text_.size() - used);
        if (n == 0) break;
        used += n;
    }
    text_.resize(ListText(std::string_view(text_.data(), used)).size());
    // Trimmed only when the size hint was far off: shrinking copies the
    // text, which for a list read at its announced size would double the
    // peak for one byte of slack.
    if (text_.capacity() - text_.size() > text_.size() / 8) text_.shrink_to_fit();
    loaded_ = true;
}

std::string_view TListFile::Text() {
    LoadText();
    return text_;
}

TListLines TListFile::ReadSectionLines(const std::string& name) {
    LoadText();
    return FindListSection(text_, name);
}

// ... and kNoSectionLine when that is nothing.
std::vector<std::string> TListFile::ReadSection(const std::string& name) {
    std::vector<std::string> lines;
    const TListLines section = ReadSectionLines(name);
    lines.reserve(std::max<std::size_t>(section.size(), 1));
    section.ForEach([&](std::string_view line) { lines.emplace_back(line); });
    if (lines.empty()) lines.emplace_back(kNoSectionLine);
    return lines;
}

std::string TListFile::ReadValue(const std::string& section, const std::string& key) {
    LoadText();
    return FindListValue(text_, section, key);
}
