// File names as the updater sees them: Windows-1252 bytes, "\" between
// directory names. Everything here except the native-path helpers is pure.
#pragma once

#include "formats/Names.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

// Why a name can't be published: the list's own rules (formats/Names), plus
// the encoding of native names.
using NameProblem = TNameProblem;
using ::CheckComponent;
using ::FoldCase;

std::string Describe(NameProblem problem);

// Encodes one native path component to Windows-1252 and checks it.
NameProblem EncodeComponent(const std::filesystem::path& name, std::string& out);

// Encodes command-line text (a glob) to Windows-1252.
NameProblem EncodeArgument(const std::filesystem::path& text, std::string& out);

// A path under SERVER_DIR from a relative path in Windows-1252 ("\" or "/"
// between names). On POSIX the bytes are the file name as they are, so a
// server that maps request bytes to names finds them.
std::filesystem::path ServerPath(const std::filesystem::path& serverDir, std::string_view relative);

// A path for messages: UTF-8 with control bytes escaped.
std::string Display(const std::filesystem::path& path);

// Relative paths ("\" separated, Windows-1252) whose server copies can't
// coexist on a case-insensitive disk: two copies that differ only in case,
// two spellings of one directory, a copy that equals a directory of another
// copy, or a copy or directory that takes the place of one of the
// publication's own files. Returns one message per clash.
std::vector<std::string> FindServerClashes(const std::vector<std::string>& listPaths);

}  // namespace publish
