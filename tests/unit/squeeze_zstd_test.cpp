// zstd read back by zstd's decoder.
#include <zstd.h>

#include "squeezed.h"

namespace {

std::string unzstd(const std::string& packed, std::size_t size) {
    std::string body(size + 1, '\0');
    std::size_t got = ZSTD_decompress(body.data(), body.size(), packed.data(), packed.size());
    if (ZSTD_isError(got)) return "not whole zstd frames";
    body.resize(got);
    return body;
}

TEST(Squeeze, Zstd) {
    squeezecheck(codezstd, unzstd);
}

}  // namespace
