// The compressor of each coding, in a file of its own that CMake picks: the
// library's where the build has it, a _none file that gives none where not.
#pragma once
#include <cstddef>
#include <string>

struct squeezer {
    // A new stream, or null.
    void* (*make)();
    // Takes all n bytes (n is at most squeezepiece) and appends the output
    // there is so far, all of it once last.
    bool (*feed)(void* state, const char* data, std::size_t n, bool last, std::string* out);
    void (*free)(void* state);
};

// The most one feed takes: zlib counts its input in 32 bits.
const std::size_t squeezepiece = 1 << 20;

// Null where the build lacks the coding.
const squeezer* squeezergzip();
const squeezer* squeezerbr();
const squeezer* squeezerzstd();
