#include "engine/state/TempNames.h"

#include "formats/Names.h"
#include "platform/os.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

// A name's byte as the file system compares names: case folded, "/" as "\".
char Fold(unsigned char c) { return c == '/' ? '\\' : FoldNameByte(static_cast<char>(c)); }

bool EndsWithFolded(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
        return Fold(static_cast<unsigned char>(a)) == Fold(static_cast<unsigned char>(b));
    });
}

bool EqualsFolded(std::string_view name, std::string_view other) {
    return name.size() == other.size() && EndsWithFolded(name, other);
}

}  // namespace

TTempNames::TTempNames() : random_(std::random_device{}()) {
    // The install directory itself is swept whatever the list holds: the run
    // keeps its own files there, and so may an entry that left the list.
    AddDirectory("");
}

// FNV-1a over the folded bytes. Two names sharing a hash only make a free
// name look claimed: a unique temporary is used and nothing is swept there.
std::uint64_t TTempNames::Hash(std::string_view relativePath) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : relativePath) {
        h ^= static_cast<unsigned char>(Fold(static_cast<unsigned char>(c)));
        h *= 1099511628211ull;
    }
    return h;
}

void TTempNames::Claim(std::string_view relativePath) {
    claimed_.push_back(Hash(relativePath));
    const std::size_t slash = relativePath.find_last_of("\\/");
    if (slash != std::string_view::npos) AddDirectory(relativePath.substr(0, slash + 1));
}

// Up from dir to the first directory seen before (the root at the latest):
// an entry moved deeper, or out of a directory its siblings still use, may
// have left a partial copy on the way.
void TTempNames::AddDirectory(std::string_view dir) {
    while (seenDirectories_.insert(Hash(dir)).second) {
        directories_.emplace_back(dir);
        if (dir.empty()) return;
        const std::size_t slash = dir.size() < 2 ? std::string_view::npos : dir.find_last_of("\\/", dir.size() - 2);
        dir = slash == std::string_view::npos ? std::string_view() : dir.substr(0, slash + 1);
    }
}

void TTempNames::Seal() { std::sort(claimed_.begin(), claimed_.end()); }

bool TTempNames::Claimed(std::string_view relativePath) const {
    return std::binary_search(claimed_.begin(), claimed_.end(), Hash(relativePath));
}

std::vector<std::uint64_t> TTempNames::Repeated() const {
    std::vector<std::uint64_t> repeated;
    for (std::size_t i = 1; i < claimed_.size(); ++i) {
        if (claimed_[i] == claimed_[i - 1] && (repeated.empty() || repeated.back() != claimed_[i])) {
            repeated.push_back(claimed_[i]);
        }
    }
    return repeated;
}

// The name with the marker and 16 random hex digits appended.
std::string TTempNames::UniqueVariant(const std::string& name) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random_()));
    return name + std::string(kMarker) + digits;
}

std::string TTempNames::Pick(const std::string& installDir, const std::string& relative, const std::string& suffix) {
    std::string name = relative + suffix;
    if (!Claimed(name) && !os::NameTaken(installDir + name)) return installDir + name;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string unique = UniqueVariant(name);
        if (!Claimed(unique) && !os::NameTaken(installDir + unique)) return installDir + unique;
    }
    throw EInOutError(TFault::NameTaken, 0, installDir + name + ": no free name for a temporary file");
}

os::File TTempNames::Create(const std::string& installDir, const std::string& relative, const std::string& suffix,
                            std::string& path) {
    const std::string name = relative + suffix;
    // A name taken since (or found taken) tries the next; any other failure
    // (no such directory, no space, no right) is the run's to report.
    const auto tryCreate = [&installDir, &path](const std::string& candidate) {
        path = installDir + candidate;
        try {
            return std::optional<os::File>(os::File::CreateNew(path, os::Share::None));
        } catch (const EInOutError&) {
            if (!os::NameTaken(path)) throw;
        }
        return std::optional<os::File>();
    };
    if (!Claimed(name)) {
        if (auto file = tryCreate(name)) return std::move(*file);
    }
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string unique = UniqueVariant(name);
        if (Claimed(unique)) continue;
        if (auto file = tryCreate(unique)) return std::move(*file);
    }
    throw EInOutError(TFault::NameTaken, 0, installDir + name + ": no free name for a temporary file");
}

void TTempNames::Sweep(const std::string& installDir, std::initializer_list<std::string_view> runFiles,
                       const std::function<bool(std::string_view relative)>& keep) const {
    for (const std::string& dir : directories_) {
        // Threat: a link or junction on the way would have leftovers removed
        // in a folder outside the install.
        if (!os::PlainWayDown(installDir, dir)) continue;
        for (const std::string& name : os::ListFileNames(installDir + dir)) {
            const std::string relative = dir + name;
            if (Claimed(relative)) continue;
            bool ours = name.find(kMarker) != std::string::npos;
            if (ours && keep && keep(relative)) continue;
            for (std::string_view runFile : runFiles) {
                if (dir.empty() && EqualsFolded(name, runFile)) ours = true;
            }
            for (std::string_view suffix : {".bz2", ".part", ".New"}) {
                if (!ours && EndsWithFolded(name, suffix) && name.size() > suffix.size() &&
                    Claimed(std::string_view(relative).substr(0, relative.size() - suffix.size()))) {
                    ours = true;
                }
            }
            if (ours) os::DeleteFile(installDir + relative);
        }
    }
}

void ReplaceWithText(const std::string& target, std::string_view text, const std::string& tempPath) {
    os::File file = os::File::CreateNew(tempPath, os::Share::None);
    try {
        for (std::size_t done = 0; done < text.size();) {
            const std::size_t wrote = file.Write(text.data() + done, text.size() - done);
            if (wrote == 0) throw EInOutError(TFault::DiskFull, kDiskWriteError, "Disk full");
            done += wrote;
        }
        file.Close();
        os::ReplaceFile(tempPath, target);
    } catch (...) {
        os::DeleteFile(tempPath);
        throw;
    }
}
