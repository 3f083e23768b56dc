#include <algorithm>

#include "output/squeeze.h"
#include "output/squeezers.h"

struct squeeze {
    const squeezer* how;
    void* state;
    bool done;  // the last piece is in, or a feed failed: a library could go on with a second stream
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

}  // namespace

unsigned squeezable() {
    unsigned set = 0;
    for (coding c : {codegzip, codezstd, codebr})
        if (squeezerof(c)) set |= 1u << c;
    return set;
}

squeeze* squeezemake(coding c) {
    const squeezer* how = squeezerof(c);
    void* state = how ? how->make() : nullptr;
    return state ? new squeeze{how, state, false} : nullptr;
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

void squeezefree(squeeze* z) {
    if (!z) return;
    z->how->free(z->state);
    delete z;
}
