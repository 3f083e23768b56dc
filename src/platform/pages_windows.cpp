#include <malloc.h>
#include <windows.h>

#include "platform/pages.h"

void* pagesget(std::size_t n) {
    return VirtualAlloc(nullptr, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void pagesput(void* p, std::size_t) {
    VirtualFree(p, 0, MEM_RELEASE);
}

void pagesdrop(void* p, std::size_t n) {
    VirtualAlloc(p, n, MEM_RESET, PAGE_READWRITE);
}

void pageszero(void* p, std::size_t n) {
    VirtualFree(p, n, MEM_DECOMMIT);
    VirtualAlloc(p, n, MEM_COMMIT, PAGE_READWRITE);
}

void pagestrim() {
    _heapmin();
}
