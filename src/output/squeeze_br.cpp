#include <brotli/encode.h>

#include <cstdint>

#include "output/squeezers.h"

namespace {

// A metablock is ended every so many bytes of input: left to itself, the
// encoder holds the commands of up to twice its window before it writes
// any, some MiB more for a few bytes less.
const std::uint64_t brsplit = 256 * 1024;

struct brstate {
    BrotliEncoderState* s;
    std::uint64_t fed = 0;
};

void* brmake(const squeezefit& fit, std::int64_t size, squeezecount* count) {
    BrotliEncoderState* s = BrotliEncoderCreateInstance(squeezegrab, squeezedrop, count);
    if (!s) return nullptr;
    // The quality is the level; the window stays within the 4 MiB browsers take.
    std::uint32_t hint = std::uint32_t(size < (1 << 30) ? size : 1 << 30);
    if (BrotliEncoderSetParameter(s, BROTLI_PARAM_QUALITY, std::uint32_t(fit.level)) &&
        BrotliEncoderSetParameter(s, BROTLI_PARAM_LGWIN, std::uint32_t(fit.window)) &&
        BrotliEncoderSetParameter(s, BROTLI_PARAM_SIZE_HINT, hint) &&
        BrotliEncoderSetParameter(s, BROTLI_PARAM_MODE, BROTLI_MODE_TEXT))
        return new brstate{s};
    BrotliEncoderDestroyInstance(s);
    return nullptr;
}

// Compresses all n bytes with op, appending the output.
bool brstep(BrotliEncoderState* s, BrotliEncoderOperation op, const std::uint8_t* in, std::size_t n,
            std::string* out) {
    std::size_t left = n;
    for (;;) {
        std::uint8_t buf[16384];
        std::uint8_t* at = buf;
        std::size_t room = sizeof buf, before = left;
        if (!BrotliEncoderCompressStream(s, op, &left, &in, &room, &at, nullptr)) return false;
        out->append(reinterpret_cast<const char*>(buf), sizeof buf - room);
        bool whole = op != BROTLI_OPERATION_FINISH || BrotliEncoderIsFinished(s);
        if (left == 0 && !BrotliEncoderHasMoreOutput(s) && whole) return true;
        // Nothing in and nothing out, and not done: it would only spin.
        if (room == sizeof buf && left == before) return false;
    }
}

bool brfeed(void* state, const char* data, std::size_t n, bool last, std::string* out) {
    brstate& b = *static_cast<brstate*>(state);
    const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(data);
    // Up to each split, then the rest.
    for (;;) {
        std::uint64_t room = brsplit - b.fed % brsplit;
        if (n < room || (last && n == room)) break;
        if (!brstep(b.s, BROTLI_OPERATION_FLUSH, in, std::size_t(room), out)) return false;
        in += room;
        n -= std::size_t(room);
        b.fed += room;
    }
    b.fed += n;
    return brstep(b.s, last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS, in, n, out);
}

void brfree(void* state) {
    brstate* b = static_cast<brstate*>(state);
    BrotliEncoderDestroyInstance(b->s);
    delete b;
}

const squeezer br = {brmake, brfeed, brfree};

}  // namespace

const squeezer* squeezerbr() {
    return &br;
}
