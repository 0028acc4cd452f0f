#include "tools/publish/Objects.h"

#include "formats/Publication.h"
#include "formats/md5.h"
#include "tools/publish/Names.h"
#include "tools/publish/Text.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <set>

namespace publish {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 1 << 20;

// Measured file by file against bzip2 -9: on mixed game-like data level 15
// is already smaller at about 1.6 times bzip2's time, and level 19 costs
// 4.5 times; on text (JavaScript, words) zstd needs 18 or more to match
// bzip2 and 19 costs over 10 times. So text-like content (bzip2 brings it
// under kTextRatio of its size) gets 19, everything else 15.
constexpr int kLevel = 15;
constexpr int kTextLevel = 19;
constexpr double kTextRatio = 0.35;
// Every decoder's default limit (128 MiB): no client needs a larger window.
constexpr int kMaxWindowLog = 27;
constexpr int kMinWindowLog = 10;
// A new frame every 64 MiB of content: a client continues an interrupted
// object from the end of its last whole frame (a zstd stream can't restart
// mid-frame), so it fetches again at most that much. Each frame forgets the
// ones before it; on bench's mixed data (zstd -15 --long=27): 128 MiB as
// two 64 MiB frames 8.0% larger than one frame (still 0.78 of its bzip2
// copy); 64 MiB as four of 16 MiB 20.8% larger, more than its bzip2 copy.
constexpr std::uint64_t kFrameInput = std::uint64_t{64} << 20;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

void Check(std::size_t rc, const fs::path& target) {
    if (ZSTD_isError(rc)) throw IoError(Cat("zstd failed on '", Display(target), "': ", ZSTD_getErrorName(rc)));
}

// One compressor per object: its tables follow the pledged size, so a small
// file's are small. (A thread_local one, freed at thread exit, crashed
// there in the MinGW build under Wine.)
std::unique_ptr<ZSTD_CCtx, CCtxFree> NewCompressor() {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) throw IoError("zstd can't start a compressor");
    return cctx;
}

bool IsLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "<md5>.zst" in the folder of its first two digits: a name only an object has.
bool IsObjectFile(std::string_view folder, std::string_view name) {
    return name.size() == 32 + 4 && name.ends_with(".zst") && IsLowerHex(name.substr(0, 32)) &&
           name.substr(0, 2) == folder;
}

// Compresses the source into target at level and returns the object's
// size. Threat to the store: a client file changing while it is read would
// put other content under its digest's name for good, so the bytes read are
// hashed and must be the ones the digest was taken of.
std::uint64_t Compress(const ObjectSource& source, const fs::path& target, int level, ByteCounter* progress) {
    const auto compressor = NewCompressor();
    ZSTD_CCtx* const c = compressor.get();
    const int windowLog = std::clamp(static_cast<int>(std::bit_width(source.size)), kMinWindowLog, kMaxWindowLog);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, level), target);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), target);
    Check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLog), target);
    Check(ZSTD_CCtx_setPledgedSrcSize(c, std::min(source.size, kFrameInput)), target);

    CFile in(source.file, CFile::Mode::Read);
    CFile out(target, CFile::Mode::Write);
    std::vector<char> input(kChunk), output(kChunk);
    TMD5Context md5;
    MD5Init(md5);
    std::uint64_t read = 0, written = 0;
    for (bool last = false; !last;) {
        // Chunks end at frame boundaries, and a frame ends where one does.
        const std::uint64_t frameLeft = kFrameInput - read % kFrameInput;
        const std::size_t n = in.Read(input.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, frameLeft)));
        const bool frameEnds = n > 0 && n == frameLeft && read + n < source.size;
        last = n == 0;
        read += n;
        if (read > source.size) break;
        MD5Update(md5, input.data(), n);
        ZSTD_inBuffer chunk{input.data(), n, 0};
        for (std::size_t left = 1; chunk.pos < chunk.size || ((last || frameEnds) && left != 0);) {
            ZSTD_outBuffer buffer{output.data(), output.size(), 0};
            left = ZSTD_compressStream2(c, &buffer, &chunk, last || frameEnds ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left) && read == source.size) Check(left, target);
            if (ZSTD_isError(left)) break;  // a size other than pledged: reported below
            out.Write(output.data(), buffer.pos);
            written += buffer.pos;
        }
        if (frameEnds) Check(ZSTD_CCtx_setPledgedSrcSize(c, std::min(source.size - read, kFrameInput)), target);
        if (progress != nullptr) progress->fetch_add(n, std::memory_order_relaxed);
    }
    out.Close();
    TMD5Digest digest{};
    MD5Final(md5, digest);
    if (read != source.size || DigestToHex(digest) != source.digest) {
        throw IoError(Cat("'", Display(source.file), "' changed while it was published"));
    }
    return written;
}

int LevelFor(const ObjectSource& source) {
    std::error_code ec;
    const std::uint64_t copyBytes = source.copy.empty() ? 0 : fs::file_size(source.copy, ec);
    if (source.copy.empty() || ec) return -1;  // unknown: weigh by the first object
    return static_cast<double>(copyBytes) < kTextRatio * static_cast<double>(source.size) ? kTextLevel : kLevel;
}

}  // namespace

fs::path ObjectDirectory(const fs::path& serverDir) { return ServerPath(serverDir, kObjectDir); }

fs::path ObjectPath(const fs::path& serverDir, const std::string& digest) {
    return ServerPath(serverDir, Cat(kObjectDir, ObjectName(digest)));
}

std::vector<ObjectJob> PlanObjects(const std::vector<ObjectSource>& sources, const PatchRecord& record,
                                   const fs::path& serverDir) {
    std::vector<const ObjectSource*> wanted;
    std::set<std::string> planned;
    for (const ObjectSource& source : sources) {
        if (!planned.insert(source.digest).second) continue;  // equal files, one object
        const auto known = record.objects.find(source.digest);
        std::error_code ec;
        const fs::path target = ObjectPath(serverDir, source.digest);
        if (known != record.objects.end() && known->second.size == source.size && fs::is_regular_file(target, ec) &&
            fs::file_size(target, ec) == known->second.bytes && !ec) {
            continue;
        }
        wanted.push_back(&source);
    }
    // Largest first, so no thread is left with one big file at the end.
    std::stable_sort(wanted.begin(), wanted.end(),
                     [](const ObjectSource* a, const ObjectSource* b) { return a->size > b->size; });
    std::vector<ObjectJob> jobs;
    jobs.reserve(wanted.size());
    for (const ObjectSource* source : wanted) {
        const fs::path target = ObjectPath(serverDir, source->digest);
        std::error_code ec;
        jobs.push_back(ObjectJob{*source, target, fs::is_regular_file(target, ec)});
    }
    return jobs;
}

void MakeObject(ObjectJob& job, ByteCounter* progress, const std::function<void(const char* step)>& checkpoint) {
    try {
        // Present but unrecorded (a killed run renamed it, or someone put it
        // there): trusted once it decodes to its content, else replaced.
        if (job.verify && DecodeVerifiedObject(job.target, job.source.digest, job.source.size, nullptr)) {
            std::error_code ec;
            job.bytes = fs::file_size(job.target, ec);
            if (!ec) {
                if (progress != nullptr) progress->fetch_add(job.source.size, std::memory_order_relaxed);
                return;
            }
        }
        job.temp.emplace(job.target);
        const int level = LevelFor(job.source);
        job.bytes = Compress(job.source, job.temp->Path(), level < 0 ? kLevel : level, progress);
        if (level < 0 && static_cast<double>(job.bytes) < kTextRatio * static_cast<double>(job.source.size)) {
            job.bytes = Compress(job.source, job.temp->Path(), kTextLevel, nullptr);
        }
        if (checkpoint) checkpoint("packed");
    } catch (const IoError& e) {
        job.error = e.what();
        job.temp.reset();
    }
}

void RecordObjects(const std::vector<ObjectSource>& sources, const std::vector<ObjectJob>& jobs, PatchRecord& record,
                   std::uint64_t publication) {
    for (const ObjectJob& job : jobs) {
        record.objects[job.source.digest] = WrittenObject{job.source.size, job.bytes, publication};
    }
    for (const ObjectSource& source : sources) record.objects[source.digest].publication = publication;
}

std::size_t CommitObjects(std::vector<ObjectJob>& jobs, const std::function<void(const char* step)>& checkpoint) {
    std::size_t committed = 0;
    for (ObjectJob& job : jobs) {
        if (!job.temp) continue;
        job.temp->Commit();
        job.temp.reset();
        ++committed;
        if (checkpoint) checkpoint("object");
    }
    return committed;
}

std::size_t PruneObjects(PatchRecord& record, std::uint64_t publication, unsigned history, const fs::path& serverDir,
                         const std::function<void(const char* step)>& checkpoint, std::vector<std::string>& warnings) {
    history = std::max(history, 1u);
    std::erase_if(record.objects, [&](const auto& entry) {
        const std::uint64_t named = entry.second.publication;
        return named > publication || publication - named >= history;
    });
    // Every file of an object's name goes unless the record keeps it: ours,
    // whether the record knew it or an interrupted run left it unrecorded.
    const fs::path dir = ObjectDirectory(serverDir);
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return 0;
    std::vector<fs::path> stale, folders;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string folder = it->path().filename().string();
        if (folder.size() != 2 || !IsLowerHex(folder) || !it->is_directory(ec)) continue;
        folders.push_back(it->path());
        for (auto file = fs::directory_iterator(it->path(), ec); !ec && file != fs::directory_iterator();
             file.increment(ec)) {
            const std::string name = file->path().filename().string();
            if (IsObjectFile(folder, name) && record.objects.count(name.substr(0, 32)) == 0 &&
                file->is_regular_file(ec)) {
                stale.push_back(file->path());
            }
        }
    }
    std::size_t removed = 0;
    for (const fs::path& path : stale) {
        if (fs::remove(path, ec)) {
            ++removed;
            if (checkpoint) checkpoint("object-pruned");
        } else if (ec) {
            warnings.push_back(Cat("can't remove '", Display(path), "': ", ec.message()));
        }
    }
    for (const fs::path& folder : folders) {
        if (fs::is_empty(folder, ec) && !ec) fs::remove(folder, ec);
    }
    if (fs::is_empty(dir, ec) && !ec) fs::remove(dir, ec);
    return removed;
}

// An object is one frame or several (kFrameInput). Threat: an object
// replaced on the server by hand or by an attacker; its
// bytes count only once they decode to the recorded MD5, and decoding stops
// past the recorded size, so a small bomb fills no disk.
bool DecodeVerifiedObject(const fs::path& object, const std::string& md5Hex, std::uint64_t size,
                          const fs::path* target) {
    const std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) throw IoError("zstd can't start a decoder");
    CFile in(object, CFile::Mode::Read);
    std::optional<CFile> out;
    if (target != nullptr) out.emplace(*target, CFile::Mode::Write);
    std::vector<char> input(ZSTD_DStreamInSize()), output(ZSTD_DStreamOutSize());
    TMD5Context md5;
    MD5Init(md5);
    std::uint64_t written = 0;
    std::size_t left = 1;
    for (;;) {
        const std::size_t n = in.Read(input.data(), input.size());
        if (n == 0) break;
        ZSTD_inBuffer chunk{input.data(), n, 0};
        while (chunk.pos < chunk.size) {
            ZSTD_outBuffer buffer{output.data(), output.size(), 0};
            left = ZSTD_decompressStream(dctx.get(), &buffer, &chunk);
            if (ZSTD_isError(left)) return false;
            written += buffer.pos;
            if (written > size) return false;
            MD5Update(md5, output.data(), buffer.pos);
            if (out) out->Write(output.data(), buffer.pos);
        }
    }
    // The frame may still hold output once the input ended.
    for (ZSTD_inBuffer none{nullptr, 0, 0}; left != 0;) {
        ZSTD_outBuffer buffer{output.data(), output.size(), 0};
        left = ZSTD_decompressStream(dctx.get(), &buffer, &none);
        if (ZSTD_isError(left) || buffer.pos == 0) return false;
        written += buffer.pos;
        if (written > size) return false;
        MD5Update(md5, output.data(), buffer.pos);
        if (out) out->Write(output.data(), buffer.pos);
    }
    if (out) out->Close();
    TMD5Digest digest{};
    MD5Final(md5, digest);
    return written == size && DigestToHex(digest) == md5Hex;
}

}  // namespace publish
