#include "formats/ServerUrls.h"

#include <algorithm>

namespace {

constexpr std::string_view kMirrorKey = "Mirror";

}  // namespace

bool IsServerUrl(std::string_view url) {
    if (url.size() > 1024) return false;
    std::size_t host = 0;
    if (url.rfind("http://", 0) == 0) {
        host = 7;
    } else if (url.rfind("https://", 0) == 0) {
        host = 8;
    } else {
        return false;
    }
    if (url.size() == host || url[host] == '/') return false;
    return std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool IsListedMirrorUrl(std::string_view url) { return IsServerUrl(url) && url.find('|') == std::string_view::npos; }

std::string MirrorLine(std::string_view url) {
    std::string line(kMirrorKey);
    line += '|';
    line += url;
    return line;
}

std::vector<std::string> ListedMirrors(const TListLines& settings) {
    std::vector<std::string> urls;
    settings.ForEach([&urls](std::string_view line) {
        const std::vector<std::string> fields = SplitFields(line, "|");
        // Fields come last first.
        if (fields.size() == 2 && fields.back() == kMirrorKey) urls.push_back(fields.front());
    });
    return urls;
}
