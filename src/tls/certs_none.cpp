// The Windows build has no OpenSSL: its store never holds a usable pair.
#include "tls/certs.h"

bool certsload(const std::string&) {
    return false;
}

SSL_CTX* certsbase() {
    return nullptr;
}

std::string certspick(std::string) {
    return "";
}

void certscheck(std::uint64_t) {}

void certsnudge() {}
