// Compressing a body to a content coding in steps, so that a large body
// never holds the loop for long: the caller feeds it a piece a turn.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "request/codings.h"

struct squeeze;  // one body being compressed

// How a compressor is made for a body of a given size: its window (log2 of
// bytes), its level (gzip's memory level, br's quality), and the most bytes
// it holds while it works.
// A window no larger than the body finds the same matches in less memory,
// and tells the client's decoder to hold no more either.
struct squeezefit {
    int window = 0;
    int level = 0;
    std::int64_t most = 0;
};

// The codings this build can compress to (bits): gzip where zlib is, br and
// zstd where their libraries are.
unsigned squeezable();
// The compressor of coding c for a body of size bytes (gzip at level 6, br
// with the text mode hint, zstd at level 3).
squeezefit squeezesize(coding c, std::int64_t size);
// A compressor for coding c and a body of exactly size bytes; null when the
// build lacks it, for identity and codenone.
squeeze* squeezemake(coding c, std::int64_t size);
// Feeds n bytes of the body, in a piece of any size (0 too); last marks its
// end. Appends what comes out to out. False on failure, and for any piece
// fed after the last or after a failure.
bool squeezefeed(squeeze* z, const char* data, std::size_t n, bool last, std::string* out);
// The most bytes the compressor has held at once, counted as its library
// asked for them.
std::int64_t squeezeheld(const squeeze* z);
// Null does nothing.
void squeezefree(squeeze* z);
