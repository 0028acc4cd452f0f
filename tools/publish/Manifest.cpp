#include "tools/publish/Manifest.h"

#include "formats/Decimal.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace publish {

namespace {

// Version 2 adds the patch lines, version 3 the object lines; an older
// record reads as one without them. An older publisher reads a version 3
// record as none and rewrites every copy.
constexpr std::string_view kHeader = "corvel-publish written copies 3";
constexpr std::string_view kHeaderV2 = "corvel-publish written copies 2";
constexpr std::string_view kHeaderV1 = "corvel-publish written copies 1";
constexpr std::string_view kUnknown = "-";
// Lines of our own start with "|", which no path does.
constexpr std::string_view kPublicationLine = "|publication|";
constexpr std::string_view kPatchLine = "|patch|";
constexpr std::string_view kObjectLine = "|object|";

bool IsDigest(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// |patch|<publication>|<the index line>
void ReadPatchLine(std::string_view rest, PatchRecord& patches) {
    const std::size_t bar = rest.find('|');
    if (bar == std::string_view::npos) return;
    const std::optional<std::uint64_t> publication = ParseDecimal(rest.substr(0, bar));
    const std::optional<TPatchLink> link = ParsePatchLine(rest.substr(bar + 1));
    if (!publication || !link) return;
    patches.links[{link->from, link->to}] = WrittenPatch{*link, *publication};
}

// |object|<publication>|<md5>|<size>|<bytes>
void ReadObjectLine(std::string_view rest, PatchRecord& record) {
    std::string_view fields[4];
    for (int i = 0; i < 3; ++i) {
        const std::size_t bar = rest.find('|');
        if (bar == std::string_view::npos) return;
        fields[i] = rest.substr(0, bar);
        rest.remove_prefix(bar + 1);
    }
    fields[3] = rest;
    const std::optional<std::uint64_t> publication = ParseDecimal(fields[0]);
    const std::optional<std::uint64_t> size = ParseDecimal(fields[2]);
    const std::optional<std::uint64_t> bytes = ParseDecimal(fields[3]);
    if (!IsDigest(fields[1]) || !publication || !size || !bytes) return;
    record.objects[std::string(fields[1])] = WrittenObject{*size, *bytes, *publication};
}

}  // namespace

std::string WriteManifest(const Manifest& manifest, const PatchRecord& patches) {
    std::string out(kHeader);
    out += "\r\n";
    out += kPublicationLine;
    out += std::to_string(patches.publication);
    out += "\r\n";
    for (const auto& [key, patch] : patches.links) {
        out += kPatchLine;
        out += std::to_string(patch.publication);
        out += '|';
        out += FormatPatchLine(patch.link);
        out += "\r\n";
    }
    for (const auto& [digest, object] : patches.objects) {
        out += kObjectLine;
        out += std::to_string(object.publication) + '|' + digest + '|' + std::to_string(object.size) + '|' +
               std::to_string(object.bytes);
        out += "\r\n";
    }
    for (const auto& [path, copy] : manifest) {
        out += path;
        out += '|';
        out += copy.Known() ? copy.digest : std::string(kUnknown);
        out += '|';
        out += copy.Known() ? std::to_string(copy.size) : std::string(kUnknown);
        out += "\r\n";
    }
    return out;
}

Manifest ReadManifest(std::string_view text, PatchRecord* patches) {
    Manifest manifest;
    PatchRecord ignored;
    if (patches == nullptr) patches = &ignored;
    *patches = {};
    bool first = true;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            if (line != kHeader && line != kHeaderV2 && line != kHeaderV1) return {};
            first = false;
            continue;
        }
        if (line.starts_with(kPublicationLine)) {
            patches->publication = ParseDecimal(line.substr(kPublicationLine.size())).value_or(0);
            continue;
        }
        if (line.starts_with(kPatchLine)) {
            ReadPatchLine(line.substr(kPatchLine.size()), *patches);
            continue;
        }
        if (line.starts_with(kObjectLine)) {
            ReadObjectLine(line.substr(kObjectLine.size()), *patches);
            continue;
        }
        // path|digest|size, the path free of "|".
        const std::size_t bar2 = line.rfind('|');
        if (bar2 == std::string_view::npos || bar2 == 0) continue;
        const std::size_t bar1 = line.rfind('|', bar2 - 1);
        if (bar1 == std::string_view::npos || bar1 == 0) continue;
        const std::string path(line.substr(0, bar1));
        const std::string_view digest = line.substr(bar1 + 1, bar2 - bar1 - 1);
        const std::string_view size = line.substr(bar2 + 1);
        WrittenCopy copy;
        const std::optional<std::uint64_t> sizeValue = ParseDecimal(size);
        if (IsDigest(digest) && sizeValue && *sizeValue <= static_cast<std::uint64_t>(INT64_MAX)) {
            copy.digest = std::string(digest);
            copy.size = static_cast<std::int64_t>(*sizeValue);
        }
        manifest[path] = copy;  // anything else: ours, content unknown
    }
    return manifest;
}

}  // namespace publish
