// What a request asks of the --web mode: its method, host and path, and the
// header values that make an answer partial or conditional. Reception fills
// the record one line at a time, as the lines arrive, and the record says
// when the request cannot be answered as asked (code, why).
#pragma once
#include <cstddef>
#include <string>

struct asks {
    std::string line;      // the request line as received, without its end, for the log
    std::string meth;      // the method, in the case the client sent it
    std::string path;      // its path, up to the query: "/" for an absolute target without one
    std::string query;     // its query with the '?', or empty
    std::string host;      // the host that names the site, lowered, port kept
    bool absolute = false; // the target names its host: Host lines do not count
    int vers = 0;          // 10 or 11 once the request line is read
    int hosts = 0;         // Host lines received
    std::string range;     // the value of Range; empty when there is none
    std::string since;     // the value of If-Modified-Since
    std::string match;     // the value of If-None-Match
    std::string guard;     // the value of If-Range: the Range holds while it names the file
    std::string ifmatch;   // the value of If-Match
    std::string unsince;   // the value of If-Unmodified-Since
    std::string link;      // the value of Connection, lowered
    std::string codes;     // the value of Accept-Encoding
    bool accepts = false;  // Accept-Encoding was sent, if empty
    std::string length;    // the value of Content-Length
    std::string refer;     // the values of Referer and User-Agent, for the log
    std::string agent;
    std::string coding;    // the value of Transfer-Encoding
    bool coded = false;    // a Transfer-Encoding came, though its value be empty
    bool body = false;     // a body follows the block: Content-Length above 0, or Transfer-Encoding
    std::size_t used = 0;  // bytes of the header block so far, line ends included
    int code = 0;          // the refusal, once one is decided: 400, 431, 501 or 505
    std::string why;       // what was wrong, for the answer's body and the log
};

// The longest header block, the request line and every field line with their
// line ends: a client cannot make a record grow without bound.
const std::size_t blockmost = 65536;

// A token: the bytes a method or a field name is made of, at least one.
bool tokensane(std::string text);
// A host as the Host field or an absolute target gives it: a name of labels
// (each one at least a byte; one final dot allowed) or an IPv4 address or a
// bracketed IPv6 address, then perhaps ':' and digits. The empty text passes:
// it is answered as a host that names no site.
bool hostsane(std::string text);
// An IPv6 address in text form: eight groups of hex, "::" once for a run of
// zero groups, an IPv4 address in place of the last two.
bool sixsane(std::string text);
// Takes the request line, without its line end, into the record.
void askspart(asks& a, std::string line);
// Takes one field line, without its line end, into the record: the value of
// a field --web reads, and the Host. A field sent twice keeps both values
// joined by ", ", as a list field is combined; so a second Range,
// If-Modified-Since or If-Range makes its value unreadable and it is ignored.
void asksfield(asks& a, std::string line);
// The header block has ended: what the request as a whole lacks, and a
// transfer coding it cannot take.
void asksdone(asks& a);
// The connection may carry another request once this one is answered: the
// request is not refused, has no body (which nobody reads), and asks to keep
// it, as HTTP/1.1 does unless it says "close" and HTTP/1.0 only when it says
// "keep-alive".
bool askskeep(const asks& a);
// Makes the record refuse the request, unless it does already.
void asksfail(asks& a, int code, const char* why);
