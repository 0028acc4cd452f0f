// The run's first step: the published list, from the first server in the
// run's order that gives a usable one (a server that doesn't answer, answers
// an error or serves a list that doesn't verify is skipped with its reason,
// and the next is asked), fetched into the install directory under a
// temporary name, its signature verified (with a key), decoded, and read
// into memory once. The mirrors a verified list names then join the run's
// servers, after its own.
#pragma once

#include "formats/ListGrammar.h"
#include "formats/LstFile.h"
#include "formats/Publication.h"
#include "formats/Signature.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TRunContext;

// Over ten times any real client's list: a few hundred bytes from a hostile
// server must not decode into a list that fills the disk and the memory.
inline constexpr std::int64_t kMaxListSize = std::int64_t{64} << 20;

// The list in memory: every section is a view into the reader's text.
struct TRunList {
    explicit TRunList(const std::string& path) : reader(path) {}
    TListFile reader;
    std::int32_t rev = 0;
    TListLines self, critical, normal;
    // The links of the patch index (engine/patch/PatchPlan reads them).
    TListLines patches;
    // The mirrors its [settings] name ("Mirror|URL" lines), as written.
    std::vector<std::string> mirrors;
    // The keys it names and revokes ("Key|<hex>", "Revoke|<hex>").
    std::vector<sig::TPublicKey> keys, revoked;
    // The staged publication and the channels it announces ("Next|NAME",
    // "Channel|NAME"), names already checked.
    TStandingLists standing;
    // The objects' folder its [settings] name ("Objects|objects/"), as written.
    std::string objects;
};

// Fetches, verifies and decodes the list from the first server (in the
// run's order) that gives a usable one, which is then asked first for
// everything after; each server skipped is reported with its reason. The
// decoded list's path, or nullopt when no server gave one (the report has
// the first server's reason; without any answer the view is told nothing).
std::optional<std::string> FetchList(TRunContext& run);

// The list of the stage the live list announces ("stage/NAME/" on each
// server in the run's order), verified as the live list is but for its
// serial, which is its own and never becomes the install's. Its decoded
// path, or nullopt with the first server's reason in failure; nothing is
// told to the view.
std::optional<std::string> FetchStagedList(TRunContext& run, const std::string& name, TFailure& failure);

// The list of channel name (one the live list names, "channels/NAME/" on
// each server in the run's order), verified as the live list is, its serial
// held to the channel's own store (ChannelSerialName). Its decoded path, or
// nullopt with the first server's reason in failure. Raises when the
// store's folder can't be made.
std::optional<std::string> FetchChannelList(TRunContext& run, const std::string& name, TFailure& failure);

// With a verified signature, the mirrors the list names are asked after
// the run's own servers.
void AddListedMirrors(TRunContext& run, const TRunList& list);

// The objects' folder the list names, when it is a safe one, is where
// missing and changed files come from first (engine/ahead/AheadObject); a
// value that isn't one names no objects and says so in the log.
void UseListedObjects(TRunContext& run, const TRunList& list);

// With a verified signature, the install keeps the keys the list names and
// the revocations, before anything is installed (the updater's own entry is
// held to them). Raises when the keyring can't be written.
void LearnListedKeys(TRunContext& run, const TRunList& list);

// Reads the decoded list at path into list and removes the file, in every
// case, before any entry could be installed under its name. Raises for a
// list the run can't use (no valid Rev, unreadable file).
void ReadList(const std::string& path, TRunList& list);
