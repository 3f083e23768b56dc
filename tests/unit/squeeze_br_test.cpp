#include <brotli/decode.h>

#include "squeezed.h"

namespace {

std::string unbr(const std::string& packed, std::size_t size) {
    std::string body(size + 1, '\0');
    std::size_t got = body.size();
    bool whole = BrotliDecoderDecompress(packed.size(), reinterpret_cast<const std::uint8_t*>(packed.data()), &got,
                                         reinterpret_cast<std::uint8_t*>(body.data())) == BROTLI_DECODER_RESULT_SUCCESS;
    body.resize(got);
    return whole ? body : "not one whole brotli stream";
}

TEST(Squeeze, Br) {
    squeezecheck(codebr, unbr);
}

}  // namespace
