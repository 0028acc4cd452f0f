// Writes the file list: the inverse of formats/ListGrammar, which reads it.
#pragma once

#include "formats/PatchIndex.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One entry as written.
struct TListItem {
    std::string path;       // Windows-1252, "\" between names
    std::string digest;     // 32 lowercase hexadecimal digits
    std::int64_t size = 0;  // written as plain decimal whatever its magnitude
    std::string sha256;     // 64 hex digits, written as a leading field; empty: none
};

struct TListContent {
    std::int32_t rev = 0;
    std::vector<std::string> mirrors;  // "Mirror|URL" lines of [settings]
    std::vector<std::string> keys;     // "Key|<64 hex>" lines of [settings]
    std::vector<std::string> revoked;  // "Revoke|<64 hex>" lines of [settings]
    std::string objects;               // the objects' folder ("Objects|objects/"); empty: none
    std::string next;                  // "Next|NAME": the staged publication; empty: none
    std::vector<std::string> channels; // "Channel|NAME" lines
    std::optional<TListItem> self;
    std::vector<TListItem> critical;
    std::vector<TListItem> normal;
    std::vector<TPatchLink> patches;  // the [patches] section, left out when empty
};

// The list's bytes: sections in a fixed order, entries sorted by the bytes
// of their paths, every line ended by CR LF. Equal content gives equal bytes
// whatever the order of the entries handed in.
std::string WriteList(const TListContent& content);

// The inverse, for the publisher rereading a list it wrote (to re-sign it,
// or make a staged or earlier one live): nullopt when [settings] has no
// valid Rev or an entry or a [patches] line doesn't parse. Lines of
// [settings] it doesn't know are dropped.
std::optional<TListContent> ReadListContent(std::string_view text);
