// The response decision for a placed request.
#pragma once
#include <cstdint>
#include <string>

#include "core/conn.h"
#include "output/answer.h"
#include "request/asks.h"

// A short fixed answer: it goes out in one chunk, then the connection closes.
void clntfail(conn& c, const char* text);

// The --web answers below leave their values in r, whose header already
// says what becomes of the connection (webhead's keep).
// The 308 that sends a request to the same place over HTTPS: where.
void webmove(const asks& a, answer* r, const std::string& where);
// The status with a short text body: why.
void webfail(const asks& a, answer* r, int code, const std::string& why);

// Leaves on entry i the response to the request path (as received) in the
// site folder host: a file, a redirect, a listing or a 404.
void clntpick(std::uint64_t i, std::string host, std::string path);
// The same in --web mode, from the method and fields of the request and the
// decoded path without dot segments: GET and HEAD only, hidden names missing,
// 412, 304, 206 and 416 for a file, index.html after index.htm, folders
// marked in the listing.
void webreply(const asks& a, std::string host, std::string disk, answer* r);
// Where a folder asked for without its trailing slash is sent: the path and a
// "/", on this host.
std::string slashdest(std::string path);
// The body of the 303 that sends a client to dest.
std::string slashbody(std::string dest);
// The 303 answer to a folder asked for without its trailing slash.
std::string slashtext(std::string path);
