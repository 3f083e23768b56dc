// The header of every --web answer, written in one place from a few values.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct webhead {
    int code = 200;           // 200 206 303 304 308 400 404 405 406 412 416 431 501 505
    std::string type;         // Content-Type; empty for none
    std::string coding;       // Content-Encoding; empty for none
    bool vary = false;        // the answer depends on Accept-Encoding
    std::int64_t length = 0;  // Content-Length: the body GET gets, also for HEAD
    std::int64_t size = -1;   // the file's size; -1 when the answer is not a file
    std::int64_t first = 0;   // 206: the offset of the first byte sent
    std::int64_t mtime = 0;   // the file's modification time, seconds since 1970
    std::string tag;          // the file's entity tag
    std::int64_t now = 0;     // when the answer is made: its Date
    std::string where;        // 303 and 308: the Location
    int keep = 0;             // the connection then closes (0), stays (1), stays for HTTP/1.0 (2)
};

// The values make a header: a status headmake knows, header values without
// a line break; a file's answer has its size and tag, a 206 names bytes
// within the file, a 303 a place to go.
bool headsane(const webhead& h);
// The status line and header lines, and the blank line that ends them. Every
// answer has Date; "Connection: close" when the connection closes after it,
// and "Connection: keep-alive" when an HTTP/1.0 client asked to keep it. A
// file's answer has Last-Modified (never later than the Date), ETag and
// "Accept-Ranges: bytes"; a 206 a Content-Range of its bytes,
// a 416 "Content-Range: bytes */size", a 405 "Allow: GET, HEAD". A 304 has no
// Content-Type or Content-Length: it has no body to describe.
std::string headmake(webhead h);
// The same header as HTTP/2 fields, in the same order: ":status" first,
// lower-case names, and no Connection field, which HTTP/2 forbids.
std::vector<std::pair<const char*, std::string>> headlist(const webhead& h);
