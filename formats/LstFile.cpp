#include "formats/LstFile.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

// Walks the text line by line (a line ends at LF; the CR of CR LF goes with
// the trimming) and hands out each line with every byte <= 0x20 removed
// from both ends.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : rest_(text) {}

    // False at the end of the text.
    bool Next(std::string_view& line)
    {
        if (done_) return false;
        const std::size_t lf = rest_.find('\n');
        std::string_view raw = rest_.substr(0, lf);
        if (lf == std::string_view::npos) {
            done_ = true;
            // Text ending in a line break has no further (empty) line.
        } else {
            rest_.remove_prefix(lf + 1);
            if (rest_.empty()) done_ = true;
        }
        line = Trim(raw);
        return true;
    }

private:
    static bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

    static std::string_view Trim(std::string_view s)
    {
        std::size_t b = 0, e = s.size();
        while (b < e && IsBlank(s[b])) ++b;
        while (e > b && IsBlank(s[e - 1])) --e;
        return s.substr(b, e - b);
    }

public:
    // Where the next line starts (the end of the text once done).
    const char* Position() const { return done_ ? rest_.data() + rest_.size() : rest_.data(); }

private:
    std::string_view rest_;
    bool done_ = false;
};

// Moves the cursor past the first line "[name]"; false when there is none.
bool FindSection(LineCursor& cursor, const std::string& name)
{
    const std::string opening = "[" + name + "]";
    std::string_view line;
    while (cursor.Next(line))
        if (line == opening) return true;
    return false;
}

}  // namespace

TListFile::TListFile(std::string path) : path_(std::move(path)) {}

void TListFile::LoadText()
{
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
    text_.resize(used);
    // 0x1A ends the text; nothing after it is read.
    const std::size_t eof = text_.find('\x1a');
    if (eof != std::string::npos) text_.resize(eof);
    text_.shrink_to_fit();
    loaded_ = true;
}

std::string_view TListLines::Trim(std::string_view s)
{
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string_view TListLines::front() const
{
    std::string_view first;
    bool found = false;
    ForEach([&](std::string_view line) {
        if (!found) first = line;
        found = true;
    });
    return first;
}

// A section whose closing line is missing ends at the end of the text: its
// content lines so far count as the section, so a list cut short still
// yields what it holds.
TListLines TListFile::ReadSectionLines(const std::string& name)
{
    LoadText();
    LineCursor cursor(text_);
    if (!FindSection(cursor, name)) return {};
    const std::string closing = "[/" + name + "]";
    const char* const begin = cursor.Position();
    const char* end = text_.data() + text_.size();
    std::size_t count = 0;
    std::string_view line;
    for (const char* at = cursor.Position(); cursor.Next(line); at = cursor.Position()) {
        if (line.empty()) continue;
        if (line == closing) {
            end = at;
            break;
        }
        ++count;
    }
    return TListLines(std::string_view(begin, static_cast<std::size_t>(end - begin)), count);
}

// ... and "FAIL" when that is nothing.
std::vector<std::string> TListFile::ReadSection(const std::string& name)
{
    std::vector<std::string> lines;
    const TListLines section = ReadSectionLines(name);
    lines.reserve(std::max<std::size_t>(section.size(), 1));
    section.ForEach([&](std::string_view line) { lines.emplace_back(line); });
    if (lines.empty()) lines.emplace_back("FAIL");
    return lines;
}

// Without a closing line, only the lines up to the end of the text are
// searched.
std::string TListFile::ReadValue(const std::string& section, const std::string& key)
{
    LoadText();
    LineCursor cursor(text_);
    if (!FindSection(cursor, section)) return {};
    const std::string closing = "[/" + section + "]";
    std::string_view line;
    while (cursor.Next(line)) {
        if (line.empty()) continue;
        // The closing line is looked at like any other before it ends the
        // search.
        const std::vector<std::string> fields = SplitFields(line, "|");
        if (fields.empty()) throw EListError("List index out of bounds (-1)");
        if (fields.back() == key) return fields.front();
        if (line == closing) break;
    }
    return {};
}

std::vector<std::string> SplitFields(std::string_view text, std::string_view delimiters)
{
    std::vector<std::string> fields;
    std::size_t end = text.size();
    for (;;) {
        const std::size_t cut = end == 0 ? std::string_view::npos : text.find_last_of(delimiters, end - 1);
        const std::size_t start = cut == std::string_view::npos ? 0 : cut + 1;
        if (end > start) fields.emplace_back(text.substr(start, end - start));
        if (cut == std::string_view::npos) break;
        end = cut;
    }
    return fields;
}

const std::string& FieldAt(const std::vector<std::string>& fields, std::size_t index)
{
    if (index >= fields.size()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return fields[index];
}
