// Files that hold a secret (the publisher's signing key). Threat: another
// user of the machine reading the key, or an existing file or link being
// overwritten by a new key. Paths are native (std::filesystem).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace os {

// Creates path exclusively (never through an existing file or link),
// readable and writable by its owner only, and writes content. Returns an
// empty string, or why it failed (an existing file included); a failed
// attempt leaves no file behind.
std::string CreateSecretFile(const std::filesystem::path& path, std::string_view content);

// Reads a secret file whole. Returns an empty string, or why it can't be
// used: missing, unreadable, not a regular file, or accessible to other
// users (POSIX permission bits; on Windows an access list granting read to
// everyone, the users or authenticated users groups, guests or anonymous).
std::string ReadSecretFile(const std::filesystem::path& path, std::string& content);

}  // namespace os
