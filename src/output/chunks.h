// Output chunks: texts of exactly 256 bytes whose last byte counts the data
// bytes at their front (0..255). A bout is any such chunk; a quip is the one a
// connection streams a file through. The fixed size keeps the output memory
// of a connection at 256 bytes, whatever it sends. The measures read a chunk
// where it lies: they run for every piece of every body.
#pragma once
#include <cstdint>
#include <string>

bool boutsane(const std::string& u);
bool quipsane(const std::string& u);
bool quipsome(const std::string& quip);

// The largest b with 2^b <= n; n >= 1.
int lg2floor(std::uint64_t n);
// The largest power of two strictly below n; n >= 2.
std::uint64_t powbelow(std::uint64_t n);
std::string nuls(std::uint64_t n);
std::string cstrchar(unsigned char c);

std::string boutnone();
std::string quipnone();
unsigned char boutsize(const std::string& u);
unsigned char quipsize(const std::string& quip);
// The text (shorter than 256 bytes) as a chunk.
std::string boutmake(std::string t);
// The chunk less its first s data bytes.
std::string boutdrop(std::string u, std::int64_t s);
