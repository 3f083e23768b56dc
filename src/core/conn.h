// The connection record, the table of connections and the ways an entry ends.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"

struct conn {
    SOCKET desc = 0;        // client socket; 0 marks a dead entry
    std::string rqst;       // the request line, once received
    std::string buff;       // line being assembled, then the pending output
    std::string head;       // the host line, then the response header to send
    filehand fptr = filenone; // the file being sent
    std::int64_t mode = 0;  // 0 header and file, 1 last chunk, 2 whole text
    std::uint64_t till = 0; // clock time by which the client must get on
    std::int64_t left = 0;  // bytes still to go: of the file (mode 0), of the text (mode 2)
    std::int64_t offs = 0;  // where in the file the body goes on
    std::uint32_t four = 0; // the client's IPv4 address as accepted; 0 if not IPv4
};

// How long a client may take to deliver its request, and to take each byte of
// its response: without a bound, idle clients hold every slot for ever.
const std::uint64_t clntpatience = 20000;

std::vector<conn>& clnts();
conn& clntconn(std::uint64_t i);
// The entry's socket; the entry must be live.
int clntdesc(std::uint64_t i);
// The entry has output pending: it is watched for writing, not reading.
bool clntsending(const conn& c);
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
