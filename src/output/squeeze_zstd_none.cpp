// A build without zstd: no zstd, and answers go out in the other codings.
#include "output/squeezers.h"

const squeezer* squeezerzstd() {
    return nullptr;
}
