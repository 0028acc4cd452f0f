#include "tools/publish/Standing.h"

#include "formats/Publication.h"
#include "tools/publish/Failure.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/ListFiles.h"
#include "tools/publish/Names.h"
#include "tools/publish/Objects.h"
#include "tools/publish/Text.h"

#include <algorithm>

namespace publish {

namespace fs = std::filesystem;

namespace {

// A name's UTF-8 bytes: string() may throw on Windows for a name outside
// the code page, and only ASCII names are ours here anyway.
std::string Utf8Name(const fs::path& name) {
    const std::u8string u = name.u8string();
    return std::string(u.begin(), u.end());
}

// The names of the folders below dir that hold a list, sorted.
std::vector<std::string> ListFolders(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = Utf8Name(it->path().filename());
        if (IsPublicationName(name) && fs::is_regular_file(it->path() / kListName, ec)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<TListContent> ReadListFile(const fs::path& path) {
    try {
        return ReadListContent(ReadWholeFile(path));
    } catch (const IoError&) {
        return std::nullopt;
    }
}

}  // namespace

fs::path ListDir(const fs::path& serverDir, const Beside& beside) {
    switch (beside.place) {
        case Place::Stage:
            return serverDir / kStageDir / beside.name;
        case Place::Channel:
            return serverDir / kChannelDir / beside.name;
        case Place::Live:
            break;
    }
    return serverDir;
}

std::string SerialScope(const Beside& beside) {
    return beside.place == Place::Channel ? Cat("channel-", beside.name) : std::string();
}

void SetKeys(TListContent& list, const SigningOptions& signing) {
    // Installs that verify this list trust its keys from now on.
    list.keys.clear();
    list.revoked.clear();
    for (const SigningKey& key : signing.keys) list.keys.push_back(sig::ToHex(key.key.PublicKey()));
    for (const sig::TPublicKey& key : signing.revoke) list.revoked.push_back(sig::ToHex(key));
}

std::vector<const TListItem*> Entries(const TListContent& list) {
    std::vector<const TListItem*> entries;
    if (list.self) entries.push_back(&*list.self);
    for (const TListItem& item : list.critical) entries.push_back(&item);
    for (const TListItem& item : list.normal) entries.push_back(&item);
    return entries;
}

TListContent ReadWrittenList(const fs::path& path, bool signing, const std::string& what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw PublishFailure(2, {Cat("there is no ", what, " list: '", Display(path), "'")});
    std::optional<TListContent> list = ReadListFile(path);
    if (!list) throw PublishFailure(2, {Cat("the ", what, " list '", Display(path), "' can't be read as a list")});
    if (signing) {
        for (const TListItem* entry : Entries(*list)) {
            if (entry->sha256.empty()) {
                throw PublishFailure(2, {Cat("the ", what, " list was published unsigned; its entries have no SHA-256 "
                                                            "to sign (publish it again with --sign)")});
            }
        }
    }
    return std::move(*list);
}

Standing ReadStanding(const fs::path& serverDir) {
    Standing standing;
    auto add = [&standing](const fs::path& path, bool links) {
        const std::optional<TListContent> list = ReadListFile(path);
        if (!list) return;
        for (const TListItem* entry : Entries(*list)) {
            standing.contents[entry->digest] = static_cast<std::uint64_t>(entry->size);
        }
        if (links) standing.links.insert(standing.links.end(), list->patches.begin(), list->patches.end());
    };
    // The live list's own, for a prune beside it.
    add(serverDir / kListName, true);
    for (const char* dir : {kStageDir, kChannelDir}) {
        for (const std::string& name : ListFolders(serverDir / dir)) add(serverDir / dir / name / kListName, true);
    }
    for (const auto& [number, path] : HistoryLists(serverDir)) add(path, false);
    return standing;
}

std::vector<TPatchLink> KeepStanding(const Standing& standing, PatchRecord& record, std::uint64_t publication,
                                     const fs::path& serverDir, std::vector<TPatchLink> listed) {
    for (const auto& [digest, size] : standing.contents) {
        const auto known = record.objects.find(digest);
        if (known != record.objects.end()) {
            known->second.publication = publication;
            continue;
        }
        std::error_code ec;
        const std::uint64_t bytes = fs::file_size(ObjectPath(serverDir, digest), ec);
        if (!ec) record.objects[digest] = WrittenObject{size, bytes, publication};
    }
    listed.insert(listed.end(), standing.links.begin(), standing.links.end());
    return listed;
}

void Announce(const fs::path& serverDir, TListContent& list, const std::optional<std::string>& next) {
    std::string name;
    if (next) {
        name = *next;
    } else if (const std::optional<TListContent> live = ReadListFile(serverDir / kListName)) {
        name = live->next;
    }
    std::error_code ec;
    list.next = !name.empty() && fs::is_regular_file(serverDir / kStageDir / name / kListName, ec) ? name : "";
    list.channels = ListFolders(serverDir / kChannelDir);
    if (list.channels.size() > kMaxListedChannels) list.channels.resize(kMaxListedChannels);
}

void WithdrawList(const fs::path& listDir) {
    std::error_code ec;
    for (const char* name : {kListArchiveName, kSignatureName, kListName}) {
        if (!fs::remove(listDir / name, ec) && ec) RaiseIo("remove", listDir / name, ec.value());
    }
    std::vector<fs::path> files, dirs;
    for (auto it = fs::recursive_directory_iterator(listDir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec)) {
            dirs.push_back(it->path());
        } else if (!it->path().native().ends_with(fs::path(kTempSuffix).native())) {
            files.push_back(it->path());
        }
    }
    for (const fs::path& file : files) {
        if (!fs::remove(file, ec) && ec) RaiseIo("remove", file, ec.value());
    }
    for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) {
        if (fs::is_empty(*dir, ec) && !ec) fs::remove(*dir, ec);
    }
}

std::vector<std::pair<std::uint64_t, fs::path>> HistoryLists(const fs::path& serverDir) {
    std::vector<std::pair<std::uint64_t, fs::path>> lists;
    std::error_code ec;
    for (auto it = fs::directory_iterator(serverDir / kHistoryDir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (it->path().extension() != ".lst" || !it->is_regular_file(ec)) continue;
        const std::string stem = Utf8Name(it->path().stem());
        if (stem.empty() || !std::all_of(stem.begin(), stem.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        lists.emplace_back(std::stoull(stem), it->path());
    }
    std::sort(lists.begin(), lists.end());
    return lists;
}

void KeepLiveList(const fs::path& serverDir, std::uint64_t number, unsigned history) {
    // The live list is one of the `history` publications whose objects stay.
    const std::size_t keep = std::max(history, 1u) - 1;
    std::error_code ec;
    const fs::path live = serverDir / kListName;
    try {
        const auto before = HistoryLists(serverDir);
        const std::string text = keep > 0 && fs::is_regular_file(live, ec) ? ReadWholeFile(live) : std::string();
        // Once is enough: a killed publication may have kept it already.
        if (!text.empty() && (before.empty() || ReadWholeFile(before.back().second) != text)) {
            const fs::path dir = serverDir / kHistoryDir;
            if (!fs::create_directories(dir, ec) && ec) RaiseIo("create", dir, ec.value());
            TempFile kept(dir / Cat(std::to_string(number), ".lst"));
            CFile out(kept.Path(), CFile::Mode::Write);
            out.Write(text.data(), text.size());
            out.Close();
            kept.Commit();
        }
        const auto lists = HistoryLists(serverDir);
        for (std::size_t i = 0; i + keep < lists.size(); ++i) {
            if (!fs::remove(lists[i].second, ec) && ec) RaiseIo("remove", lists[i].second, ec.value());
        }
        if (fs::is_empty(serverDir / kHistoryDir, ec) && !ec) fs::remove(serverDir / kHistoryDir, ec);
    } catch (const IoError& e) {
        throw PublishFailure(1, {Cat(e.what(), " (keeping the live list for a revert; the list was not replaced)")});
    }
}

void Reannounce(const fs::path& serverDir, const SigningOptions& signing, const std::optional<std::string>& next,
                const std::function<void(const char* step)>& checkpoint, std::vector<std::string>& warnings) {
    TListContent live = ReadWrittenList(serverDir / kListName, signing.Signed(), "live");
    Announce(serverDir, live, next);
    SetKeys(live, signing);
    const std::uint64_t serial = signing.Signed() ? NextSerial(serverDir, signing, UnixNow(), warnings) : 0;
    CommitList(live, serverDir, signing, serial, checkpoint, warnings);
}

}  // namespace publish
