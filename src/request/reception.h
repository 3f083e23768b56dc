// The receive step: bytes from the client become the request line and the
// host line of its connection record; in --web mode also the fields the
// answer depends on, read to the blank line that ends the header block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/conn.h"

// What the bytes fed to a record came to.
enum feed {
    feedmore,     // all taken; the record waits for more
    feedbadbyte,  // a byte outside LF, CR and 32..126: hang up
    feedbadline,  // an empty first line, a malformed or overlong line or block: hang up
    feedbadpart,  // a malformed request line: end quietly
    feedanswer,   // the header ended without a host line: the 400 is set
    feedhost,     // the host line is stored (--web: the block has ended, or the
                  // record's code refuses the request): dispatch
};

// The longest line, its "\r\n" included: a client cannot make a record grow
// without bound.
const std::size_t linemost = 8192;

// Feeds n received bytes to a receiving record, up to the byte that decides
// something; the bytes behind that one are not looked at.
feed clntfeed(conn& c, const char* data, std::size_t n);
// The same in --web mode, where every request is answered: the request line
// and field lines are read to the blank line that ends the block (ended by
// CR LF or a bare LF), or to the line that decides a refusal. took is set to
// the bytes used; those behind them are the next request's.
feed webfeed(conn& c, const char* data, std::size_t n, std::size_t* took);
// The bytes hold a whole header block as webfeed reads it: past any blank
// lines, a line and later a blank one. Fed to a record, they are answered.
bool restwhole(const std::string& rest);
// The loop's handler for a readable connection.
void clntread(std::uint64_t i);
// --web: a kept connection takes its next request from the bytes already
// received behind the last one, and is answered if that request is whole.
void clntrest(std::uint64_t i);
