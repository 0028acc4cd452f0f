// bench_md5 FILE: FileDigest of one file, printed with the wall time it took.
#include "formats/md5.h"

#include <chrono>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_md5 FILE\n");
        return 2;
    }
    try {
        TMD5Digest digest{};
        const auto start = std::chrono::steady_clock::now();
        FileDigest(argv[1], digest);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%s  %s\ntime %.3f s\n", DigestToHex(digest).c_str(), argv[1], took.count());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_md5: %s\n", e.what());
        return 1;
    }
    return 0;
}
