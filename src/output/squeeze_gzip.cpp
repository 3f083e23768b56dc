#include <zlib.h>

#include "output/squeezers.h"

namespace {

void* gzipgrab(void* count, uInt items, uInt size) {
    return squeezegrab(count, std::size_t(items) * size);
}

void* gzipmake(const squeezefit& fit, std::int64_t, squeezecount* count) {
    z_stream* z = new z_stream{};
    z->zalloc = gzipgrab;
    z->zfree = squeezedrop;
    z->opaque = count;
    // + 16: a gzip wrapper rather than zlib's.
    if (deflateInit2(z, 6, Z_DEFLATED, fit.window + 16, fit.level, Z_DEFAULT_STRATEGY) == Z_OK) return z;
    delete z;
    return nullptr;
}

bool gzipfeed(void* state, const char* data, std::size_t n, bool last, std::string* out) {
    z_stream* z = static_cast<z_stream*>(state);
    z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z->avail_in = uInt(n);
    for (;;) {
        char buf[16384];
        z->next_out = reinterpret_cast<Bytef*>(buf);
        z->avail_out = sizeof buf;
        int rc = deflate(z, last ? Z_FINISH : Z_NO_FLUSH);
        // Z_BUF_ERROR is no progress, as an empty piece makes.
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
        out->append(buf, sizeof buf - z->avail_out);
        if (rc == Z_STREAM_END) return true;
        if (z->avail_out == 0) continue;
        // Room left over: all the input is taken. With last, a stream that
        // neither ends nor moves is broken.
        if (!last) return true;
        if (rc == Z_BUF_ERROR) return false;
    }
}

void gzipfree(void* state) {
    z_stream* z = static_cast<z_stream*>(state);
    deflateEnd(z);
    delete z;
}

const squeezer gzip = {gzipmake, gzipfeed, gzipfree};

}  // namespace

const squeezer* squeezergzip() {
    return &gzip;
}
