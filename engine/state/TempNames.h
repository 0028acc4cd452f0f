// Names of the run's temporary files, and the sweep of those a killed run
// left behind.
// Threat: a link planted at a temporary name would have the run write
// through it, and a managed file named like another entry's temporary would
// be truncated or renamed away; so temporaries avoid every name the list
// claims and anything already on disk, and are created exclusively.
#pragma once

#include "platform/os.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class TTempNames {
public:
    // Part of every name that had to be made unique: the sweep recognises
    // our temporaries by it.
    static constexpr std::string_view kMarker = ".~corvel";

    TTempNames();

    // A list entry's relative path ("\" separated) names a managed file.
    // Names compare as Windows compares them: without regard to case.
    void Claim(std::string_view relativePath);
    // Call once every entry has been claimed.
    void Seal();
    bool Claimed(std::string_view relativePath) const;
    // The hashes claimed more than once, sorted (after Seal): the names of
    // entries that may repeat another's file.
    std::vector<std::uint64_t> Repeated() const;

    // Where a temporary for relative + suffix goes: that name itself when no
    // entry claims it and nothing stands there, else the name with the
    // marker and random digits appended. The caller still creates it
    // exclusively: a name taken in the meantime fails, it isn't clobbered.
    std::string Pick(const std::string& installDir, const std::string& relative, const std::string& suffix);
    // The same name, created exclusively and opened, without looking it up
    // first: under Wine each lookup of a missing name reads the whole
    // directory. Only a name found taken is replaced by a unique one.
    os::File Create(const std::string& installDir, const std::string& relative, const std::string& suffix,
                    std::string& path);

    // Deletes what killed runs left in the install directory itself and in
    // every directory on the way to a claimed entry: names carrying the
    // marker, the plain temporaries <entry>.bz2, <entry>.part and
    // <entry>.New, and runFiles (the run's own temporaries in the install
    // directory: the list, its copy...). Never a claimed name, never a
    // directory; links are removed, never followed, and no directory is
    // swept through a link or junction on its way. Names carrying the
    // marker for which keep answers true stay (the partial copies of listed
    // entries). Directories no claimed path leads through are not walked:
    // they are the player's, and may be links to anywhere.
    void Sweep(const std::string& installDir, std::initializer_list<std::string_view> runFiles,
               const std::function<bool(std::string_view relative)>& keep = nullptr) const;

    // A name's hash as the file system compares names (case folded).
    static std::uint64_t Hash(std::string_view relativePath);

private:
    static constexpr int kAttempts = 100;  // unique names tried before giving up
    std::string UniqueVariant(const std::string& name);
    void AddDirectory(std::string_view dir);

    std::vector<std::uint64_t> claimed_;    // hashes of folded paths, sorted by Seal
    std::vector<std::string> directories_;  // swept; relative, with their trailing "\" ("" the root)
    std::unordered_set<std::uint64_t> seenDirectories_;
    std::mt19937_64 random_;
};

// Replaces target by a file holding text in one rename, writing it first to
// tempPath (a name of the run's that nothing stands at): a run killed on the
// way leaves the old file whole. Threat: a link planted at the temporary
// would be written through; the file is made new, never opened where
// something stands. Raises EInOutError; the temporary never stays.
void ReplaceWithText(const std::string& target, std::string_view text, const std::string& tempPath);
