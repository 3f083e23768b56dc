// Memory straight from the system, in whole pages: a page is resident only
// once it is written, so a large block mostly left unwritten costs what is
// written of it, wherever the heap would have placed it.
#pragma once
#include <cstddef>

// n bytes of fresh zeroed pages; null when the system has none.
void* pagesget(std::size_t n);
// Gives back what pagesget gave for n.
void pagesput(void* p, std::size_t n);
// What pagesget gave for n is no longer wanted: its pages cost nothing until
// written again, and read as anything until then.
void pagesdrop(void* p, std::size_t n);
// What pagesget gave for n, all zero now, costs nothing until written again,
// and reads as zeros until then.
void pageszero(void* p, std::size_t n);
// Gives the runtime heap's free pages back to the system: the runtime keeps
// what a wave of connections freed, scattered among the blocks still in use.
void pagestrim();
