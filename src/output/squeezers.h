// The compressor of each coding, in a file of its own that CMake picks: the
// library's where the build has it, a _none file that gives none where not.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "output/squeeze.h"

// The bytes a compressor's library holds, now and at most: its allocations
// go through squeezegrab and squeezedrop with this as their opaque pointer.
struct squeezecount {
    std::int64_t now = 0;
    std::int64_t most = 0;
};

struct squeezer {
    // A new stream for a body of size bytes, made as fit says, its memory
    // counted in count; or null.
    void* (*make)(const squeezefit& fit, std::int64_t size, squeezecount* count);
    // Takes all n bytes (n is at most squeezepiece) and appends the output
    // there is so far, all of it once last.
    bool (*feed)(void* state, const char* data, std::size_t n, bool last, std::string* out);
    void (*free)(void* state);
};

// The most one feed takes: zlib counts its input in 32 bits.
const std::size_t squeezepiece = 1 << 20;

// The libraries' allocator: count is a squeezecount. Null when out of memory.
void* squeezegrab(void* count, std::size_t n);
void squeezedrop(void* count, void* block);

// Null where the build lacks the coding.
const squeezer* squeezergzip();
const squeezer* squeezerbr();
const squeezer* squeezerzstd();
