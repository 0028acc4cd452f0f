// bench_decode SRC.bz2 OUT: decodes through TBZDecompressionStream from one
// file stream into another with 64 KiB reads, the way the engine's
// DecompressStream does (including a progress handler that reads the
// source position), and prints the wall time.
#include "formats/BZip2.h"
#include "formats/Classes.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_decode SRC.bz2 OUT\n");
        return 2;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        std::int64_t total = 0;
        std::int64_t seen = 0;
        {
            TFileStream source(argv[1], TFileStream::Mode::OpenRead, os::Share::Read);
            TFileStream target(argv[2], TFileStream::Mode::Create, os::Share::None);
            TBZDecompressionStream decoder(source);
            decoder.OnProgress = [&](void*) { seen = source.Position(); };
            std::array<std::uint8_t, 65536> buffer;
            while (const std::size_t n = decoder.Read(buffer.data(), buffer.size())) {
                total += static_cast<std::int64_t>(n);
                target.WriteBuffer(buffer.data(), n);
            }
            target.Close();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("decoded %lld bytes (last progress at source byte %lld)\ntime %.3f s\n",
                    static_cast<long long>(total), static_cast<long long>(seen), took.count());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_decode: %s\n", e.what());
        return 1;
    }
    return 0;
}
