#include "tools/publish/ListWriter.h"

#include <algorithm>

namespace publish {

namespace {

void AppendSection(std::string& out, const char* name, std::vector<const ListEntry*> entries) {
    // std::string compares as unsigned bytes, so this is the Windows-1252 order.
    std::sort(entries.begin(), entries.end(),
              [](const ListEntry* a, const ListEntry* b) { return a->path < b->path; });
    out += "[";
    out += name;
    out += "]\r\n";
    for (const ListEntry* e : entries) {
        if (!e->sha256.empty()) {
            out += e->sha256;
            out += '|';
        }
        out += e->path;
        out += '|';
        out += e->digest;
        out += '|';
        out += std::to_string(e->size);
        out += "\r\n";
    }
    out += "[/";
    out += name;
    out += "]\r\n";
}

std::vector<const ListEntry*> Pointers(const std::vector<ListEntry>& entries) {
    std::vector<const ListEntry*> result;
    result.reserve(entries.size());
    for (const ListEntry& e : entries) result.push_back(&e);
    return result;
}

bool IsDigest(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string_view Trim(std::string_view line) {
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= 0x20) line.remove_prefix(1);
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= 0x20) line.remove_suffix(1);
    return line;
}

}  // namespace

std::string WriteList(const ListContent& content) {
    std::string out;
    out += "[settings]\r\nRev|";
    out += std::to_string(content.rev);
    out += "\r\n[/settings]\r\n";
    // Without an updater entry the section is left out: the run then skips
    // the self-replacement.
    if (content.self) AppendSection(out, "self", {&*content.self});
    AppendSection(out, "files_critical", Pointers(content.critical));
    AppendSection(out, "files_normal", Pointers(content.normal));
    return out;
}

std::map<std::string, PreviousEntry> ReadPreviousList(std::string_view text) {
    std::map<std::string, PreviousEntry> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        // [sha256|]path|digest|size, the path free of "|".
        std::string_view line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.size() > 65 && line[64] == '|' && std::count(line.begin(), line.end(), '|') == 3) {
            line.remove_prefix(65);
        }
        const std::size_t bar1 = line.find('|');
        if (bar1 == std::string_view::npos || bar1 == 0) continue;
        const std::size_t bar2 = line.find('|', bar1 + 1);
        if (bar2 == std::string_view::npos || line.find('|', bar2 + 1) != std::string_view::npos) continue;
        const std::string_view digest = line.substr(bar1 + 1, bar2 - bar1 - 1);
        if (!IsDigest(digest)) continue;
        PreviousEntry entry{std::string(digest), -1};
        const std::string_view size = line.substr(bar2 + 1);
        if (!size.empty() && size.size() <= 10 &&
            std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            entry.size = std::stoll(std::string(size));
        }
        entries.emplace(std::string(line.substr(0, bar1)), std::move(entry));
    }
    return entries;
}

}  // namespace publish
