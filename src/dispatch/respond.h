// The response decision for a placed request.
#pragma once
#include <cstdint>
#include <string>

#include "core/conn.h"

// A short fixed answer: it goes out in one chunk, then the connection closes.
// In --web mode its status and body go behind the header of that mode.
void clntfail(conn& c, const char* text);

// The --web 308 that sends a request to the same place over HTTPS: where.
void webmove(conn& c, const std::string& where);
// A --web answer of the status with a short text body: why.
void webfail(conn& c, int code, const std::string& why);

// Leaves on entry i the response to the request path (as received) in the
// site folder host: a file, a redirect, a listing or a 404.
void clntpick(std::uint64_t i, std::string host, std::string path);
// The same in --web mode, from the method and fields reception kept and the
// decoded path without dot segments: GET and HEAD only, hidden names missing,
// 412, 304, 206 and 416 for a file, index.html after index.htm, folders
// marked in the listing.
void webreply(std::uint64_t i, std::string host, std::string disk);
// Where a folder asked for without its trailing slash is sent: the path and a
// "/", on this host.
std::string slashdest(std::string path);
// The body of the 303 that sends a client to dest.
std::string slashbody(std::string dest);
// The 303 answer to a folder asked for without its trailing slash.
std::string slashtext(std::string path);
