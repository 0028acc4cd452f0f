// Reading a client file once: its MD5 digest and, when asked, its bzip2
// copy (one stream, level 9). And the job queue that runs them on threads.
#pragma once

#include "formats/md5.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

namespace publish {

struct Digested {
    TMD5Digest digest{};
    std::uint64_t size = 0;  // bytes actually read
};

// Bytes read so far by every job, for the progress line.
using ByteCounter = std::atomic<std::uint64_t>;

// Digests a file. Raises IoError.
Digested HashFile(const std::filesystem::path& source, ByteCounter* progress = nullptr);

// Digests a file and writes its bzip2 copy to target in the same pass.
// Raises IoError; target may then be partly written (the caller owns it).
Digested CompressFile(const std::filesystem::path& source, const std::filesystem::path& target,
                      ByteCounter* progress = nullptr);

// Writes data as one bzip2 stream to target. Raises IoError.
void CompressToFile(std::string_view data, const std::filesystem::path& target);

// Runs job(0) ... job(count - 1) on `threads` worker threads, lowest index
// first; the calling thread calls tick() every `interval` meanwhile and once
// at the end. job must not throw.
void RunJobs(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& job,
             const std::function<void()>& tick, std::chrono::milliseconds interval);

}  // namespace publish
