// The dispatcher: the response to a request whose host line has arrived.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "output/answer.h"
#include "request/asks.h"

// Who sent a --web request: the client's address for the log line, and
// whether it came over TLS.
struct asker {
    std::uint32_t four = 0;
    std::array<std::uint8_t, 16> six{};
    bool tls = false;
};

// Places the host in the served tree, logs the request and leaves its
// response on the entry.
void clntserv(std::uint64_t i);
// The --web answer to a request, logged (a refusal with its status): keep is
// what its header says of the connection, as webhead's; a refusal's is 0.
answer webanswer(const asks& a, const asker& who, int keep);
// The site folder for a host: the host, or the host less its first labels,
// or "a"; "" when none of them is there. The answers of one turn of the loop
// are kept for the next while the root's entries stay as they were.
std::string sitefind(std::string host);
// Starts a turn: the kept answers are checked against the root once more.
void siteforget();
// The log line's first 64 columns: host and path, or the path alone for the
// fallback site, cut or padded with blanks.
std::string logtodo(std::string host, std::string path);
// The dotted form of an IPv4 address in network order, each octet 3 digits.
std::string logaddr(const unsigned char four[4]);
// An IPv6 address in network order as RFC 5952 writes it: lower-case hex
// without leading zeros, the longest run of two or more zero groups (the
// first of equals) as "::".
std::string logsix(const unsigned char six[16]);
// Writes a line of the log. In --web the lines of a turn are gathered and
// written together by logflush, in order, each whole; otherwise each at once.
void logput(const std::string& line);
// Writes the lines gathered: at the end of each turn, and before the process
// ends, whatever ends it.
void logflush();
// A host as Host gives it, without its port.
std::string hostbare(std::string host);
