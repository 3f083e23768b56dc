// A build without brotli's encoder: no br, and answers go out in the other codings.
#include "output/squeezers.h"

const squeezer* squeezerbr() {
    return nullptr;
}
