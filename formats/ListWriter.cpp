#include "formats/ListWriter.h"

#include "formats/ServerUrls.h"
#include "formats/Publication.h"

#include <algorithm>

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
    out += "[/settings]\r\n";
    // Without an updater entry the section is left out: the run then skips
    // the self-replacement.
    if (content.self) AppendSection(out, "self", {&*content.self});
    AppendSection(out, "files_critical", Pointers(content.critical));
    AppendSection(out, "files_normal", Pointers(content.normal));
    AppendPatches(out, content.patches);
    return out;
}
