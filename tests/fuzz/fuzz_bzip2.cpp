// Fuzzes the decompressing stream. The first two bytes choose how many
// bytes the source hands out per read, how many the caller asks for and
// whether it rewinds once; the rest is the compressed file. A decode must end in output or one of
// our exceptions, and the read sizes must not change the outcome.
#include "formats/BZip2.h"
#include "tests/fuzz/FuzzCheck.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// A source that hands out at most `piece` bytes per read.
class ChunkedSource : public TMemoryStream {
public:
    ChunkedSource(const std::uint8_t* data, std::size_t size, std::size_t piece)
        : TMemoryStream(std::vector<std::uint8_t>(data, data + size)), piece_(piece) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        return TMemoryStream::Read(buffer, count < piece_ ? count : piece_);
    }

private:
    std::size_t piece_;
};

struct Outcome {
    std::string output;
    std::string error;  // empty when the decode completed
    bool finished = false;
};

// Bounds the work on inputs that expand enormously.
constexpr std::size_t kMaxOutput = 8u << 20;

Outcome Decode(const std::uint8_t* data, std::size_t size, std::size_t piece, std::size_t chunk, bool rewind) {
    Outcome result;
    ChunkedSource source(data, size, piece);
    std::int64_t lastPosition = 0;
    try {
        auto z = std::make_unique<TBZDecompressionStream>(source);
        z->OnProgress = [&](void* sender) {
            Check(sender == z.get(), "progress sender");
            const std::int64_t position = source.Position();
            Check(position >= lastPosition && position <= static_cast<std::int64_t>(size), "progress position");
            lastPosition = position;
        };
        std::vector<char> buffer(chunk);
        while (result.output.size() < kMaxOutput) {
            const std::size_t n = z->Read(buffer.data(), chunk);
            Check(n <= chunk, "read past the request");
            Check(z->Position() == static_cast<std::int64_t>(result.output.size() + n), "position");
            if (n == 0) break;
            result.output.append(buffer.data(), n);
            if (rewind) {
                // Start over once: a fresh decoder from the source's first byte.
                rewind = false;
                Check(z->Seek(0, os::SeekOrigin::Begin) == 0, "rewind");
                result.output.clear();
                lastPosition = 0;
            }
        }
        result.finished = z->Finished();
        if (result.output.size() < kMaxOutput)
            Check(result.finished || size == 0, "a decode ended without the end of the stream");
    } catch (const EBZip2Error& e) {
        result.error = e.what();
    } catch (const EReadError& e) {
        result.error = e.what();
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = 1 + data[0] * 97u;  // 1 .. 24736 bytes per source read
    const std::size_t chunk = 1 + data[1] * 31u;  // 1 .. 7906 bytes per Read
    const bool rewind = data[1] & 1;              // and a rewind after the first Read
    data += 2;
    size -= 2;

    const Outcome odd = Decode(data, size, piece, chunk, rewind);
    const Outcome plain = Decode(data, size, 65536, 65536, false);
    if (odd.output.size() < kMaxOutput && plain.output.size() < kMaxOutput) {
        Check(odd.error == plain.error, "read sizes changed the error");
        if (odd.error.empty()) Check(odd.output == plain.output, "read sizes changed the output");
    }
    // Whatever a failing decode delivered is the start of what it would decode.
    const Outcome& shorter = odd.output.size() <= plain.output.size() ? odd : plain;
    const Outcome& longer = &shorter == &odd ? plain : odd;
    Check(longer.output.compare(0, shorter.output.size(), shorter.output) == 0, "outputs disagree");
    return 0;
}
