// tavi.exe has no TLS: --certs ends it at start with a word on why.
#include <cstdio>
#include <cstdlib>

#include "tls/certs.h"

bool certsload(const std::string&) {
    fprintf(stderr, "This build of tavi has no HTTPS: --certs cannot be used.\n");
    exit(-1);
}

void certsalpn(bool) {}

SSL_CTX* certsbase() {
    return nullptr;
}

std::string certspick(std::string) {
    return "";
}

void certscheck(std::uint64_t) {}

void certsnudge() {}
