// OpenSSL's larger blocks (a connection's record, its read and write buffers,
// a handshake's message buffer) kept for reuse by size instead of given back
// to the C runtime: a heap where thousands of connections came and went
// leaves the runtime's search for a block of that size long, and a kept
// connection takes and gives two buffers of 16 KiB with every request.
#pragma once
#include <cstddef>

// At most this many bytes wait in the cache, counted by the sizes they are
// kept for: some hundred handshakes' worth.
const std::size_t blocksmost = std::size_t(8) << 20;

// Routes OpenSSL's allocations through the cache; called before OpenSSL
// allocates anything, false if it already had.
bool blocksuse();

// A block of at least n bytes; blocks under 1 KiB come from the runtime.
void* blockstake(std::size_t n);
// Gives a block back: kept for the next request of its size, while the cache
// has room, else freed.
void blocksgive(void* block);
// The bytes the cache holds now.
std::size_t blockskept();
