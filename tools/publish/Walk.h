// The client directory as the list will describe it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace publish {

struct SourceFile {
    std::filesystem::path native;  // where to read it
    std::string listPath;          // Windows-1252, "\" between names
    std::uint64_t size = 0;
};

struct WalkResult {
    std::vector<SourceFile> files;        // sorted by the bytes of listPath
    std::vector<std::string> refused;     // names that can't be published
    std::vector<std::string> unreadable;  // directories or entries we can't read
};

// True when target is root or lies below it; both absolute and canonical.
bool IsInside(const std::filesystem::path& root, const std::filesystem::path& target);

// Walks root. Symbolic links are followed when they stay inside root (a
// link to a directory that holds it is a loop and refused) and refused when
// they leave it; anything but files, directories and such links is refused.
// Every problem is collected, each message naming the file.
WalkResult Walk(const std::filesystem::path& root);

}  // namespace publish
