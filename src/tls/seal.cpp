#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tls/certs.h"
#include "tls/seal.h"

namespace {

// What an SSL call's result r comes to as a socket call's.
long sealfate(SSL* t, int r, bool* write) {
    if (r > 0) return r;
    int why = SSL_get_error(t, r);
    // Errors of one connection are not the process's: the queue is emptied
    // so that the next call on another connection reads its own.
    if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) ERR_clear_error();
    if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) {
        if (write) *write = why == SSL_ERROR_WANT_WRITE;
        return sockagain;
    }
    if (why == SSL_ERROR_ZERO_RETURN) return 0;
    return -1;
}

}  // namespace

SSL* sealmake(SOCKET s) {
    SSL* t = SSL_new(certsbase());
    if (!t) return nullptr;
    // Records leave whole as the socket takes them; the bytes offered again
    // after a refusal may sit elsewhere in memory once more are appended.
    SSL_set_mode(t, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // One receive takes what the socket has, not a record's header and then
    // its body: the Finished and the request behind it come in one.
    SSL_set_read_ahead(t, 1);
    if (SSL_set_fd(t, int(std::int64_t(s))) != 1) {
        SSL_free(t);
        return nullptr;
    }
    SSL_set_accept_state(t);
    return t;
}

int sealhand(SSL* t, bool* write) {
    *write = false;
    if (SSL_is_init_finished(t)) return 1;
    long r = sealfate(t, SSL_do_handshake(t), write);
    return r > 0 ? 1 : r == sockagain ? 0 : -1;
}

long sealrecv(SSL* t, char* data, std::size_t n, bool* write, bool* more) {
    *write = *more = false;
    if (n > 0x40000000) n = 0x40000000;
    std::size_t got = 0;
    // A read gives one record: those read ahead behind it are taken too, as
    // the socket has no more to say of them. A record only begun needs the
    // socket, which says when the rest comes.
    do {
        long r = sealfate(t, SSL_read(t, data + got, int(n - got)), write);
        if (r <= 0) {
            if (got == 0) return r;
            // The end or the failure behind the bytes is met by the next read.
            *more = r != sockagain;
            return long(got);
        }
        got += std::size_t(r);
    } while (got < n && SSL_has_pending(t));
    *more = got == n && SSL_has_pending(t);
    return long(got);
}

long sealsend(SSL* t, const char* data, std::size_t n) {
    bool write = true;
    long r = sealfate(t, SSL_write(t, data, int(n < 0x40000000 ? n : 0x40000000)), &write);
    // With renegotiation gone, only a broken peer leaves a write waiting to
    // read: waiting to write would find the socket ready again and again.
    return r == sockagain && !write ? -1 : r;
}

void sealshut(SSL* t) {
    if (SSL_is_init_finished(t)) SSL_shutdown(t);
    ERR_clear_error();
}

bool sealtwo(SSL* t) {
    const unsigned char* name = nullptr;
    unsigned size = 0;
    SSL_get0_alpn_selected(t, &name, &size);
    return size == 2 && name[0] == 'h' && name[1] == '2';
}

void sealfree(SSL* t) {
    SSL_free(t);
}
