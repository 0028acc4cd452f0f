#include "formats/ListWriter.h"

#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "formats/ServerUrls.h"

#include <algorithm>
#include <climits>

namespace {

void AppendSection(std::string& out, const char* name, std::vector<const TListItem*> entries) {
    // std::string compares as unsigned bytes, so this is the Windows-1252 order.
    std::sort(entries.begin(), entries.end(), [](const TListItem* a, const TListItem* b) { return a->path < b->path; });
    out += "[";
    out += name;
    out += "]\r\n";
    for (const TListItem* e : entries) {
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

std::vector<const TListItem*> Pointers(const std::vector<TListItem>& entries) {
    std::vector<const TListItem*> result;
    result.reserve(entries.size());
    for (const TListItem& e : entries) result.push_back(&e);
    return result;
}

// Sorted by (to, from), so equal indexes give equal bytes.
void AppendPatches(std::string& out, std::vector<TPatchLink> links) {
    if (links.empty()) return;
    std::sort(links.begin(), links.end(),
              [](const TPatchLink& a, const TPatchLink& b) { return a.to != b.to ? a.to < b.to : a.from < b.from; });
    out += "[";
    out += kPatchSection;
    out += "]\r\n";
    for (const TPatchLink& link : links) {
        out += FormatPatchLine(link);
        out += "\r\n";
    }
    out += "[/";
    out += kPatchSection;
    out += "]\r\n";
}

}  // namespace

std::string WriteList(const TListContent& content) {
    std::string out;
    out += "[settings]\r\nRev|";
    out += std::to_string(content.rev);
    out += "\r\n";
    for (const std::string& url : content.mirrors) {
        out += MirrorLine(url);
        out += "\r\n";
    }
    for (const std::string& key : content.keys) out += "Key|" + key + "\r\n";
    for (const std::string& key : content.revoked) out += "Revoke|" + key + "\r\n";
    if (!content.objects.empty()) out += std::string(kObjectsKey) + "|" + content.objects + "\r\n";
    if (!content.next.empty()) out += std::string(kNextKey) + "|" + content.next + "\r\n";
    for (const std::string& name : content.channels) out += std::string(kChannelKey) + "|" + name + "\r\n";
    out += "[/settings]\r\n";
    // Without an updater entry the section is left out: the run then skips
    // the self-replacement.
    if (content.self) AppendSection(out, "self", {&*content.self});
    AppendSection(out, "files_critical", Pointers(content.critical));
    AppendSection(out, "files_normal", Pointers(content.normal));
    AppendPatches(out, content.patches);
    return out;
}

namespace {

// The entries of one section; false when a line is no entry.
bool ReadEntries(const TListLines& lines, std::vector<TListItem>& into) {
    bool ok = true;
    lines.ForEach([&](std::string_view line) {
        const auto entry = ParseEntry(line);
        const auto size = entry ? ParseSize(entry->size) : std::nullopt;
        if (!size) {
            ok = false;
            return;
        }
        into.push_back(TListItem{std::string(entry->path), std::string(entry->digest), *size,
                                 std::string(entry->sha256)});
    });
    return ok;
}

}  // namespace

std::optional<TListContent> ReadListContent(std::string_view text) {
    text = ListText(text);
    TListContent content;
    const TListLines settings = FindListSection(text, "settings");
    std::optional<std::int64_t> rev;
    bool ok = true;
    settings.ForEach([&](std::string_view line) {
        const std::vector<std::string> fields = SplitFields(line, "|");
        if (fields.size() != 2) return;
        const std::string& key = fields.back();
        const std::string& value = fields.front();
        if (key == "Rev" && !rev) {
            rev = ParseDecimalInRange(value, INT32_MIN, INT32_MAX);
            ok = ok && rev.has_value();
        } else if (key == kKeyField) {
            content.keys.push_back(value);
        } else if (key == kRevokeField) {
            content.revoked.push_back(value);
        } else if (key == kObjectsKey) {
            content.objects = value;
        }
    });
    if (!ok || !rev) return std::nullopt;
    content.rev = static_cast<std::int32_t>(*rev);
    content.mirrors = ListedMirrors(settings);
    TStandingLists standing = ListedStanding(settings);
    content.next = std::move(standing.next);
    content.channels = std::move(standing.channels);
    std::vector<TListItem> self;
    if (!ReadEntries(FindListSection(text, "self"), self) || self.size() > 1 ||
        !ReadEntries(FindListSection(text, "files_critical"), content.critical) ||
        !ReadEntries(FindListSection(text, "files_normal"), content.normal)) {
        return std::nullopt;
    }
    if (!self.empty()) content.self = std::move(self.front());
    FindListSection(text, kPatchSection).ForEach([&](std::string_view line) {
        const auto link = ParsePatchLine(line);
        if (link) {
            content.patches.push_back(*link);
        } else {
            ok = false;
        }
    });
    if (!ok) return std::nullopt;
    return content;
}
