#include "engine/state/InstallRecord.h"

#include "engine/state/TempNames.h"
#include "formats/ListGrammar.h"
#include "formats/Names.h"
#include "formats/Publication.h"
#include "platform/os.h"

#include <algorithm>

namespace {

bool IsDigest(std::string_view text) {
    return text.size() == 32 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A line of exactly three fields naming a file the run may touch.
std::optional<TInstallRecord::TLine> ParseLine(std::string_view text) {
    const std::size_t first = text.find('|');
    const std::size_t second = first == std::string_view::npos ? first : text.find('|', first + 1);
    if (second == std::string_view::npos || text.find('|', second + 1) != std::string_view::npos) return std::nullopt;
    TInstallRecord::TLine line;
    line.path = text.substr(0, first);
    line.digest = text.substr(first + 1, second - first - 1);
    const std::optional<std::int64_t> size = ParseSize(text.substr(second + 1));
    if (!size || !IsDigest(line.digest)) return std::nullopt;
    if (!IsSafeRelativePath(line.path) || IsInstallOwnName(line.path)) return std::nullopt;
    line.size = *size;
    return line;
}

void Append(std::string& text, std::string_view path, std::string_view digest, std::int64_t size) {
    text.append(path).append(1, '|').append(digest).append(1, '|').append(std::to_string(size)).append(1, '\n');
}

}  // namespace

TInstallRecord::TInstallRecord(std::string text) : text_(std::make_unique<const std::string>(std::move(text))) {
    ForEachListLine(ListText(*text_), [this](std::string_view text) {
        if (const auto line = ParseLine(text)) entries_.push_back(TEntry{*line, TTempNames::Hash(line->path), true});
    });
    index_.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace_back(entries_[i].key, i);
    std::sort(index_.begin(), index_.end());
    // A file recorded twice (a damaged record): its first line counts.
    for (TEntry& entry : entries_) {
        if (Find(entry.line.path) != &entry) entry.held = false;
    }
}

TInstallRecord TInstallRecord::Read(const std::string& path, std::int64_t maxSize) {
    std::string text;
    try {
        os::File file = os::File::OpenRead(path, os::Share::Read);
        const std::int64_t size = file.Size();
        if (size < 0 || size > maxSize) return TInstallRecord();
        text.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < text.size()) {
            const std::size_t read = file.Read(text.data() + done, text.size() - done);
            if (read == 0) break;
            done += read;
        }
        text.resize(done);
    } catch (const std::exception&) {
        return TInstallRecord();
    }
    return TInstallRecord(std::move(text));
}

const TInstallRecord::TEntry* TInstallRecord::Find(std::string_view path) const {
    const std::uint64_t key = TTempNames::Hash(path);
    auto it = std::lower_bound(index_.begin(), index_.end(), std::make_pair(key, std::size_t{0}));
    for (; it != index_.end() && it->first == key; ++it) {
        const TEntry& entry = entries_[it->second];
        if (PathKey(entry.line.path) == PathKey(path)) return &entry;
    }
    return nullptr;
}

std::string_view TInstallRecord::Digest(std::string_view path) const {
    const TEntry* entry = Find(path);
    return entry && entry->held ? entry->line.digest : std::string_view();
}

void TInstallRecord::Current(std::string_view path, std::string_view digest) {
    if (TEntry* entry = Find(path); entry && entry->line.digest != digest) entry->held = false;
}

void TInstallRecord::Installed(std::string_view path, std::string_view digest, std::int64_t size) {
    if (TEntry* entry = Find(path)) entry->held = false;
    Append(added_, path, digest, size);
}

void TInstallRecord::Review(const std::function<bool(const TLine&)>& keep) {
    for (TEntry& entry : entries_) {
        if (entry.held && !keep(entry.line)) entry.held = false;
    }
}

std::string TInstallRecord::Text() const {
    std::string text;
    for (const TEntry& entry : entries_) {
        if (entry.held) Append(text, entry.line.path, entry.line.digest, entry.line.size);
    }
    return text + added_;
}
