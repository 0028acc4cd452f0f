#include "formats/FileBlocks.h"

#include "platform/os.h"

#include <algorithm>
#include <memory>

void ForEachBlockOfMapping(os::Mapping& mapping, const std::string& path, const TFileBlock& block) {
    const auto data = mapping.Data();
    // A small file read into memory: nothing to guard or let go (setting
    // up the guard costs a system call per file).
    if (mapping.Copied()) {
        block(data);
        return;
    }
    // Handed over in slices whose pages are then let go, so that a large
    // file doesn't occupy the process's memory. The guarded body owns
    // nothing: a fault abandons it where it stands.
    static constexpr std::size_t kSlice = 8 << 20;
    const auto body = [&block, &mapping, data] {
        for (std::size_t done = 0; done < data.size();) {
            const std::size_t n = std::min(kSlice, data.size() - done);
            block(data.subspan(done, n));
            done += n;
            if (done < data.size()) mapping.Discard(done);
        }
    };
    if (!os::GuardedMappedRead(data, body)) os::RaiseFileError(os::LastErrorCode(), path);
}

void ForEachBlockOfFile(const std::string& path, const TFileBlock& block) {
    if (std::unique_ptr<os::Mapping> mapping = os::MapFileReadOnly(path)) {
        // The mapping is released on the way out, failing or not.
        ForEachBlockOfMapping(*mapping, path, block);
    }
}
