#include <brotli/encode.h>

#include <cstdint>

#include "output/squeezers.h"

namespace {

void* brmake() {
    BrotliEncoderState* s = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    if (!s) return nullptr;
    // Quality 5 packs text tighter than gzip's level 6, in less time; the
    // 4 MiB window stays within what browsers take.
    if (BrotliEncoderSetParameter(s, BROTLI_PARAM_QUALITY, 5) &&
        BrotliEncoderSetParameter(s, BROTLI_PARAM_LGWIN, 22) &&
        BrotliEncoderSetParameter(s, BROTLI_PARAM_MODE, BROTLI_MODE_TEXT))
        return s;
    BrotliEncoderDestroyInstance(s);
    return nullptr;
}

bool brfeed(void* state, const char* data, std::size_t n, bool last, std::string* out) {
    BrotliEncoderState* s = static_cast<BrotliEncoderState*>(state);
    const std::uint8_t* in = reinterpret_cast<const std::uint8_t*>(data);
    std::size_t left = n;
    for (;;) {
        std::uint8_t buf[16384];
        std::uint8_t* at = buf;
        std::size_t room = sizeof buf, before = left;
        if (!BrotliEncoderCompressStream(s, last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_PROCESS, &left, &in,
                                         &room, &at, nullptr))
            return false;
        out->append(reinterpret_cast<const char*>(buf), sizeof buf - room);
        if (left == 0 && !BrotliEncoderHasMoreOutput(s) && (!last || BrotliEncoderIsFinished(s))) return true;
        // Nothing in and nothing out, and not done: it would only spin.
        if (room == sizeof buf && left == before) return false;
    }
}

void brfree(void* state) {
    BrotliEncoderDestroyInstance(static_cast<BrotliEncoderState*>(state));
}

const squeezer br = {brmake, brfeed, brfree};

}  // namespace

const squeezer* squeezerbr() {
    return &br;
}
