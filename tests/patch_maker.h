// Patches made by the tests themselves, as the publisher makes them: one
// zstd frame with the old content as reference prefix, long-distance
// matching and a checksum.
#pragma once

#include <zstd.h>

#include <stdexcept>
#include <string>

namespace patchmaker {

// declareSize: whether the frame header carries the decoded size.
inline std::string MakePatch(const std::string& from, const std::string& to, bool declareSize = true, int level = 3) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    if (context == nullptr) throw std::runtime_error("ZSTD_createCCtx");
    struct Free {
        ZSTD_CCtx* context;
        ~Free() { ZSTD_freeCCtx(context); }
    } free{context};
    int windowLog = 10;
    while (windowLog < 30 && (std::size_t{1} << windowLog) < from.size() + to.size()) ++windowLog;
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, declareSize ? 1 : 0);
    ZSTD_CCtx_refPrefix(context, from.data(), from.size());
    std::string patch(ZSTD_compressBound(to.size()), '\0');
    const std::size_t size = ZSTD_compress2(context, patch.data(), patch.size(), to.data(), to.size());
    if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
    patch.resize(size);
    return patch;
}

}  // namespace patchmaker
