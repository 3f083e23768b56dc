// Sockets as the server sees them: the Winsock names it is written against,
// supplied here for the system the build targets. Where a Winsock call has a
// POSIX twin with the same name and compatible arguments (socket, bind,
// listen, recv, send, getaddrinfo, gai_strerror) the server calls it as it is.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/files.h"

const int FD_SETSIZE_WIN = 64;

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// WSAStartup, closesocket and GetTickCount64 are the system's own here.
static_assert(FD_SETSIZE == FD_SETSIZE_WIN, "fd_set must hold 64 handles");
// The real fd_set: FD_SET already adds a handle only when absent and the set
// has room, and select reads and rewrites it in place.
typedef fd_set sockset;
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
struct WSADATA {
    unsigned short wVersion;
};
typedef std::uint64_t SOCKET;

// Windows fd_set: a count and up to 64 handles, kept in the order added.
struct sockset {
    unsigned count;
    SOCKET list[FD_SETSIZE_WIN];
};

// Starts the socket library at the version asked (0x0202); 0 on success. On
// POSIX it also makes a send to a vanished peer fail instead of raising SIGPIPE.
int WSAStartup(unsigned short vers, WSADATA* data);
int closesocket(SOCKET s);
// Milliseconds on a clock that never goes back.
std::uint64_t GetTickCount64();
#endif

// bind(), on a socket that may take the port over from connections of an
// earlier run still in TIME_WAIT, as a Windows bind does.
int sockbind(SOCKET s, const sockaddr* addr, int size);
// accept() with the Winsock length type. The new socket never blocks: the
// one thread must not wait on any single client.
SOCKET sockaccept(SOCKET s, sockaddr* addr, int* size);
// What a call on a socket that never blocks gives when it would have to wait.
const long sockagain = -2;
// recv(): bytes received, 0 when the peer has closed, -1 on failure, or
// sockagain when nothing is there after all.
long sockrecv(SOCKET s, char* data, std::size_t n);
// As sockrecv, but the bytes stay: the next receive gets them again.
long sockpeek(SOCKET s, char* data, std::size_t n);
// send(): bytes the socket took, -1 on failure, or sockagain when it takes
// none now. more: the caller sends again at once (a header before its body),
// so the system may hold the bytes back to fill one segment with both.
long socksend(SOCKET s, const char* data, std::size_t n, bool more);
// Up to n bytes of the file from offset offs, straight to the socket: the
// bytes the socket took, 0 when the file holds nothing at offs any more,
// -1 on failure, or sockagain.
long sockfile(SOCKET s, filehand file, std::int64_t offs, std::int64_t n);
// The listening socket never blocks: the loop takes every waiting connection
// until accept finds none. 0 on success.
int socklisten(SOCKET s);
// Each send leaves at once, without waiting for the acknowledgement of the
// last: answers to pipelined requests are not held back behind one another.
void socknodelay(SOCKET s);
// An IPv6 socket takes IPv4 connections too (as mapped addresses), unless only.
void sockdual(SOCKET s, bool only);
// The last socket or bind failed because the system has no such address or
// family (no IPv6, say): another address may serve instead.
bool sockabsent();
// The backlog of a listening socket in --web: 511, or less where the system
// takes less.
const int socklogmost = SOMAXCONN < 511 ? SOMAXCONN : 511;
// Raises the process's descriptor limit as far as it goes and returns how
// many connections that leaves room for, each with a socket and a file open,
// with a reserve for the standard streams, the listening sockets and the wait.
std::uint64_t sockroom();
// The last accept failed only because no connection was waiting.
bool sockempty();
// The last accept failure concerns one connection or passes with time.
bool sockpassing();
// The last accept failed for want of descriptors, buffers or memory: the
// waiting connection stays, and trying again at once fails again.
bool sockshort();
// perror for the failure of the last socket call: the tag, ": ", the cause.
// Winsock does not set errno, so there the cause is the system's text for
// the Winsock error code, or "Winsock error N" where the system has none.
void sockerror(const char* tag);
// Stops the sending side only: the client sees the end of the answer and may
// go on sending.
void sockhalf(SOCKET s);

// FD_ZERO, FD_SET and FD_ISSET with the Windows semantics: a handle is added
// only when absent and the set has room; the surplus is dropped without a word.
void setzero(sockset* set);
void setadd(sockset* set, SOCKET s);
bool setholds(const sockset* set, SOCKET s);
// How many handles the set holds.
unsigned setsize(const sockset* set);
// select(): waits until a watched socket is ready or wait milliseconds pass
// (-1: no limit). A socket with an error or a hang-up counts as ready in the
// read or write set it is watched in. Each set is left holding its ready
// handles; the result is their total count, 0 on time-out, -1 on failure.
int readywait(int nfds, sockset* rset, sockset* wset, sockset* eset, long wait);
