// An HTTP/2 session's memory, as libnghttp2 asks for it: blocks with their
// size in front, except the frame buffer made with the session and the
// blocks asked zeroed of a page or more, which have pages of their own with
// nothing in front, so that an idle session can give their pages back.
#pragma once
#include <cstddef>
#include <utility>
#include <vector>

#include <nghttp2/nghttp2.h>

struct duomem {
    bool making = false;     // the session is being made: its frame buffer is asked for now
    void* frames = nullptr;  // the session's frame buffer
    std::size_t framesn = 0;
    std::vector<std::pair<void*, std::size_t>> zeroed;  // blocks asked zeroed
};

// The library's allocator over m, which outlives the session it is given to.
nghttp2_mem duomemhooks(duomem* m);
// The session is idle, no frame in its buffer: the buffer's pages go back,
// and those of a zeroed block that reads all zero again (its table of
// streams, once they are all closed).
void duomemquiet(duomem& m);
