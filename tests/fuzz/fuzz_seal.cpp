// A connection's TLS driven by whatever a client sends: garbage in place of a
// ClientHello, a handshake cut short, records of any shape. Each call must
// give only what a socket call gives, and the connection must end cleanly.
//
// Input: byte 0 gives the number of pieces (1..16); the next bytes give the
// length of each piece but the last (one byte each, times 16), the rest is
// what the client sends. The client's end closes after the last piece.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "core/world.h"
#include "must.h"
#include "tls/certs.h"
#include "tls/seal.h"

namespace {

// A self-signed P-256 pair for the site a, written once into a folder of its own.
bool pairmake() {
    char dir[] = "/tmp/tavi-fuzz-XXXXXX";
    if (!mkdtemp(dir)) return false;
    std::string site = std::string(dir) + "/a";
    mkdir(site.c_str(), 0700);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("a"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    FILE* out = fopen((site + "/fullchain.pem").c_str(), "w");
    PEM_write_X509(out, cert);
    fclose(out);
    out = fopen((site + "/privkey.pem").c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
    return certsload(dir);
}

// Takes what the TLS side has for the server now, as the loop would on a
// ready socket; false once the connection is over.
bool serverturn(SSL* t) {
    char data[4096];
    for (int k = 0; k < 8; ++k) {
        bool write = false;
        int hand = sealhand(t, &write);
        MUST(hand >= -1 && hand <= 1);
        if (hand < 0) return false;
        if (hand == 0) return true;
        bool more = false;
        long n = sealrecv(t, data, sizeof data, &write, &more);
        MUST(n == -1 || n == 0 || n == sockagain || (n > 0 && n <= long(sizeof data)));
        MUST(!more || n > 0);
        if (n == -1 || n == 0) return false;
        if (n == sockagain) return true;
        // A whole record is answered, as a request would be.
        long r = sealsend(t, "HTTP/1.1 200 OK\r\n\r\n", 19);
        MUST(r == -1 || r == sockagain || r == 19);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = (web() = true, pairmake());
    MUST(ready);
    if (size == 0) return 0;
    std::size_t pieces = std::size_t(data[0] % 16) + 1;
    if (size < pieces) return 0;
    int ends[2];
    MUST(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    SSL* t = sealmake(SOCKET(ends[0]));
    MUST(t);
    std::size_t at = pieces;
    bool live = true;
    for (std::size_t p = 0; p < pieces && live; ++p) {
        std::size_t left = size - at;
        std::size_t n = p + 1 < pieces ? std::min(std::size_t(data[1 + p]) * 16, left) : left;
        if (n > 0 && write(ends[1], data + at, n) < 0) break;
        at += n;
        live = serverturn(t);
        // What the server sent is taken off, as a client would.
        char drop[65536];
        while (read(ends[1], drop, sizeof drop) > 0) {
        }
    }
    shutdown(ends[1], SHUT_WR);
    if (live) serverturn(t);
    sealshut(t);
    sealfree(t);
    close(ends[0]);
    close(ends[1]);
    return 0;
}
