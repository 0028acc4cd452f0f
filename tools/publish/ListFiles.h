// The files every kind of publication ends with: the list in its folder
// (files.lst, files.lst.bz2 and, signed, its signature), the record of
// written copies, and the removal of copies no list names any more. Shared
// by a publication from a client directory (Publisher.h) and by promoting
// or reverting one that is already on the server (Stages.h).
#pragma once

#include "formats/ListWriter.h"
#include "tools/publish/Manifest.h"
#include "tools/publish/Signing.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

// Saves the record by one rename. Raises PublishFailure (status 1), the
// message ending in `after`: what state the server is in then.
void SaveManifest(const std::filesystem::path& serverDir, const Manifest& written, const PatchRecord& record,
                  std::string_view after);

// Writes the list, its archive and (signed) its signature into listDir,
// all before the first rename, so the list is never served without its
// signature (a failed signature replaces nothing); then renames them back
// to back. Unsigned, an earlier signature there goes. Reaches "list" and
// "lists". Raises PublishFailure (status 1).
void CommitList(const TListContent& list, const std::filesystem::path& listDir, const SigningOptions& signing,
                std::uint64_t serial, const std::function<void(const char* step)>& checkpoint,
                std::vector<std::string>& warnings, const std::string& scope = {});

// Removes the temporary files a killed publication left behind (ours by
// their suffix), and the directories that held nothing else.
void SweepTemporaries(const std::filesystem::path& serverDir);

// Removes the copy of every path of `ours` that `current` doesn't name
// (on a case-insensitive disk, not when only its case changed), and the
// directories left empty; reaches "prune" per copy removed. Returns how
// many were removed; a copy that can't be removed is a warning.
std::size_t PruneCopies(const std::set<std::string>& ours, const std::vector<std::string>& current,
                        const std::filesystem::path& serverDir, const std::function<void(const char* step)>& checkpoint,
                        std::vector<std::string>& warnings);

}  // namespace publish
