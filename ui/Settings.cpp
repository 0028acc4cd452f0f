#include "ui/Settings.h"

#include "formats/Decimal.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

std::uint64_t LimitValue(std::string_view value) {
    const auto parsed = ParseDecimalInRange(std::string(value), 0, 1LL << 40);
    if (!parsed) return 0;
    const auto limit = static_cast<std::uint64_t>(*parsed);
    return std::find(kRateLimitChoices.begin(), kRateLimitChoices.end(), limit) != kRateLimitChoices.end() ? limit : 0;
}

}  // namespace

TSettings ParseSettings(const std::string& text) {
    TSettings settings;
    bool limitSeen = false, channelSeen = false;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find_first_of("\r\n"), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        // The first line of each key counts, as an older launcher reads it.
        if (line.starts_with("limit=") && !limitSeen) {
            limitSeen = true;
            settings.limit = LimitValue(line.substr(6));
        } else if (line.starts_with("channel=") && !channelSeen) {
            channelSeen = true;
            // Threat: a name from a file anything may write becomes part of a URL.
            if (IsPublicationName(line.substr(8))) settings.channel = line.substr(8);
        }
    }
    return settings;
}

std::string SettingsText(const TSettings& settings) {
    std::string text = "limit=" + std::to_string(settings.limit) + "\r\n";
    if (!settings.channel.empty()) text += "channel=" + settings.channel + "\r\n";
    return text;
}

std::uint64_t ParseRateLimit(const std::string& text) { return ParseSettings(text).limit; }

TSettings ReadSettings(const std::filesystem::path& file) {
    os::StdioFile in = os::OpenStdio(file, os::StdioMode::Read);
    if (!in) return {};
    char buffer[256];
    const std::size_t got = std::fread(buffer, 1, sizeof(buffer), in.get());
    return ParseSettings(std::string(buffer, got));
}

bool WriteSettings(const std::filesystem::path& file, const TSettings& settings) {
    std::filesystem::path temporary = file;
    temporary += L".tmp";
    {
        os::StdioFile out = os::OpenStdio(temporary, os::StdioMode::Write);
        if (!out) return false;
        const std::string text = SettingsText(settings);
        const bool written = std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
        if (!written || std::fclose(out.release()) != 0) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    if (os::RenameReplacing(temporary, file)) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}
