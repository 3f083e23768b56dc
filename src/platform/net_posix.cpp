// The socket layer on POSIX: Winsock behaviour over BSD sockets and poll().
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "platform/net.h"

int WSAStartup(unsigned short vers, WSADATA* data) {
    data->wVersion = vers;
    // A peer that vanished makes send fail with -1, as on Windows.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

int sockbind(SOCKET s, const sockaddr* addr, int size) {
    int one = 1;
    setsockopt(int(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return bind(int(s), addr, socklen_t(size));
}

SOCKET sockaccept(SOCKET s, sockaddr* addr, int* size) {
    socklen_t lent = socklen_t(*size);
    int clnt = accept4(int(s), addr, &lent, SOCK_NONBLOCK | SOCK_CLOEXEC);
    *size = int(lent);
    return SOCKET(std::int64_t(clnt));
}

namespace {

long sockdone(long rslt) {
    if (rslt >= 0) return rslt;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? sockagain : -1;
}

}  // namespace

long sockrecv(SOCKET s, char* data, std::size_t n) {
    return sockdone(long(recv(int(s), data, n, 0)));
}

long sockpeek(SOCKET s, char* data, std::size_t n) {
    return sockdone(long(recv(int(s), data, n, MSG_PEEK)));
}

long socksend(SOCKET s, const char* data, std::size_t n, bool more) {
    return sockdone(long(send(int(s), data, n, MSG_NOSIGNAL | (more ? MSG_MORE : 0))));
}

long sockfile(SOCKET s, filehand file, std::int64_t offs, std::int64_t n) {
    off_t from = off_t(offs);
    // One call moves at most this much on Linux whatever it is asked.
    std::size_t most = n < 0x7ffff000 ? std::size_t(n) : 0x7ffff000;
    return sockdone(long(sendfile(int(s), file, &from, most)));
}

int closesocket(SOCKET s) {
    return close(int(s));
}

int socklisten(SOCKET s) {
    int flags = fcntl(int(s), F_GETFL);
    return flags == -1 ? -1 : fcntl(int(s), F_SETFL, flags | O_NONBLOCK);
}

void socknodelay(SOCKET s) {
    int one = 1;
    setsockopt(int(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void sockdual(SOCKET s, bool only) {
    int flag = only;
    setsockopt(int(s), IPPROTO_IPV6, IPV6_V6ONLY, &flag, sizeof flag);
}

bool sockabsent() {
    return errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL || errno == EPROTONOSUPPORT;
}

std::uint64_t sockroom() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    lim.rlim_cur = lim.rlim_max;
    // Some systems refuse an unlimited soft limit: the kernel's own bound holds then.
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) getrlimit(RLIMIT_NOFILE, &lim);
    std::uint64_t most = lim.rlim_cur == RLIM_INFINITY ? 1 << 20 : std::uint64_t(lim.rlim_cur);
    return most > 64 ? (most - 64) / 2 : 0;
}

bool sockempty() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool sockshort() {
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}

bool sockpassing() {
    switch (errno) {
    case ECONNABORTED: case EPROTO: case EINTR: case EPERM: case EAGAIN:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    // Linux hands pending network errors of the new connection to accept.
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

void sockerror(const char* tag) {
    perror(tag);
}

void sockhalf(SOCKET s) {
    shutdown(int(s), SHUT_WR);
}

void setzero(sockset* set) {
    set->count = 0;
}

void setadd(sockset* set, SOCKET s) {
    if (setholds(set, s) || set->count >= FD_SETSIZE_WIN) return;
    set->list[set->count++] = s;
}

unsigned setsize(const sockset* set) {
    return set->count;
}

bool setholds(const sockset* set, SOCKET s) {
    for (unsigned k = 0; k < set->count; ++k)
        if (set->list[k] == s) return true;
    return false;
}

namespace {

// Keeps in the set the handles whose poll result carries one of the bits.
int setkeep(sockset* set, const pollfd* fds, int nfds, short bits) {
    unsigned kept = 0;
    for (unsigned k = 0; k < set->count; ++k)
        for (int f = 0; f < nfds; ++f)
            if (fds[f].fd == int(set->list[k])) {
                if (fds[f].revents & bits) set->list[kept++] = set->list[k];
                break;
            }
    set->count = kept;
    return int(kept);
}

// Adds the events of one set to the poll list, one entry per handle.
void setwatch(const sockset* set, pollfd* fds, int* nfds, short bits) {
    for (unsigned k = 0; k < set->count; ++k) {
        int f = 0;
        while (f < *nfds && fds[f].fd != int(set->list[k])) ++f;
        if (f == *nfds) fds[(*nfds)++] = pollfd{int(set->list[k]), 0, 0};
        fds[f].events |= bits;
    }
}

}  // namespace

int readywait(int, sockset* rset, sockset* wset, sockset* eset, long wait) {
    pollfd fds[3 * FD_SETSIZE_WIN];
    int nfds = 0;
    setwatch(rset, fds, &nfds, POLLIN);
    setwatch(wset, fds, &nfds, POLLOUT);
    setwatch(eset, fds, &nfds, POLLPRI);
    int rslt;
    do rslt = poll(fds, nfds_t(nfds), int(wait));
    while (rslt == -1 && errno == EINTR);
    if (rslt <= 0) {
        // Like select, a wait that ends empty leaves every set empty.
        rset->count = wset->count = eset->count = 0;
        return rslt;
    }
    for (int f = 0; f < nfds; ++f)
        if (fds[f].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
    const short gone = POLLERR | POLLHUP;
    return setkeep(rset, fds, nfds, POLLIN | gone) +
           setkeep(wset, fds, nfds, POLLOUT | gone) +
           setkeep(eset, fds, nfds, POLLPRI);
}

std::uint64_t GetTickCount64() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000 + std::uint64_t(now.tv_nsec) / 1000000;
}
