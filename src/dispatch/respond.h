// The response decision for a placed request.
#pragma once
#include <cstdint>
#include <string>

#include "core/conn.h"

// A short fixed answer: it goes out in one chunk, then the connection closes.
void clntfail(conn& c, const char* text);

// Leaves on entry i the response to the request path (as received) in the
// site folder host: a file, a redirect, a listing or a 404.
void clntpick(std::uint64_t i, std::string host, std::string path);
// The 303 answer to a folder asked for without its trailing slash.
std::string slashtext(std::string path);
