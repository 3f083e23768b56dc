// A connection's TLS over its socket: the handshake, records in and out, and
// the close_notify, each call giving what the socket calls it stands in for
// give. The one place that knows the library's states.
#pragma once
#include <cstddef>

#include "platform/net.h"

typedef struct ssl_st SSL;

// A server side TLS on an accepted socket, from the store's base context;
// null when it cannot be made.
SSL* sealmake(SOCKET s);
// Goes on with the handshake: 1 once it is done (at once if it was), 0 while
// it waits for the socket (to write when *write is set, else to read), -1
// when it failed.
int sealhand(SSL* t, bool* write);
// As sockrecv: bytes of the peer's records, 0 once the peer has closed
// (close_notify or the end of the stream), -1 on failure, sockagain when no
// whole record is there (*write: the library must write first). Records are
// read ahead of the one asked for: every one already taken from the socket
// is given while there is room, and *more is set when some were left, or
// something after the bytes given, that the socket will not announce again.
long sealrecv(SSL* t, char* data, std::size_t n, bool* write, bool* more);
// As socksend: bytes taken into records and sent, -1 on failure, sockagain.
// A call after sockagain must offer the same bytes again, more may follow.
long sealsend(SSL* t, const char* data, std::size_t n);
// Sends close_notify, without waiting for the peer's: the lingering close
// then reads what it sends.
void sealshut(SSL* t);
// The handshake is done and ALPN chose h2.
bool sealtwo(SSL* t);
void sealfree(SSL* t);
