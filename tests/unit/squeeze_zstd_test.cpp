#include <zstd.h>

#include "squeezed.h"

namespace {

std::string unzstd(const std::string& packed, std::size_t size) {
    std::string body(size + 1, '\0');
    std::size_t got = ZSTD_decompress(body.data(), body.size(), packed.data(), packed.size());
    body.resize(ZSTD_isError(got) ? 0 : got);
    return ZSTD_isError(got) ? "not whole zstd frames" : body;
}

TEST(Squeeze, Zstd) {
    squeezecheck(codezstd, unzstd);
}

}  // namespace
