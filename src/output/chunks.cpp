#include <cassert>

#include "output/chunks.h"

bool boutsane(const std::string& u) {
    return u.size() == 256;
}

bool quipsane(const std::string& u) {
    return u.size() == 256;
}

bool quipsome(const std::string& quip) {
    return quipsize(quip) != 0;
}

int lg2floor(std::uint64_t n) {
    int b = 1;
    while (b < 64 && (std::uint64_t(1) << b) <= n) ++b;
    return b - 1;
}

std::uint64_t powbelow(std::uint64_t n) {
    std::uint64_t p = std::uint64_t(1) << lg2floor(n);
    return p == n ? n / 2 : p;
}

std::string nuls(std::uint64_t n) {
    if (n == 0) return std::string();
    if (n == 1) return std::string(1, '\0');
    std::uint64_t p = powbelow(n);
    return nuls(p) + nuls(n - p);
}

std::string cstrchar(unsigned char c) {
    std::string t = " ";
    t[0] = char(c);
    return t;
}

// Made once: every blank chunk is a copy of the same 256 NUL bytes.
static const std::string& blank() {
    static const std::string none = nuls(256);
    return none;
}

std::string boutnone() {
    return blank();
}

std::string quipnone() {
    return blank();
}

unsigned char boutsize(const std::string& u) {
    assert(boutsane(u));
    return static_cast<unsigned char>(u[255]);
}

unsigned char quipsize(const std::string& quip) {
    return static_cast<unsigned char>(quip[255]);
}

std::string boutmake(std::string t) {
    std::size_t s = t.size();
    assert(s<256);
    return t + nuls(255 - s) + cstrchar(static_cast<unsigned char>(s));
}

std::string boutdrop(std::string u, std::int64_t s) {
    assert(boutsane(u));
    std::int64_t t = boutsize(u);
    assert(s>=0);
    assert(s<=t);
    // The rest moves to the front, in place; the filler behind it is NUL.
    u.erase(0, std::size_t(s));
    u.replace(std::size_t(t - s), std::string::npos, 256 - std::size_t(t - s), '\0');
    u[255] = char(t - s);
    return u;
}
