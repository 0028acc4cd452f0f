#include "tools/publish/PatchMaker.h"

#include "formats/md5.h"
#include "platform/bz2.h"
#include "platform/os.h"
#include "tools/publish/FileIo.h"
#include "tools/publish/Names.h"
#include "tools/publish/Objects.h"
#include "tools/publish/Text.h"

// For ZSTD_c_stableInBuffer: the library's own API, in Debian's build too.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <memory>
#include <random>
#include <span>
#include <vector>

namespace publish {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 1 << 20;

class BzDecoder {
public:
    BzDecoder() {
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) throw IoError("bzip2 can't start a decoder");
    }
    BzDecoder(const BzDecoder&) = delete;
    BzDecoder& operator=(const BzDecoder&) = delete;
    ~BzDecoder() { BZ2_bzDecompressEnd(&stream_); }
    bz_stream& Stream() { return stream_; }

private:
    bz_stream stream_{};
};

struct CCtxFree {
    void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

void CheckZstd(std::size_t rc, const fs::path& target) {
    if (ZSTD_isError(rc)) throw IoError(Cat("zstd failed on '", Display(target), "': ", ZSTD_getErrorName(rc)));
}

// A window that reaches from the end of the new content back to the start
// of the old one, which zstd places just before it.
// Level 19 finds the most but makes well under 1 MB/s of new content per
// core; past a few MiB the patch gains little more than the publication
// waits, since what changed dominates either way.
int PatchLevel(std::uint64_t newSize) {
    if (newSize <= (std::uint64_t{16} << 20)) return 19;
    if (newSize <= (std::uint64_t{256} << 20)) return 9;
    return 3;
}

int WindowLog(std::uint64_t reach) {
    const int log = reach <= 1 ? 0 : std::bit_width(reach - 1);
    return std::clamp(log, ZSTD_WINDOWLOG_MIN, ZSTD_WINDOWLOG_MAX_64);
}

// The file's bytes; none for an empty file.
std::unique_ptr<os::Mapping> Map(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) RaiseIo("read", path, ec.value());
    if (size == 0) return nullptr;
    auto mapping = os::MapNativeFileReadOnly(path);
    if (!mapping) throw IoError(Cat("can't map '", Display(path), "'"));
    return mapping;
}

std::span<const std::uint8_t> View(const std::unique_ptr<os::Mapping>& mapping) {
    return mapping ? mapping->Data() : std::span<const std::uint8_t>{};
}

}  // namespace

ScratchDir::ScratchDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    // Threat: another user's file or link at our name in a shared temporary
    // directory; a directory that is new (made by us, writable by us only)
    // holds nothing we didn't put there.
    for (int attempt = 0;; ++attempt) {
        path_ = base / Cat("corvel-publish-", std::to_string(random()), std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(path_, ec)) break;
        if (attempt == 20) RaiseIo("create", path_, ec ? ec.value() : EEXIST);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// Threat: a copy replaced on the server (by hand or by an attacker); its
// bytes are used only once their MD5 matches the record, and decoding stops
// past the recorded size, so a bzip2 bomb fills no disk.
bool DecodeVerifiedCopy(const fs::path& copy, const std::string& md5Hex, std::uint64_t size, const fs::path& target) {
    if (copy.extension() == ".zst") return DecodeVerifiedObject(copy, md5Hex, size, &target);
    CFile in(copy, CFile::Mode::Read);
    CFile out(target, CFile::Mode::Write);
    BzDecoder decoder;
    bz_stream& bz = decoder.Stream();
    std::vector<char> input(kChunk), output(kChunk);
    TMD5Context md5;
    MD5Init(md5);
    std::uint64_t written = 0;
    for (int rc = BZ_OK; rc != BZ_STREAM_END;) {
        if (bz.avail_in == 0) {
            bz.next_in = input.data();
            bz.avail_in = static_cast<unsigned>(in.Read(input.data(), input.size()));
            if (bz.avail_in == 0) return false;  // ends inside the stream
        }
        bz.next_out = output.data();
        bz.avail_out = static_cast<unsigned>(output.size());
        rc = BZ2_bzDecompress(&bz);
        if (rc != BZ_OK && rc != BZ_STREAM_END) return false;
        const std::size_t produced = output.size() - bz.avail_out;
        written += produced;
        if (written > size) return false;
        MD5Update(md5, output.data(), produced);
        out.Write(output.data(), produced);
    }
    out.Close();
    TMD5Digest digest{};
    MD5Final(md5, digest);
    return written == size && bz.avail_in == 0 && in.Read(input.data(), 1) == 0 && DigestToHex(digest) == md5Hex;
}

std::uint64_t WritePatch(const fs::path& oldFile, const fs::path& newFile, const fs::path& target) {
    const auto oldMap = Map(oldFile);
    const auto newMap = Map(newFile);
    const std::span<const std::uint8_t> before = View(oldMap), after = View(newMap);
    const std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) throw IoError("zstd can't start a compressor");
    ZSTD_CCtx* const c = cctx.get();
    CheckZstd(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, PatchLevel(after.size())), target);
    CheckZstd(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), target);
    CheckZstd(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLog(before.size() + after.size())), target);
    CheckZstd(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), target);
    // The new content is read in place from its mapping: without this zstd
    // would copy a window's worth of it into a buffer of its own.
    CheckZstd(ZSTD_CCtx_setParameter(c, ZSTD_c_stableInBuffer, 1), target);
    CheckZstd(ZSTD_CCtx_setPledgedSrcSize(c, after.size()), target);
    if (!before.empty()) CheckZstd(ZSTD_CCtx_refPrefix(c, before.data(), before.size()), target);

    CFile out(target, CFile::Mode::Write);
    std::vector<char> buffer(kChunk);
    ZSTD_inBuffer in{after.data(), after.size(), 0};
    std::uint64_t total = 0;
    std::size_t remaining = 1;
    std::string writeError;
    // A client file that shrinks under its mapping faults on the next read:
    // that is a failure of this patch, not a crash.
    const bool read = os::GuardedMappedRead(after, [&] {
        while (remaining != 0 && writeError.empty()) {
            ZSTD_outBuffer chunk{buffer.data(), buffer.size(), 0};
            remaining = ZSTD_compressStream2(c, &chunk, &in, ZSTD_e_end);
            if (ZSTD_isError(remaining)) return;
            try {
                out.Write(buffer.data(), chunk.pos);
            } catch (const IoError& e) {
                writeError = e.what();
            }
            total += chunk.pos;
        }
    });
    if (!read) throw IoError(Cat("'", Display(newFile), "' changed while it was read"));
    if (!writeError.empty()) throw IoError(writeError);
    CheckZstd(remaining, target);
    out.Close();
    return total;
}

}  // namespace publish
