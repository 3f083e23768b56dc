// Output chunks: a text of any length a chunk can take, made into a chunk,
// measured and shortened in steps, must keep its data, its count and NUL
// filler at every count.
//
// Input: byte 0 the length of the text (0..255, cut to what is there), then the
// text, then up to 32 drop counts, one byte each, taken modulo what is left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "must.h"
#include "output/chunks.h"

namespace {

// A chunk holding data, with NUL filler and the count in its last byte.
void checkchunk(const std::string& u, const std::string& data) {
    MUST(u.size() == 256);
    MUST(boutsane(u) && quipsane(u));
    MUST(data.size() <= 255);
    MUST(boutsize(u) == data.size());
    MUST(quipsize(u) == data.size());
    MUST(quipsome(u) == !data.empty());
    MUST(u.compare(0, data.size(), data) == 0);
    MUST(u.find_first_not_of('\0', data.size()) == 255 || (data.empty() && u == std::string(256, '\0')));
    MUST(static_cast<unsigned char>(u[255]) == data.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t s = std::min<std::size_t>(data[0], size - 1);
    std::string text(reinterpret_cast<const char*>(data) + 1, s);
    const std::uint8_t* drops = data + 1 + s;
    // Past a few steps the chunk is empty and every drop is 0: no more to learn.
    std::size_t ndrops = std::min<std::size_t>(size - 1 - s, 32);

    std::string u = boutmake(text);
    checkchunk(u, text);
    MUST(boutdrop(u, 0) == u);
    MUST(boutdrop(u, std::int64_t(s)) == boutnone());
    MUST(boutnone() == quipnone() && boutnone() == std::string(256, '\0'));

    // Sent in steps: after each, the chunk holds the rest; one drop of the
    // whole sum comes to the same chunk.
    std::string step = u;
    std::size_t gone = 0;
    for (std::size_t k = 0; k < ndrops; ++k) {
        std::size_t d = drops[k] % (s - gone + 1);
        step = boutdrop(step, std::int64_t(d));
        gone += d;
        checkchunk(step, text.substr(gone));
        MUST(boutdrop(u, std::int64_t(gone)) == step);
    }

    // A chunk whose filler holds other bytes: a drop leaves NUL behind the data.
    std::string dirty = u;
    for (std::size_t k = s; k < 255; ++k) dirty[k] = char(0xA5 ^ k);
    std::size_t d = ndrops > 0 ? drops[0] % (s + 1) : s / 2;
    checkchunk(boutdrop(dirty, std::int64_t(d)), text.substr(d));

    // The counts the chunk sizes are built from.
    std::uint64_t n = 1;
    for (std::size_t k = 0; k < s && k < 8; ++k) n = n << 8 | std::uint8_t(text[k]);
    if (n == 0) n = 1;
    int b = lg2floor(n);
    MUST(b >= 0 && b < 64);
    MUST((std::uint64_t(1) << b) <= n && (b == 63 || (std::uint64_t(1) << (b + 1)) > n));
    if (n >= 2) {
        std::uint64_t p = powbelow(n);
        MUST(p < n && (p & (p - 1)) == 0 && p >= n - p);
    }
    std::string z = nuls(s + d);
    MUST(z == std::string(s + d, '\0'));
    MUST(cstrchar(static_cast<unsigned char>(s)) == std::string(1, char(s)));
    return 0;
}
