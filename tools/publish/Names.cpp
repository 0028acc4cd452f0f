#include "tools/publish/Names.h"

#include "formats/Publication.h"
#include "tools/publish/Text.h"
#include "platform/codepage.h"
#include "platform/os.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>

namespace publish {

namespace {

std::string Quote(std::string_view cp1252Path) {
    std::string shown = codepage::Cp1252ToUtf8(cp1252Path);
    std::replace(shown.begin(), shown.end(), '\\', '/');
    return Cat("'", shown, "'");
}

// Among the names in the server directory: a file's copy, not one of the
// publication's own files.
bool IsCopyOfAFile(std::string_view name) { return name.ends_with(kCopySuffix) && name != kListArchiveName; }

// The list path whose copy is copyName.
std::string_view ListPathOfCopy(std::string_view copyName) {
    return copyName.substr(0, copyName.size() - std::string_view(kCopySuffix).size());
}

}  // namespace

std::string Describe(NameProblem problem) {
    switch (problem) {
        case NameProblem::None: return "valid";
        case NameProblem::NotUtf8: return "the name is not valid UTF-8";
        case NameProblem::NotCp1252: return "the name can't be written in Windows-1252";
        case NameProblem::Empty: return "the name is empty";
        case NameProblem::ControlChar: return "the name holds a control character";
        case NameProblem::Bar: return "the name holds '|'";
        case NameProblem::Blank: return "the name begins or ends with a blank";
        case NameProblem::WindowsChar: return "the name holds one of < > : \" \\ / ? * (not allowed on Windows)";
        case NameProblem::TrailingDot: return "the name ends with '.' (dropped by Windows)";
        case NameProblem::DeviceName: return "the name is a Windows device name";
        case NameProblem::UrlChar: return "the name holds '#' or '%', which the updater's download address can't carry";
    }
    return "invalid name";
}

NameProblem EncodeArgument(const std::filesystem::path& text, std::string& out) {
    switch (os::NativeToCp1252(text, out)) {
        case codepage::TDecode::Ok: return NameProblem::None;
        case codepage::TDecode::NotUtf8: return NameProblem::NotUtf8;
        case codepage::TDecode::NotCp1252: return NameProblem::NotCp1252;
    }
    return NameProblem::NotCp1252;
}

NameProblem EncodeComponent(const std::filesystem::path& name, std::string& out) {
    const NameProblem encoded = EncodeArgument(name, out);
    if (encoded != NameProblem::None) return encoded;
    return CheckComponent(out);
}

std::filesystem::path ServerPath(const std::filesystem::path& serverDir, std::string_view relative) {
    std::filesystem::path result = serverDir;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string_view part = relative.substr(start, end - start);
        if (!part.empty()) result /= os::NativeFromListBytes(part);
        start = end + 1;
    }
    return result;
}

std::string Display(const std::filesystem::path& path) {
    const std::string raw = os::NativeDisplayBytes(path);
    std::string shown;
    static const char* kHex = "0123456789abcdef";
    for (char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            shown += "\\x";
            shown.push_back(kHex[b >> 4]);
            shown.push_back(kHex[b & 15]);
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

std::vector<std::string> FindServerClashes(const std::vector<std::string>& listPaths) {
    std::vector<std::string> clashes;
    // Folded name -> original, for copies, for the directories that hold
    // them (with a path below each), and for the files of the publication.
    std::map<std::string, std::string> files;
    std::map<std::string, std::pair<std::string, std::string>> dirs;
    std::set<std::pair<std::string, std::string>> dirClashes;
    // The lists beside the live one and the kept ones live in folders of these names.
    for (const char* own :
         {kListName, kListArchiveName, kSignatureName, kManifestName, kStageDir, kChannelDir, kHistoryDir})
        files.emplace(FoldCase(own), own);

    for (const std::string& path : listPaths) {
        if (IsInstallOwnName(path)) clashes.push_back(Cat(Quote(path), ": every install keeps a file of its own there"));
        const std::string copy = CopyName(path);
        const auto [it, inserted] = files.emplace(FoldCase(copy), copy);
        if (!inserted) {
            const std::string& other = it->second;
            if (!IsCopyOfAFile(other)) {
                clashes.push_back(Cat(Quote(path), ": its copy would replace ", other));
            } else {
                clashes.push_back(
                    Cat(Quote(path), " and ", Quote(ListPathOfCopy(other)), " differ only in letter case"));
            }
        }
        for (std::size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
            const std::string dir = path.substr(0, pos);
            const auto [d, fresh] = dirs.emplace(FoldCase(dir), std::make_pair(dir, path));
            // Two spellings of one directory: one directory on the players' disks.
            if (!fresh && d->second.first != dir && dirClashes.emplace(d->second.first, dir).second) {
                clashes.push_back(Cat("the directories ", Quote(d->second.first), " (of ", Quote(d->second.second),
                                      ") and ", Quote(dir), " (of ", Quote(path), ") differ only in letter case"));
            }
        }
    }
    for (const auto& [folded, dir] : dirs) {
        const auto it = files.find(folded);
        if (it == files.end()) continue;
        const std::string& copy = it->second;
        const std::string& dirOwner = dir.second;
        if (!IsCopyOfAFile(copy)) {
            clashes.push_back(Cat(Quote(dirOwner), ": its directory takes the name of ", copy));
        } else {
            clashes.push_back(
                Cat(Quote(dirOwner), ": its directory has the name of the copy of ", Quote(ListPathOfCopy(copy))));
        }
    }
    return clashes;
}

}  // namespace publish
