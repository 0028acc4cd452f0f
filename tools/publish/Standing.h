// Lists that stand beside the live one in the server directory: a coming
// publication in stage/NAME/, a channel's in channels/NAME/ (each with its
// own files.lst, archive and signature), and the earlier live lists kept in
// files.lst.history/ so that a revert needs no client directory. Their
// entries share the one objects/ and patches/ with the live list, so every
// prune keeps what any of them names, and every live list announces them
// ("Next|NAME", "Channel|NAME").
#pragma once

#include "formats/ListWriter.h"
#include "tools/publish/Manifest.h"
#include "tools/publish/Signing.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace publish {

enum class Place { Live, Stage, Channel };
struct Beside {
    Place place = Place::Live;
    std::string name;  // IsPublicationName, checked when the options are read
};

// The folder of the list: the server directory, stage/NAME or channels/NAME.
std::filesystem::path ListDir(const std::filesystem::path& serverDir, const Beside& beside);

// The serials of a channel's lists follow one another apart from the live
// list's: their scope (Signing.h), empty for the others.
std::string SerialScope(const Beside& beside);

// The Key and Revoke lines a list signed with these options carries.
void SetKeys(TListContent& list, const SigningOptions& signing);

// Every entry of the list, of all three sections.
std::vector<const TListItem*> Entries(const TListContent& list);

// The list at path as written; raises PublishFailure (status 2) when
// there is none or it doesn't parse, or when `signing` and an entry lacks
// its SHA-256 (a signed list needs it, and only a client directory gives it).
TListContent ReadWrittenList(const std::filesystem::path& path, bool signing, const std::string& what);

// What prunes keep: every content the live list, the standing lists and
// the kept live lists name (MD5 -> size), and the patch links of the live
// and standing lists.
struct Standing {
    std::map<std::string, std::uint64_t> contents;
    std::vector<TPatchLink> links;
};
Standing ReadStanding(const std::filesystem::path& serverDir);

// Before a prune at `publication`: each standing content's object counts
// as named by it (recorded when in place but unrecorded), and the standing
// links join `listed`, which is returned.
std::vector<TPatchLink> KeepStanding(const Standing& standing, PatchRecord& record, std::uint64_t publication,
                                     const std::filesystem::path& serverDir, std::vector<TPatchLink> listed);

// Sets the live list's announcements: `next` (the live list's own Next when
// nullopt) while stage/<next>/ holds a list, and every channel folder that
// holds one.
void Announce(const std::filesystem::path& serverDir, TListContent& list, const std::optional<std::string>& next);

// Empties a standing list's folder before it is filled again: the list's
// files first, so no list is left there naming copies that are replaced.
void WithdrawList(const std::filesystem::path& listDir);

// The earlier live lists, oldest first, by the publication number each held.
std::vector<std::pair<std::uint64_t, std::filesystem::path>> HistoryLists(const std::filesystem::path& serverDir);

// Keeps the live list (as publication `number`) before a publication
// replaces it, so that with the new one `history` publications are kept
// (--patch-history, at least the new one): a revert reaches as far back as
// their objects do. Raises PublishFailure (status 1).
void KeepLiveList(const std::filesystem::path& serverDir, std::uint64_t number, unsigned history);

// Re-signs the live list with a new serial, its entries unchanged, to
// announce what stands beside it now (`next` as for Announce).
void Reannounce(const std::filesystem::path& serverDir, const SigningOptions& signing,
                const std::optional<std::string>& next, const std::function<void(const char* step)>& checkpoint,
                std::vector<std::string>& warnings);

}  // namespace publish
