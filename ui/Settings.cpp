#include "ui/Settings.h"

#include "formats/Decimal.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdio>

std::uint64_t ParseRateLimit(const std::string& text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    const std::string key = "limit=";
    if (line.rfind(key, 0) != 0) return 0;
    const auto value = ParseDecimalInRange(line.substr(key.size()), 0, 1LL << 40);
    if (!value) return 0;
    const auto limit = static_cast<std::uint64_t>(*value);
    return std::find(kRateLimitChoices.begin(), kRateLimitChoices.end(), limit) != kRateLimitChoices.end() ? limit : 0;
}

std::string RateLimitText(std::uint64_t limit) { return "limit=" + std::to_string(limit) + "\r\n"; }

std::uint64_t ReadRateLimit(const std::filesystem::path& file) {
    os::StdioFile in = os::OpenStdio(file, os::StdioMode::Read);
    if (!in) return 0;
    char buffer[256];
    const std::size_t got = std::fread(buffer, 1, sizeof(buffer), in.get());
    return ParseRateLimit(std::string(buffer, got));
}

bool WriteRateLimit(const std::filesystem::path& file, std::uint64_t limit) {
    std::filesystem::path temporary = file;
    temporary += L".tmp";
    {
        os::StdioFile out = os::OpenStdio(temporary, os::StdioMode::Write);
        if (!out) return false;
        const std::string text = RateLimitText(limit);
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
