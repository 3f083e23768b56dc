// Compressing a body to a content coding in steps, so that a large body
// never holds the loop for long: the caller feeds it a piece a turn.
#pragma once
#include <cstddef>
#include <string>

#include "request/codings.h"

struct squeeze;  // one body being compressed

// The codings this build can compress to (bits): gzip where zlib is, br and
// zstd where their libraries are.
unsigned squeezable();
// A compressor for coding c (gzip at level 6, br at quality 5 with a window
// of 22 and the text mode hint, zstd at level 3); null when the build lacks
// it, for identity and codenone.
squeeze* squeezemake(coding c);
// Feeds n bytes of the body, in a piece of any size (0 too); last marks its
// end. Appends what comes out to out. False on failure, and for any piece
// fed after the last or after a failure.
bool squeezefeed(squeeze* z, const char* data, std::size_t n, bool last, std::string* out);
// Null does nothing.
void squeezefree(squeeze* z);
