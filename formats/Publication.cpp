#include "formats/Publication.h"

#include "formats/Names.h"

#include <algorithm>

namespace {

constexpr bool IsJoined(std::string_view whole, std::string_view head, std::string_view tail) {
    return whole.size() == head.size() + tail.size() && whole.starts_with(head) && whole.ends_with(tail);
}

// An install fetches the list's copy by the rule of every copy, and its
// signature by the copy's URL plus the suffix.
static_assert(IsJoined(kListArchiveName, kListName, kCopySuffix));
static_assert(IsJoined(kSignatureName, kListArchiveName, kSignatureSuffix));

}  // namespace

std::string CopyName(std::string_view listPath) {
    std::string name(listPath);
    name += kCopySuffix;
    return name;
}

std::string CopyUrl(std::string_view baseUrl, std::string_view listPath) {
    return ServerUrl(baseUrl, CopyName(listPath));
}

std::string ObjectName(std::string_view md5Hex) {
    std::string name(md5Hex.substr(0, 2));
    name += '/';
    name += md5Hex;
    name += ".zst";
    return name;
}

bool IsObjectFolder(std::string_view folder) {
    if (folder.empty() || folder.size() > 200 || folder.back() != '/') return false;
    std::size_t start = 0;
    while (start < folder.size()) {
        const std::size_t end = folder.find('/', start);
        const std::string_view part = folder.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        for (const char c : part) {
            const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                              c == '_' || c == '-';
            if (!safe) return false;
        }
        start = end + 1;
    }
    return true;
}

std::string ServerUrl(std::string_view baseUrl, std::string_view serverName) {
    std::string url(baseUrl);
    if (url.empty() || url.back() != '/') url += '/';
    const std::size_t pathStart = url.size();
    url += serverName;
    for (std::size_t i = pathStart; i < url.size(); ++i) {
        if (url[i] == '\\') url[i] = '/';
    }
    return url;
}

bool IsPublicationName(std::string_view name) {
    if (name.empty() || name.size() > kMaxPublicationName || name.front() == '-') return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

TStandingLists ListedStanding(const TListLines& settings) {
    TStandingLists standing;
    settings.ForEach([&standing](std::string_view line) {
        const std::vector<std::string> fields = SplitFields(line, "|");
        // Fields come last first: "Next|name".
        if (fields.size() != 2 || !IsPublicationName(fields.front())) return;
        if (fields.back() == kNextKey && standing.next.empty()) {
            standing.next = fields.front();
        } else if (fields.back() == kChannelKey && standing.channels.size() < kMaxListedChannels &&
                   std::find(standing.channels.begin(), standing.channels.end(), fields.front()) ==
                       standing.channels.end()) {
            standing.channels.push_back(fields.front());
        }
    });
    return standing;
}

namespace {

// key is the folder itself or a path below it (both compared as PathKey gives them).
bool InFolder(const std::string& key, const char* folder) {
    const std::string name = FoldCase(folder);
    return key.starts_with(name) && (key.size() == name.size() || key[name.size()] == '\\');
}

}  // namespace

bool IsInstallOwnName(std::string_view listPath) {
    const std::string key = PathKey(listPath);
    return InFolder(key, kNextContentDir) || InFolder(key, kChannelStateDir) || key == FoldCase(kSerialStateName) ||
           key == FoldCase(kKeyringStateName) || key == FoldCase(kInstalledRecordName);
}

std::string ChannelSerialName(std::string_view name) {
    std::string path(kChannelStateDir);
    path += '\\';
    path += name;
    path += ".serial";
    return path;
}

std::string ObjectDigest(std::string_view digest) {
    if (digest.size() != 32) return std::string();
    std::string name;
    for (const char c : digest) {
        if (c >= 'A' && c <= 'F') {
            name += static_cast<char>(c + ('a' - 'A'));
        } else if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) {
            name += c;
        } else {
            return std::string();
        }
    }
    return name;
}
