// Applying a patch as the install does (engine/patch/PatchApply): speed in MB/s of
// output per core and peak memory, for a large file with a small change.
//   bench_patch make DIR SIZE_MIB   DIR/old, DIR/new (1 MiB of it rewritten
//                                   in 256 places) and DIR/patch (libzstd,
//                                   level 3, long-distance matching)
//   bench_patch apply DIR           DIR/patch over DIR/old into DIR/out,
//                                   checked against new's MD5
// Run by bench/run_patch.sh; the apply runs in a process of its own so
// its peak RSS is the apply's alone.
#include "engine/fetch/CopyStreams.h"
#include "engine/state/ListTrust.h"
#include "engine/patch/PatchApply.h"
#include "formats/md5.h"
#include "platform/os.h"

#include <zstd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

std::uint64_t g_state = 0x9E3779B97F4A7C15ull;
std::uint64_t Next() {
    g_state ^= g_state << 13;
    g_state ^= g_state >> 7;
    g_state ^= g_state << 17;
    return g_state;
}

// 1 MiB blocks: half zeros, a quarter random, a quarter words.
void FillBlock(std::vector<char>& block, std::size_t index) {
    const int kind = static_cast<int>(index % 4);
    if (kind == 0 || kind == 2) {
        std::fill(block.begin(), block.end(), '\0');
    } else if (kind == 1) {
        for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
            const std::uint64_t v = Next();
            std::memcpy(block.data() + i, &v, 8);
        }
    } else {
        static const char* words[] = {"sword ", "shield ", "potion ", "dragon ", "castle ", "gold ", "quest "};
        std::size_t i = 0;
        while (i < block.size()) {
            const char* w = words[Next() % 7];
            for (; *w && i < block.size(); ++w) block[i++] = *w;
        }
    }
}

void Write(const std::string& path, const std::vector<char>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::perror(path.c_str());
    if (f) std::fclose(f);
}

int Make(const std::string& dir, std::size_t mib) {
    std::vector<char> old(mib << 20), block(1 << 20);
    for (std::size_t b = 0; b < mib; ++b) {
        FillBlock(block, b);
        std::memcpy(old.data() + (b << 20), block.data(), block.size());
    }
    std::vector<char> next = old;
    for (int k = 0; k < 256; ++k) {
        const std::size_t at = (Next() % (next.size() - 4096)) & ~std::size_t{4095};
        for (std::size_t i = 0; i < 4096; ++i) next[at + i] = static_cast<char>(Next());
    }
    Write(dir + "/old", old);
    Write(dir + "/new", next);
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 31);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_refPrefix(cctx, old.data(), old.size());
    std::vector<char> patch(ZSTD_compressBound(next.size()));
    const std::size_t n = ZSTD_compress2(cctx, patch.data(), patch.size(), next.data(), next.size());
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(n)) {
        std::fprintf(stderr, "%s\n", ZSTD_getErrorName(n));
        return 1;
    }
    patch.resize(n);
    Write(dir + "/patch", patch);
    std::printf("made %zu MiB, patch %zu bytes\n", mib, n);
    return 0;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Apply(const std::string& dir) {
    TMD5Digest digest{};
    FileDigest(dir + "/new", digest);
    const std::string wanted = DigestToHex(digest);
    const TListTrust noKey{std::string()};
    std::int64_t size = 0;
    {
        os::File file = os::File::OpenRead(dir + "/new", os::Share::Read);
        size = file.Size();
    }
    std::remove((dir + "/out").c_str());
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    std::printf("peak RSS before the apply (the MD5 of new): %.1f MiB\n", static_cast<double>(before.ru_maxrss) / 1024.0);
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    {
        os::File out = os::File::CreateNew(dir + "/out", os::Share::None);
        TCopyCheck check(size, wanted, std::string(), noKey);
        TPatchHooks hooks;
        ApplyChain(dir + "/old", {TPatchStep{dir + "/patch", wanted}}, out, static_cast<std::uint64_t>(size), check,
                   hooks);
        out.Close();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("applied %.0f MB (with MD5): %.2f s wall, %.2f s CPU: %.0f MB/s wall, %.0f MB/s per core; peak RSS %.1f MiB\n",
                mb, wall, cpu, mb / wall, mb / cpu, static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "make" && argc == 4) return Make(argv[2], static_cast<std::size_t>(std::stoul(argv[3])));
    if (mode == "apply" && argc == 3) return Apply(argv[2]);
    std::fprintf(stderr, "usage: bench_patch make DIR SIZE_MIB | apply DIR\n");
    return 2;
}
