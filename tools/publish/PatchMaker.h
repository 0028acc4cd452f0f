// Making one patch: the old content, recovered from the copy the server
// directory holds, verified, and a zstd frame that rebuilds the new content
// from it (zstd with the old content as its reference prefix, long-distance
// matching, level 19, a window that reaches back over both).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace publish {

// Neither side of a patch may be larger: the client maps the old file whole
// and bounds what a patch may make it write.
inline constexpr std::uint64_t kMaxPatchedFile = std::uint64_t{1} << 30;

// A new directory of our own under the system's temporary directory for the
// old contents, outside what clients download; removed with what it holds.
class ScratchDir {
public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Decodes the bzip2 copy (or the object, named ".zst") into target and returns true when what it holds
// has the recorded MD5 and size; false (target may then hold anything)
// when it doesn't, or doesn't decode. Raises IoError when a file can't be
// read or written.
bool DecodeVerifiedCopy(const std::filesystem::path& copy, const std::string& md5Hex, std::uint64_t size,
                        const std::filesystem::path& target);

// Writes the patch from oldFile's content to newFile's into target and
// returns its size. Either file may be empty. Raises IoError.
std::uint64_t WritePatch(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
                         const std::filesystem::path& target);

}  // namespace publish
