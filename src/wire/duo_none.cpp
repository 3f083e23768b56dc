// A build without libnghttp2 speaks HTTP/1.1 alone: ALPN offers http/1.1,
// and the preface is read as the malformed HTTP/1.1 request it is.
#include "wire/duo.h"

bool duoable() {
    return false;
}

bool duomake(std::uint64_t) {
    return false;
}

void duoread(std::uint64_t, const char*, std::size_t) {}

void duosend(std::uint64_t, std::int64_t*) {}

long duoquiet(std::uint64_t) {
    return -1;
}

void duostop(std::uint64_t) {}

std::string duoframes(std::uint64_t) {
    return "";
}
