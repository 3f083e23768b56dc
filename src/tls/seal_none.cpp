// tavi.exe has no TLS: --certs is refused before any connection could need it.
#include "tls/certs.h"
#include "tls/seal.h"

SSL* sealmake(SOCKET) {
    return nullptr;
}

int sealhand(SSL*, bool*) {
    return -1;
}

long sealrecv(SSL*, char*, std::size_t, bool*, bool*) {
    return -1;
}

long sealsend(SSL*, const char*, std::size_t) {
    return -1;
}

void sealshut(SSL*) {}

bool sealtwo(SSL*) {
    return false;
}

void sealfree(SSL*) {}
