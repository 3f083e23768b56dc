#include <malloc.h>

#include <cstdlib>
#include <vector>

#include <openssl/crypto.h>

#include "tls/blocks.h"

namespace {

// Sizes kept: from the runtime's smallest "large" block up to a 64 KiB one,
// in steps of 256 bytes, so that a 7.6 KiB record costs no more than its size.
const std::size_t blockleast = 1024;
const std::size_t blockmost = 65536;
const std::size_t blockstep = 256;

struct cache {
    std::vector<std::vector<void*>> free = std::vector<std::vector<void*>>(blockmost / blockstep + 1);
    std::size_t bytes = 0;
};

cache& blockcache() {
    static cache* c = new cache;
    return *c;
}

void* sslmalloc(std::size_t n, const char*, int) {
    return blockstake(n);
}

void* sslrealloc(void* block, std::size_t n, const char*, int) {
    // A block grown or shrunk is the runtime's like any other: its usable
    // size says where it goes when given back.
    return block ? realloc(block, n) : blockstake(n);
}

void sslfree(void* block, const char*, int) {
    blocksgive(block);
}

}  // namespace

bool blocksuse() {
    return CRYPTO_set_mem_functions(sslmalloc, sslrealloc, sslfree) == 1;
}

void* blockstake(std::size_t n) {
    if (n < blockleast || n > blockmost) return malloc(n);
    // The class rounds up: any block kept there has at least its size.
    std::size_t k = (n + blockstep - 1) / blockstep;
    cache& c = blockcache();
    if (c.free[k].empty()) return malloc(k * blockstep);
    void* block = c.free[k].back();
    c.free[k].pop_back();
    c.bytes -= k * blockstep;
    return block;
}

void blocksgive(void* block) {
    if (!block) return;
    // The class rounds down: the block serves every request of its class.
    std::size_t k = malloc_usable_size(block) / blockstep;
    cache& c = blockcache();
    if (k * blockstep < blockleast || k * blockstep > blockmost || c.bytes + k * blockstep > blocksmost) {
        free(block);
        return;
    }
    c.free[k].push_back(block);
    c.bytes += k * blockstep;
}

std::size_t blockskept() {
    return blockcache().bytes;
}
