// The connection record, the table of connections and the ways an entry ends.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/net.h"
#include "platform/wait.h"
#include "request/asks.h"
#include "tls/seal.h"

struct duo;

struct conn {
    SOCKET desc = 0;        // client socket; 0 marks a dead entry
    std::string rqst;       // the request line, once received
    std::string buff;       // line being assembled, then the pending output
    std::string head;       // the host line, then the response header to send
    // --web: the method and the fields that shape the answer, while there is
    // a request: a connection held between requests does not pay for them.
    std::unique_ptr<asks> want;
    filehand fptr = filenone; // the file being sent
    // --web: or the kept bytes, shared: a crowd asking for one large
    // compressed file holds it once, not once a connection.
    std::shared_ptr<const std::string> kept;
    std::int64_t mode = 0;  // 0 header and file, 1 last chunk, 2 whole text
    std::uint64_t till = 0; // clock time by which the client must get on
    std::int64_t left = 0;  // bytes still to go: of the file or kept bytes (mode 0), of the text (mode 2)
    std::int64_t offs = 0;  // where in the file or kept bytes the body goes on
    std::uint32_t four = 0; // the client's IPv4 address as accepted; 0 if not IPv4
    std::array<std::uint8_t, 16> six{}; // an IPv6 client's address; all 0 for IPv4
    std::uint64_t last = 0; // clock time of the last byte received
    std::uint64_t ling = 0; // clock time the lingering close began; 0 before
    const char* shut = nullptr; // the tag of the close that ends the lingering
    bool keep = false;      // --web: the connection stays open for the next request
    std::int64_t reqs = 0;  // --web: requests answered on this connection
    std::string rest;       // --web: bytes received behind the request: the next one's
    bool veil = false;      // --proxy-protocol: its PROXY header is not whole yet, what came of it in rest
    SSL* tls = nullptr;     // --web --certs: the connection's TLS, on the HTTPS port
    bool seal = false;      // on the HTTPS port: its TLS is made once the client's first bytes come
    bool hold = false;      // the TLS must write before it can go on reading
    bool more = false;      // the TLS holds bytes received that the socket will not announce
    // --web: the connection speaks HTTP/2, its session and streams held here;
    // freed by the function its maker gave.
    std::unique_ptr<duo, void (*)(duo*)> two{nullptr, nullptr};
    bool pend = false;      // HTTP/2: frames wait to be sent
    std::int32_t busy = 0;  // HTTP/2: streams open
};

// How long a client may take to deliver its request, and to take each byte of
// its response: without a bound, idle clients hold every slot for ever.
const std::uint64_t clntpatience = 20000;
// A client whose answer is out may still be sending its request's body; it
// is read and dropped until the client closes, so that closing does not
// reset the connection and take the unread answer with it. Five seconds
// without a byte cover a client that paused on a slow link, and thirty in
// all let some megabytes of an upload drain over a modest one; a client that
// sends for longer is not finishing a request but holding a slot.
const std::uint64_t lingeridle = 5000;
const std::uint64_t lingermost = 30000;
// A kept connection carries at most this many requests, as a peer's default
// does: a client cannot hold one connection for ever by asking again.
const std::int64_t reqsmost = 1000;

// Entries stay where they are as the table grows: a large table is never
// copied to a larger place, nor held twice while it is.
std::deque<conn>& clnts();
conn& clntconn(std::uint64_t i);
// The entry's socket; the entry must be live.
int clntdesc(std::uint64_t i);
// The entry has output pending: it is watched for writing, not reading.
bool clntsending(const conn& c);
// The entry's answer is out and its sending side shut: it is read and dropped.
bool clntlingering(const conn& c);
// What the entry's socket waits for, from the state of its record.
waitfor clntwaits(const conn& c);
// A kept connection between requests: its answer is out and nothing of the
// next request has come.
bool clntidle(const conn& c);
// The receive buffer shared by all connections: 32768 bytes.
char* rbuf();
const int rbufsize = 0x8000;

// The orderly end: close the socket (fatal, with tag, if that fails), wipe.
void hangup(std::uint64_t i, const char* tag);
// Replace the entry by a fresh record; closes nothing.
void wipe(std::uint64_t i);
// The quiet end of a connection gone wrong: close its file and socket,
// whatever the result, then wipe.
void scrap(std::uint64_t i);
// The end of a connection whose answer is out: its sending side shuts and
// the entry lingers; tag is the hangup's, for when the socket closes.
void linger(std::uint64_t i, const char* tag);
// The answer of a kept connection is out: the record is made ready for the
// next request, with the client's address, its count and the bytes already
// received kept. The client has its patience again to send it.
void clntnext(std::uint64_t i);
// Closes the socket of an entry whose client has nothing more to send
// (fatal, with tag, if that fails), wipes.
void shutnow(std::uint64_t i, const char* tag);
// Reads and drops what a lingering client sends; ends the entry once the
// client has closed or failed.
void lingerread(std::uint64_t i);
// Closes a lingering entry's socket (fatal, with its tag, if that fails), wipes.
void lingerend(std::uint64_t i);
