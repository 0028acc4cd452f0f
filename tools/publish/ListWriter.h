// The text of files.lst, and what a previous publication's list tells us.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

struct ListEntry {
    std::string path;    // Windows-1252, "\" between names
    std::string digest;  // 32 lowercase hexadecimal digits
    std::int32_t size = 0;
    std::string sha256;  // 64 hex digits, written as a leading field; empty: none
};

struct ListContent {
    std::int32_t rev = 0;
    std::optional<ListEntry> self;
    std::vector<ListEntry> critical;
    std::vector<ListEntry> normal;
};

// The list's bytes: sections in a fixed order, entries sorted by the bytes
// of their paths, every line ended by CR LF. Equal content gives equal bytes
// whatever the order of the entries handed in.
std::string WriteList(const ListContent& content);

struct PreviousEntry {
    std::string digest;
    std::int64_t size = -1;  // -1 when the size field is not a number
};

// The entries of every section of a list we wrote before, by path. Lines
// that are not entries are skipped, so a damaged list only costs
// recompression.
std::map<std::string, PreviousEntry> ReadPreviousList(std::string_view text);

}  // namespace publish
