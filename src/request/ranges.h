// The Range field read against the size of a file: which bytes to send.
#pragma once
#include <cstdint>
#include <string>

enum spanfate {
    spanwhole,  // no single byte range to honour: 200 with the whole file
    spanpart,   // one satisfiable byte range: 206 with bytes first .. first+count-1
    spanmiss,   // one byte range that no byte of the file satisfies: 416, "bytes */size"
};

struct span {
    spanfate fate = spanwhole;
    std::int64_t first = 0;  // offset of the first byte to send
    std::int64_t count = 0;  // bytes to send: all of them (whole), none (miss)
};

// A span fits a file of the size: a part lies within it, whole is all of it.
bool spansane(span s, std::int64_t size);
// The bytes of a file of the size that a Range value asks for. One range in
// any of its forms: "a-b" (b past the end is cut to the end), "a-" and the
// suffix "-n" (the last n bytes, or all if fewer). Several ranges, another
// unit, a malformed range or one whose end lies before its start give the
// whole file. Numbers of any length are read without overflow.
span spanread(std::string valu, std::int64_t size);
