// The loop's wait: the loop says what each socket waits for, and gets back
// the ones that are ready. Two backends stand behind it: the 64-handle sets
// the default mode is written for, and for --web the system's own wait, told
// only when what a socket waits for changes, whose cost follows the sockets
// that are ready rather than those that are open.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/net.h"

// What a socket waits for. In the sets a request's reader comes before a
// lingering close, which gives way when places are short; the listening
// sockets come last.
enum waitfor : std::uint8_t { waitnone, waitread, waitwrite, waitdrain, waitlisten };

// The places the sets give to connections that read: one is kept for the
// listening socket, so that a full server still notices a newcomer.
const unsigned waitroom = FD_SETSIZE_WIN - 1;

// A socket found ready, by the token it was registered with.
struct fired {
    std::uint64_t tokn;
    bool read;   // data, a newcomer, the peer's end or an error
    bool write;  // room to send, or an error
    bool fail;   // an exceptional condition (out-of-band data): the sets only
};

struct waiter;
// capped: the 64-handle sets; else the system's scalable wait.
waiter* waitmake(bool capped);
// Socket s, known by tokn, now waits for what instead of was: waitnone as was
// registers it, as what forgets it (its socket may be closed already).
void waitwant(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was, waitfor what);
// Socket s, known by tokn and waiting for was, has been closed: it is
// forgotten without a word to the system, whose wait dropped it with the close.
void waitgone(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was);
// Waits until a socket is ready or wait milliseconds pass (-1: no limit).
// Fills out with the ready sockets, and left with the tokens that found no
// place in this wait (the sets only). The count fired, 0 on time-out, -1 on
// failure (with the cause for sockerror).
int waitpoll(waiter* w, long wait, std::vector<fired>* out, std::vector<std::uint64_t>* left);
