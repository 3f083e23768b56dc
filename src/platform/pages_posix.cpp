#include <malloc.h>
#include <sys/mman.h>

#include "platform/pages.h"

void* pagesget(std::size_t n) {
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void pagesput(void* p, std::size_t n) {
    munmap(p, n);
}

void pagesdrop(void* p, std::size_t n) {
    madvise(p, n, MADV_DONTNEED);
}

void pageszero(void* p, std::size_t n) {
    madvise(p, n, MADV_DONTNEED);
}

void pagestrim() {
    malloc_trim(0);
}
