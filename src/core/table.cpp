#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "core/conn.h"

std::vector<conn>& clnts() {
    static std::vector<conn> table;
    return table;
}

conn& clntconn(std::uint64_t i) {
    return clnts()[i];
}

int clntdesc(std::uint64_t i) {
    int clnt = int(clntconn(i).desc);
    assert(clnt);
    return clnt;
}

bool clntsending(const conn& c) {
    return c.fptr != filenone || c.mode != 0;
}

char* rbuf() {
    static char* block = new char[rbufsize];
    return block;
}

void hangup(std::uint64_t i, const char* tag) {
    SOCKET desc = SOCKET(std::int64_t(clntdesc(i)));
    sockshut(desc);
    if (closesocket(desc) != 0) {
        sockerror(tag);
        exit(1);
    }
    wipe(i);
}

void wipe(std::uint64_t i) {
    clntconn(i) = conn();
}

void scrap(std::uint64_t i) {
    conn& c = clntconn(i);
    if (c.fptr != filenone) fileshut(c.fptr);
    closesocket(c.desc);
    wipe(i);
}
