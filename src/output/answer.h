// A --web answer, made once per request whatever wire carries it: the
// header's values and the body's road: a text of its own, a range of bytes
// kept in memory, or a range of an open file. The HTTP/1.1 wire writes the header as text in front of
// the body; the HTTP/2 wire as HEADERS, the body as DATA pulled from the road.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "output/webhead.h"
#include "platform/files.h"

struct answer {
    webhead head;
    std::string text;          // the body as it goes on the wire: empty for HEAD, 304, 416
    // Or kept bytes, shared with where they are kept: what gives way there
    // lives on while an answer holds it.
    std::shared_ptr<const std::string> kept;
    filehand fptr = filenone;  // or the file the body is read from
    std::int64_t offs = 0;     // where in the kept bytes or the file the body starts
    std::int64_t left = 0;     // the body's bytes there
};

// The answer's body is read from a file.
inline bool answerfile(const answer& r) {
    return r.fptr != filenone;
}
