// The files of a publication, named once for the publisher that writes them
// into the server directory and the update run that fetches them: the list,
// its compressed copy and signature, a compressed copy of every file beside
// them, and the one file an install keeps of what it accepted.
#pragma once

#include "formats/ListGrammar.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// In the server directory. The list's own copy is named like any file's:
// the list's name plus the copy suffix.
inline constexpr const char* kListName = "files.lst";
inline constexpr const char* kCopySuffix = ".bz2";
inline constexpr const char* kListArchiveName = "files.lst.bz2";
// The signature of the list's copy: its name plus this suffix.
inline constexpr const char* kSignatureSuffix = ".sig";
inline constexpr const char* kSignatureName = "files.lst.bz2.sig";
// A signature file is a few hundred bytes; anything larger is not one, and
// is neither fetched nor read past this bound.
inline constexpr std::int64_t kMaxSignatureSize = 4096;
// The publisher's record of what the copies hold; no install reads it.
inline constexpr const char* kManifestName = "files.lst.written";
// The publisher's earlier live lists, kept for a revert; no install reads them.
inline constexpr const char* kHistoryDir = "files.lst.history";
// Every distinct content once, zstd, named by its MD5 (which every list
// gives, signed or not) under this folder; the list names the folder in
// [settings] as "Objects|objects/". Never rewritten: a name holds one
// content for good, so caches may keep it forever.
inline constexpr const char* kObjectsKey = "Objects";
inline constexpr const char* kObjectDir = "objects/";
// The objects' folder a list's "Objects|<folder>" value names, when it is
// one: relative, of [A-Za-z0-9._-/] only, ending in "/", without an empty,
// "." or ".." component. Threat: a list (unsigned, or from a hostile
// mirror) naming a folder that has the client ask for URLs or paths the
// publication never had; anything else names no objects.
bool IsObjectFolder(std::string_view folder);

// Lists that stand beside the live one, each in a folder of its own with
// its list, archive and signature: a coming publication in "stage/NAME/",
// a channel's in "channels/NAME/". Their entries, objects and patches are
// named relative to the server directory, as the live list's are, so they
// resolve into the one objects/ and patches/. The live list announces them
// in [settings] ("Next|NAME", "Channel|NAME"); readers that don't know
// these lines ignore them, as they ignore Mirror lines.
inline constexpr const char* kNextKey = "Next";
inline constexpr const char* kChannelKey = "Channel";
inline constexpr const char* kStageDir = "stage";
inline constexpr const char* kChannelDir = "channels";
inline constexpr std::size_t kMaxPublicationName = 32;
inline constexpr std::size_t kMaxListedChannels = 16;

// Threat: a name on the command line or in a list that reaches outside its
// folder ("..", a separator, a drive) or changes a URL. Only a to z, 0 to 9
// and "-", 1 to kMaxPublicationName bytes, never starting with "-".
bool IsPublicationName(std::string_view name);

// What a list's [settings] announce: the staged publication ("Next"; the
// first valid line) and the channels ("Channel", in list order, at most
// kMaxListedChannels). Names that fail IsPublicationName are skipped.
struct TStandingLists {
    std::string next;
    std::vector<std::string> channels;
};
TStandingLists ListedStanding(const TListLines& settings);

// In an install directory: the serial of the last list it accepted, the
// keys and revocations verified lists named, and the record of the files
// this updater put in place there (path|md5|size lines), by which a file a
// later publication drops is removed. Listed with the install's other files
// of the updater's own (its log and settings) in
// formats/install-state-files.txt.
inline constexpr const char* kSerialStateName = "files.lst.serial";
inline constexpr const char* kKeyringStateName = "files.lst.keys";
inline constexpr const char* kInstalledRecordName = "files.lst.installed";
// The contents of the announced stage fetched ahead, each named by its MD5
// (32 small hex digits) in this folder of the install, until the stage goes
// live and its entries are put in place from here.
inline constexpr const char* kNextContentDir = "files.lst.next";
// The serial of the last list accepted from each channel the install
// followed ("NAME.serial" in this folder): a channel's serials are its own,
// so each is held to its own, and the live list's store stays as it was.
inline constexpr const char* kChannelStateDir = "files.lst.channels";
// The state file of channel name (checked safe), relative to the install.
std::string ChannelSerialName(std::string_view name);

// A signed list's [settings] may name keys to trust from now on and keys
// never to trust again ("Key|<64 hex>", "Revoke|<64 hex>"); an install
// keeps at most this many of each.
inline constexpr const char* kKeyField = "Key";
inline constexpr const char* kRevokeField = "Revoke";
inline constexpr std::size_t kMaxListedKeys = 64;

// A list path naming one of the files an install keeps of its own, or
// anything in its folders of contents fetched ahead and channel serials. Threat: an entry that
// replaced them would reset the rollback check, trust a key of its own,
// make the run delete whatever the entry's record names, plant a content
// the next promotion would take, or reset a channel's rollback check; no
// entry may take them.
bool IsInstallOwnName(std::string_view listPath);

// The name of a file's copy relative to the server directory: its list path
// (Windows-1252, separators as the list gives them) plus the copy suffix.
// "data\\a.pak" gives "data\\a.pak.bz2".
std::string CopyName(std::string_view listPath);

// The URL of a file's copy: baseUrl (a "/" is put after it when it doesn't
// end in one), the list path with every "\" turned into "/", and the copy
// suffix. CopyUrl("http://h/Updater/", "data\\a.pak") gives
// "http://h/Updater/data/a.pak.bz2"; CopyUrl(baseUrl, kListName) is the
// list's own copy.
std::string CopyUrl(std::string_view baseUrl, std::string_view listPath);
// An object's name inside the objects' folder, from the MD5 (32 lowercase
// hex digits) of its content: "ab/<md5>.zst", the first two digits as a
// folder, so 100,000 contents give 256 folders of about 400 files.
std::string ObjectName(std::string_view md5Hex);
// An entry's MD5 as contents are named by it (32 hex digits, small
// letters); empty for a digest that can't name a content.
std::string ObjectDigest(std::string_view digest);

// The URL of any file of the server directory by its relative name (a
// copy's, a patch's), "\" or "/" separated, the same way.
std::string ServerUrl(std::string_view baseUrl, std::string_view serverName);
