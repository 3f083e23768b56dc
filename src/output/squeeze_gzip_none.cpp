// A build without zlib: no gzip, and answers go out in the other codings.
#include "output/squeezers.h"

const squeezer* squeezergzip() {
    return nullptr;
}
