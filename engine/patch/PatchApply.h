// A pending entry rebuilt from the file the install has and the patches the
// publisher wrote since (engine/patch/PatchDecoder decodes each): link by link,
// each into a temporary of exactly its size, written through a writable
// mapping, so peak memory stays within the decoder's bound plus the pages
// in flight, for files of any size. Each intermediate must be the content
// its link names (MD5); the last one is checked as any copy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TCopyCheck;
struct TFailure;
namespace os {
class File;
}

// One downloaded patch of a chain, and the MD5 of what it produces.
struct TPatchStep {
    std::string file;
    std::string to;
};

struct TPatchHooks {
    // Patch bytes read so far, over the whole chain.
    std::function<void(std::uint64_t consumed)> progress;
    // After each block (the stop check).
    std::function<void()> afterBlock;
    // A new temporary for an intermediate result, created exclusively; its
    // path goes into path.
    std::function<os::File(std::string& path)> newTemp;
};

// Applies steps to the file at oldPath, writing the last result into out (a
// new, empty file open for reading and writing) of exactly size bytes,
// through check (bound, MD5, SHA-256 with a key). Intermediates are removed
// in every case, out is left to the caller. Raises EPatchError for a patch
// that doesn't fit, EInOutError for a file that can't be read or written,
// and whatever check or afterBlock raise.
void ApplyChain(const std::string& oldPath, const std::vector<TPatchStep>& steps, os::File& out, std::uint64_t size,
                TCopyCheck& check, const TPatchHooks& hooks);

// How large an intermediate of a chain may be: its header must declare its
// size, no more than twice the larger of the old and the final file plus
// 64 MiB (a file that grew and shrank again within the history).
std::uint64_t IntermediateBound(std::uint64_t oldSize, std::uint64_t finalSize);

// The log's note for an entry whose chain failed, fetched or applied: its
// whole copy is fetched instead.
std::string PatchFallbackNote(const TFailure& failure);
