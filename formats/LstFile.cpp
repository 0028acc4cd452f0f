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
    // Every read starts again at the first byte, so the sections may be read
    // in any order. Moving the new handle in closes the previous one.
    file_ = os::File::OpenRead(path_, os::Share::Read);
    // The size is a hint: the file is read to its end whatever it says.
    text_.resize(static_cast<std::size_t>(std::max<std::int64_t>(file_.Size(), 0)) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == text_.size()) text_.resize(2 * used);
        const std::size_t n = file_.Read(text_.data() + used, text_.size() - used);
        if (n == 0) break;
        used += n;
    }
    text_.resize(used);
    // 0x1A ends the text; nothing after it is read.
    const std::size_t eof = text_.find('\x1a');
    if (eof != std::string::npos) text_.resize(eof);
}

// A section whose closing line is missing ends at the end of the text: its
// content lines so far count as the section, so a list cut short still
// yields what it holds (and "FAIL" when that is nothing).
std::vector<std::string> TListFile::ReadSection(const std::string& name)
{
    LoadText();
    std::vector<std::string> lines;
    LineCursor cursor(text_);
    if (FindSection(cursor, name)) {
        const std::string closing = "[/" + name + "]";
        std::string_view line;
        while (cursor.Next(line)) {
            if (line.empty()) continue;
            if (line == closing) break;
            lines.emplace_back(line);
        }
    }
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
