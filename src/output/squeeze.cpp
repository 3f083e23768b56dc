#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "output/squeeze.h"
#include "output/squeezers.h"

struct squeeze {
    const squeezer* how;
    void* state;
    bool done;  // the last piece is in, or a feed failed: a library could go on with a second stream
    squeezecount count;
};

namespace {

const squeezer* squeezerof(coding c) {
    switch (c) {
    case codegzip: return squeezergzip();
    case codezstd: return squeezerzstd();
    case codebr: return squeezerbr();
    default: return nullptr;
    }
}

// A block's size is kept in front of it: brotli's and zstd's free is given
// the block alone.
const std::size_t grabhead = alignof(std::max_align_t);

// The log2 of size rounded up, within lo and hi.
int sizebits(std::int64_t size, int lo, int hi) {
    int bits = lo;
    while (bits < hi && std::int64_t(1) << bits < size) ++bits;
    return bits;
}

}  // namespace

void* squeezegrab(void* count, std::size_t n) {
    char* block = static_cast<char*>(std::malloc(n + grabhead));
    if (!block) return nullptr;
    std::memcpy(block, &n, sizeof n);
    squeezecount& k = *static_cast<squeezecount*>(count);
    k.now += std::int64_t(n);
    k.most = std::max(k.most, k.now);
    return block + grabhead;
}

void squeezedrop(void* count, void* block) {
    if (!block) return;
    char* start = static_cast<char*>(block) - grabhead;
    std::size_t n;
    std::memcpy(&n, start, sizeof n);
    static_cast<squeezecount*>(count)->now -= std::int64_t(n);
    std::free(start);
}

unsigned squeezable() {
    unsigned set = 0;
    for (coding c : {codegzip, codezstd, codebr})
        if (squeezerof(c)) set |= 1u << c;
    return set;
}

squeezefit squeezesize(coding c, std::int64_t size) {
    // The most of each library as measured on text and on noise, with room to spare.
    squeezefit fit;
    switch (c) {
    case codegzip:
        // zlib's own reckoning: the window twice over, its hash and
        // pending buffers by the memory level, and its state.
        fit.window = sizebits(size, 9, 15);
        fit.level = std::clamp(fit.window - 7, 1, 8);
        fit.most = (std::int64_t(1) << (fit.window + 2)) + (std::int64_t(1) << (fit.level + 9)) + 8192;
        break;
    case codezstd:
        // Level 3 takes a 2 MiB window at most, whatever the body.
        fit.window = sizebits(size, 10, 21);
        fit.most = (std::int64_t(3) << (fit.window - 1)) + (3 << 19);
        break;
    case codebr:
        // Quality 5 packs text tighter than gzip's level 6, in less time;
        // 4 takes 60% of that time, but 9% more bytes and MiB more memory.
        fit.window = sizebits(size, 10, 22);
        fit.level = 5;
        // The ring buffer and what it is copied through, the hash tables,
        // and the commands of a metablock, which ends every 256 KiB.
        fit.most = (std::int64_t(2) << fit.window) + 12 * std::min<std::int64_t>(size, 320 << 10) + (3 << 19);
        break;
    default: break;
    }
    return fit;
}

squeeze* squeezemake(coding c, std::int64_t size) {
    const squeezer* how = squeezerof(c);
    if (!how) return nullptr;
    squeeze* z = new squeeze{how, nullptr, false, {}};
    z->state = how->make(squeezesize(c, size), size, &z->count);
    if (z->state) return z;
    delete z;
    return nullptr;
}

bool squeezefeed(squeeze* z, const char* data, std::size_t n, bool last, std::string* out) {
    if (z->done) return false;
    // Once, though n be 0: the last piece may be empty.
    do {
        std::size_t piece = std::min(n, squeezepiece);
        z->done = last && piece == n;
        if (!z->how->feed(z->state, data, piece, z->done, out)) {
            // The stream is broken: what more came out of it would be no body.
            z->done = true;
            return false;
        }
        data += piece;
        n -= piece;
    } while (n > 0);
    return true;
}

std::int64_t squeezeheld(const squeeze* z) {
    return z->count.most;
}

void squeezefree(squeeze* z) {
    if (!z) return;
    z->how->free(z->state);
    delete z;
}
