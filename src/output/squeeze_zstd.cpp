// The allocator a context is made with is among the library's static-only calls.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "output/squeezers.h"

namespace {

void* zstdmake(const squeezefit& fit, std::int64_t size, squeezecount* count) {
    ZSTD_CCtx* c = ZSTD_createCCtx_advanced(ZSTD_customMem{squeezegrab, squeezedrop, count});
    // The size pledged sizes the tables too, and ends the frame with the
    // body's length.
    if (c && !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 3)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, fit.window)) &&
        !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c, (unsigned long long)size)))
        return c;
    ZSTD_freeCCtx(c);
    return nullptr;
}

bool zstdfeed(void* state, const char* data, std::size_t n, bool last, std::string* out) {
    ZSTD_CCtx* c = static_cast<ZSTD_CCtx*>(state);
    ZSTD_inBuffer in = {data, n, 0};
    for (;;) {
        char buf[16384];
        ZSTD_outBuffer to = {buf, sizeof buf, 0};
        std::size_t before = in.pos;
        // With e_end, what is still to be written; with e_continue, a hint.
        std::size_t due = ZSTD_compressStream2(c, &to, &in, last ? ZSTD_e_end : ZSTD_e_continue);
        if (ZSTD_isError(due)) return false;
        out->append(buf, to.pos);
        if (last ? due == 0 : in.pos == in.size) return true;
        // Nothing in and nothing out, and not done: it would only spin.
        if (to.pos == 0 && in.pos == before) return false;
    }
}

void zstdfree(void* state) {
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(state));
}

const squeezer zstd = {zstdmake, zstdfeed, zstdfree};

}  // namespace

const squeezer* squeezerzstd() {
    return &zstd;
}
