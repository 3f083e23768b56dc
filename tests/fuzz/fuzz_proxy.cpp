// The PROXY header read from bytes that may stop anywhere: the bytes of a
// whole header give the same answer alone and with anything behind them,
// each of their prefixes is a header still coming, and a start found bad
// stays bad whatever follows.
#include <cstddef>
#include <cstdint>
#include <string>

#include "must.h"
#include "request/proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string have(reinterpret_cast<const char*>(data), size);
    proxied p = proxyread(have);
    for (std::size_t k = 0; k < size; ++k) {
        veil cut = proxyread(have.substr(0, k)).fate;
        MUST(cut != veilbad || p.fate == veilbad);
        MUST(cut == veilmore || p.fate == veilbad || k >= p.took);
    }
    if (p.fate == veilmore || p.fate == veilbad) return 0;
    MUST(p.took > 0 && p.took <= size && (have[0] == 'P' ? p.took <= veilline : p.took >= 16));
    proxied q = proxyread(have.substr(0, p.took));
    MUST(q.fate == p.fate && q.took == p.took && q.four == p.four && q.six == p.six);
    MUST(p.fate != veilfour || p.six == decltype(p.six){});
    return 0;
}
