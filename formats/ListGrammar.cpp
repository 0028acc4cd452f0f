#include "formats/ListGrammar.h"

#include "formats/Decimal.h"

#include <limits>

namespace {

// Walks the text line by line and tells where each line starts, so that a
// section can be handed out as one view from its first line to its closing.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : rest_(text) {}

    // The next trimmed line; false at the end of the text.
    bool Next(std::string_view& line) {
        if (rest_.empty()) return false;
        const std::size_t lf = rest_.find('\n');
        line = TrimListLine(rest_.substr(0, lf));
        rest_.remove_prefix(lf == std::string_view::npos ? rest_.size() : lf + 1);
        return true;
    }

    // Where the next line starts (the end of the text once done).
    const char* Position() const { return rest_.data(); }

private:
    std::string_view rest_;
};

// Moves the cursor past the first line "[name]"; false when there is none.
bool SkipToSection(LineCursor& cursor, std::string_view name) {
    std::string_view line;
    while (cursor.Next(line))
        if (line.size() == name.size() + 2 && line.front() == '[' && line.back() == ']' &&
            line.substr(1, name.size()) == name)
            return true;
    return false;
}

bool IsClosing(std::string_view line, std::string_view name) {
    return line.size() == name.size() + 3 && line.substr(0, 2) == "[/" && line.back() == ']' &&
           line.substr(2, name.size()) == name;
}

}  // namespace

std::string_view ListText(std::string_view bytes) { return bytes.substr(0, bytes.find('\x1a')); }

std::string_view TrimListLine(std::string_view s) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string_view TListLines::front() const {
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
TListLines FindListSection(std::string_view text, std::string_view name) {
    LineCursor cursor(text);
    if (!SkipToSection(cursor, name)) return {};
    const char* const begin = cursor.Position();
    const char* end = text.data() + text.size();
    std::size_t count = 0;
    std::string_view line;
    for (const char* at = cursor.Position(); cursor.Next(line); at = cursor.Position()) {
        if (line.empty()) continue;
        if (IsClosing(line, name)) {
            end = at;
            break;
        }
        ++count;
    }
    return TListLines(std::string_view(begin, static_cast<std::size_t>(end - begin)), count);
}

// Without a closing line, only the lines up to the end of the text are
// searched.
std::string FindListValue(std::string_view text, std::string_view section, std::string_view key) {
    LineCursor cursor(text);
    if (!SkipToSection(cursor, section)) return {};
    std::string_view line;
    while (cursor.Next(line)) {
        if (line.empty()) continue;
        // The closing line is looked at like any other before it ends the
        // search.
        const std::vector<std::string> fields = SplitFields(line, "|");
        if (fields.empty()) throw EListError("List index out of bounds (-1)");
        if (fields.back() == key) return fields.front();
        if (IsClosing(line, section)) break;
    }
    return {};
}

std::vector<std::string> SplitFields(std::string_view text, std::string_view delimiters) {
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

const std::string& FieldAt(const std::vector<std::string>& fields, std::size_t index) {
    if (index >= fields.size()) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return fields[index];
}

std::optional<TListEntry> ParseEntry(std::string_view line) {
    // The last four non-empty fields, last first, as SplitFields cuts them.
    std::string_view fields[4];
    std::size_t found = 0;
    std::size_t end = line.size();
    while (found < 4) {
        const std::size_t cut = end == 0 ? std::string_view::npos : line.rfind('|', end - 1);
        const std::size_t start = cut == std::string_view::npos ? 0 : cut + 1;
        if (end > start) fields[found++] = line.substr(start, end - start);
        if (cut == std::string_view::npos) break;
        end = cut;
    }
    if (found < 3) return std::nullopt;
    return TListEntry{fields[2], fields[1], fields[0], fields[3]};
}

std::optional<std::int64_t> ParseSize(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const std::optional<std::uint64_t> value = ParseDecimal(text);
    if (!value || *value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(*value);
}
