// gzip read back by zlib's inflate, which takes the gzip wrapper only at 15 + 16.
#include <zlib.h>

#include "squeezed.h"

namespace {

std::string ungzip(const std::string& packed, std::size_t size) {
    std::string body(size + 1, '\0');
    z_stream z{};
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = uInt(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(body.data());
    z.avail_out = uInt(body.size());
    bool whole = inflateInit2(&z, 15 + 16) == Z_OK && inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0;
    body.resize(z.total_out);
    inflateEnd(&z);
    return whole ? body : "not one whole gzip stream";
}

TEST(Squeeze, Gzip) {
    squeezecheck(codegzip, ungzip);
}

}  // namespace
