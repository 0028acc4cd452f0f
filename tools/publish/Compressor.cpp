#include "tools/publish/Compressor.h"

#include "tools/publish/FileIo.h"
#include "tools/publish/Text.h"
#include "platform/bz2.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace publish {

namespace {

// Large reads: one pass over the file feeds the digest and the compressor.
constexpr std::size_t kChunk = 1 << 20;

class Md5 {
public:
    Md5() { MD5Init(context_); }
    void Add(const void* data, std::size_t size) { MD5Update(context_, data, size); }
    TMD5Digest Finish() {
        TMD5Digest digest{};
        MD5Final(context_, digest);
        return digest;
    }

private:
    TMD5Context context_{};
};

class BzCompressor {
public:
    BzCompressor() {
        // Level 9 (900 kB blocks), quiet, default work factor.
        const int rc = BZ2_bzCompressInit(&stream_, 9, 0, 0);
        if (rc != BZ_OK) throw IoError(Cat("bzip2 can't start (error ", std::to_string(rc), ")"));
    }
    BzCompressor(const BzCompressor&) = delete;
    BzCompressor& operator=(const BzCompressor&) = delete;
    ~BzCompressor() { BZ2_bzCompressEnd(&stream_); }

    // Feeds data (or finishes the stream when finish is set) and writes what
    // comes out.
    void Feed(const char* data, std::size_t size, bool finish, CFile& out, std::vector<char>& buffer) {
        stream_.next_in = const_cast<char*>(data);
        stream_.avail_in = static_cast<unsigned>(size);
        for (;;) {
            stream_.next_out = buffer.data();
            stream_.avail_out = static_cast<unsigned>(buffer.size());
            const int rc = BZ2_bzCompress(&stream_, finish ? BZ_FINISH : BZ_RUN);
            const std::size_t produced = buffer.size() - stream_.avail_out;
            if (produced > 0) out.Write(buffer.data(), produced);
            if (finish) {
                if (rc == BZ_STREAM_END) return;
                if (rc != BZ_FINISH_OK) throw IoError(Cat("bzip2 failed (error ", std::to_string(rc), ")"));
            } else {
                if (rc != BZ_RUN_OK) throw IoError(Cat("bzip2 failed (error ", std::to_string(rc), ")"));
                if (stream_.avail_in == 0) return;
            }
        }
    }

private:
    bz_stream stream_{};
};

Digested ReadOnce(const std::filesystem::path& source, const std::filesystem::path* target, ByteCounter* progress) {
    CFile in(source, CFile::Mode::Read);
    std::unique_ptr<CFile> out;
    std::unique_ptr<BzCompressor> bz;
    std::vector<char> outBuffer;
    if (target != nullptr) {
        out = std::make_unique<CFile>(*target, CFile::Mode::Write);
        bz = std::make_unique<BzCompressor>();
        outBuffer.resize(kChunk);
    }
    std::vector<char> buffer(kChunk);
    Md5 md5;
    Digested result;
    for (;;) {
        const std::size_t n = in.Read(buffer.data(), buffer.size());
        if (n == 0) break;
        md5.Add(buffer.data(), n);
        if (bz) bz->Feed(buffer.data(), n, false, *out, outBuffer);
        result.size += n;
        if (progress != nullptr) progress->fetch_add(n, std::memory_order_relaxed);
    }
    if (bz) {
        bz->Feed(nullptr, 0, true, *out, outBuffer);
        out->Close();
    }
    result.digest = md5.Finish();
    return result;
}

}  // namespace

Digested HashFile(const std::filesystem::path& source, ByteCounter* progress) {
    return ReadOnce(source, nullptr, progress);
}

Digested CompressFile(const std::filesystem::path& source, const std::filesystem::path& target, ByteCounter* progress) {
    return ReadOnce(source, &target, progress);
}

void CompressToFile(std::string_view data, const std::filesystem::path& target) {
    CFile out(target, CFile::Mode::Write);
    BzCompressor bz;
    std::vector<char> buffer(kChunk);
    while (!data.empty()) {
        const std::size_t n = std::min(data.size(), kChunk);
        bz.Feed(data.data(), n, false, out, buffer);
        data.remove_prefix(n);
    }
    bz.Feed(nullptr, 0, true, out, buffer);
    out.Close();
}

void RunJobs(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& job,
             const std::function<void()>& tick, std::chrono::milliseconds interval) {
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable done;
    unsigned running = 0;

    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) job(i);
        std::lock_guard lock(mutex);
        --running;
        done.notify_one();
    };

    const unsigned n = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, count)));
    std::vector<std::jthread> pool;
    pool.reserve(n);
    for (unsigned t = 0; t < n; ++t) {
        {
            std::lock_guard lock(mutex);
            ++running;
        }
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            // Fewer threads than asked for still finish the queue.
            std::lock_guard lock(mutex);
            --running;
            if (pool.empty()) throw;
            break;
        }
    }

    std::unique_lock lock(mutex);
    while (running > 0) {
        if (!done.wait_for(lock, interval, [&] { return running == 0; })) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    lock.unlock();
    pool.clear();
    tick();
}

}  // namespace publish
