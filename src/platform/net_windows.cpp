// The socket layer on Windows: Winsock 2 itself, with the few calls whose
// Winsock form differs from what the server is written against.
#include <cstdio>

#include <io.h>

#include "platform/net.h"

int sockbind(SOCKET s, const sockaddr* addr, int size) {
    // No SO_REUSEADDR: on Windows a bind already takes a port over from
    // connections in TIME_WAIT, and the option would let another program
    // bind the same port while the server holds it.
    return bind(s, addr, size);
}

SOCKET sockaccept(SOCKET s, sockaddr* addr, int* size) {
    SOCKET clnt = accept(s, addr, size);
    u_long none = 1;
    if (clnt != INVALID_SOCKET) ioctlsocket(clnt, FIONBIO, &none);
    return clnt;
}

namespace {

long sockdone(int rslt) {
    if (rslt != SOCKET_ERROR) return rslt;
    return WSAGetLastError() == WSAEWOULDBLOCK ? sockagain : -1;
}

}  // namespace

long sockrecv(SOCKET s, char* data, std::size_t n) {
    return sockdone(recv(s, data, int(n), 0));
}

long sockpeek(SOCKET s, char* data, std::size_t n) {
    return sockdone(recv(s, data, int(n), MSG_PEEK));
}

long socksend(SOCKET s, const char* data, std::size_t n, bool) {
    return sockdone(send(s, data, int(n), 0));
}

long sockfile(SOCKET s, filehand file, std::int64_t offs, std::int64_t n) {
    // TransmitFile waits for the whole transfer on a socket that is not
    // overlapped: the file goes through one buffer shared by all clients, in
    // pieces the size of a large send. What the socket does not take is read
    // again from the file next time, at the offset it starts from.
    static char piece[65536];
    DWORD want = n < std::int64_t(sizeof piece) ? DWORD(n) : DWORD(sizeof piece);
    OVERLAPPED at = {};
    at.Offset = DWORD(offs);
    at.OffsetHigh = DWORD(offs >> 32);
    DWORD got = 0;
    if (!ReadFile(HANDLE(_get_osfhandle(file)), piece, want, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    if (got == 0) return 0;
    return sockdone(send(s, piece, int(got), 0));
}

int socklisten(SOCKET s) {
    u_long none = 1;
    return ioctlsocket(s, FIONBIO, &none);
}

void socknodelay(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void sockdual(SOCKET s, bool only) {
    DWORD flag = only;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&flag), sizeof flag);
}

bool sockabsent() {
    int code = WSAGetLastError();
    return code == WSAEAFNOSUPPORT || code == WSAEADDRNOTAVAIL || code == WSAEPROTONOSUPPORT;
}

std::uint64_t sockroom() {
    // Sockets are not the runtime's descriptors and have no bound of their
    // own; the files are, and the runtime holds at most 2048 of them.
    return 2048 - 64;
}

bool sockempty() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool sockshort() {
    int code = WSAGetLastError();
    return code == WSAEMFILE || code == WSAENOBUFS;
}

bool sockpassing() {
    switch (WSAGetLastError()) {
    // The client gave up before it was taken (a reset one shows as not
    // connected), or the system is short of handles or buffers for a while:
    // the next connection may well succeed.
    case WSAECONNRESET: case WSAECONNABORTED: case WSAENOTCONN: case WSAENETRESET:
    case WSAEHOSTDOWN: case WSAEINTR: case WSAEINPROGRESS:
    case WSAEWOULDBLOCK: case WSAEMFILE: case WSAENOBUFS: case WSAENETDOWN:
    case WSAENETUNREACH: case WSAEHOSTUNREACH: case WSAETIMEDOUT:
        return true;
    default:
        return false;
    }
}

void sockerror(const char* tag) {
    int code = WSAGetLastError();
    char text[512];
    DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                DWORD(code), 0, text, sizeof text, nullptr);
    // The system's texts end in a line break, which perror's format adds itself.
    while (size > 0 && (text[size - 1] == '\r' || text[size - 1] == '\n' || text[size - 1] == ' ')) --size;
    if (size == 0)
        fprintf(stderr, "%s: Winsock error %d\n", tag, code);
    else
        fprintf(stderr, "%s: %.*s\n", tag, int(size), text);
}

void sockhalf(SOCKET s) {
    shutdown(s, SD_SEND);
}

void setzero(sockset* set) {
    FD_ZERO(set);
}

void setadd(sockset* set, SOCKET s) {
    FD_SET(s, set);
}

unsigned setsize(const sockset* set) {
    return set->fd_count;
}

bool setholds(const sockset* set, SOCKET s) {
    // The system's FD_ISSET takes a set it may write to; it only reads it.
    return __WSAFDIsSet(s, const_cast<sockset*>(set)) != 0;
}

int readywait(int nfds, sockset* rset, sockset* wset, sockset* eset, long wait) {
    timeval span = {wait / 1000, (wait % 1000) * 1000};
    return select(nfds, rset, wset, eset, wait < 0 ? nullptr : &span);
}
