#include <cstdlib>
#include <cstring>

#include "platform/pages.h"
#include "wire/duomem.h"

namespace {

// A session's frame buffer of 16 KiB, made with the session: its frames are
// copied out as soon as they are made, so while the connection is idle its
// pages go back to the system, and a held connection costs no written page
// of it. Other large blocks come from pages too, so that what is left
// unwritten of them costs nothing. Of those asked zeroed, the table of
// streams is one: once its streams are closed it is all zero again.
const std::size_t pagedleast = 8192;
const std::size_t framesleast = 16384;
const std::size_t zeroedleast = 4096;
const std::size_t blockhead = 16;

std::vector<std::pair<void*, std::size_t>>::iterator zeroedfind(duomem& m, void* q) {
    auto k = m.zeroed.begin();
    while (k != m.zeroed.end() && k->first != q) ++k;
    return k;
}

void* blockget(std::size_t n, void* u) {
    duomem& m = *static_cast<duomem*>(u);
    if (m.making && !m.frames && n >= framesleast) {
        m.frames = pagesget(n);
        m.framesn = m.frames ? n : 0;
        return m.frames;
    }
    std::size_t all = n + blockhead;
    char* p = static_cast<char*>(all >= pagedleast ? pagesget(all) : malloc(all));
    if (!p) return nullptr;
    memcpy(p, &all, sizeof all);
    return p + blockhead;
}

// The size of a block blockget gave.
std::size_t blocksize(void* q, duomem& m) {
    if (q == m.frames) return m.framesn;
    auto z = zeroedfind(m, q);
    if (z != m.zeroed.end()) return z->second;
    std::size_t all;
    memcpy(&all, static_cast<char*>(q) - blockhead, sizeof all);
    return all - blockhead;
}

void blockput(void* q, void* u) {
    if (!q) return;
    duomem& m = *static_cast<duomem*>(u);
    if (q == m.frames) {
        pagesput(q, m.framesn);
        m.frames = nullptr;
        return;
    }
    auto z = zeroedfind(m, q);
    if (z != m.zeroed.end()) {
        pagesput(q, z->second);
        m.zeroed.erase(z);
        return;
    }
    char* p = static_cast<char*>(q) - blockhead;
    std::size_t all;
    memcpy(&all, p, sizeof all);
    if (all >= pagedleast) pagesput(p, all);
    else free(p);
}

void* blockzero(std::size_t k, std::size_t n, void* u) {
    duomem& m = *static_cast<duomem*>(u);
    if (k * n >= zeroedleast) {
        void* z = pagesget(k * n);
        if (z) m.zeroed.emplace_back(z, k * n);
        return z;
    }
    void* p = blockget(k * n, u);
    if (p) memset(p, 0, k * n);
    return p;
}

void* blockmove(void* q, std::size_t n, void* u) {
    if (!q) return blockget(n, u);
    std::size_t had = blocksize(q, *static_cast<duomem*>(u));
    void* p = blockget(n, u);
    if (!p) return nullptr;
    memcpy(p, q, had < n ? had : n);
    blockput(q, u);
    return p;
}

}  // namespace

nghttp2_mem duomemhooks(duomem* m) {
    return nghttp2_mem{m, blockget, blockput, blockzero, blockmove};
}

void duomemquiet(duomem& m) {
    pagesdrop(m.frames, m.framesn);
    for (const auto& z : m.zeroed) {
        const char* p = static_cast<const char*>(z.first);
        if (p[0] == 0 && memcmp(p, p + 1, z.second - 1) == 0) pageszero(z.first, z.second);
    }
}
