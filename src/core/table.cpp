#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/conn.h"

std::deque<conn>& clnts() {
    static std::deque<conn> table;
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
    return c.ling == 0 && (c.fptr != filenone || c.kept || c.mode != 0 || c.pend);
}

bool clntlingering(const conn& c) {
    return c.ling != 0;
}

waitfor clntwaits(const conn& c) {
    return clntlingering(c) ? waitdrain : clntsending(c) || c.hold ? waitwrite : waitread;
}

bool clntidle(const conn& c) {
    return c.reqs > 0 && c.busy == 0 && c.rqst.empty() && c.buff.empty() && c.rest.empty() && !clntsending(c) &&
           !clntlingering(c);
}

void clntnext(std::uint64_t i) {
    conn& c = clntconn(i);
    // Answers now follow one another: none may wait for the client to
    // acknowledge the one before (a header still leaves with its body, held
    // back as it is). Once a connection, and only for those that stay.
    if (c.reqs == 1) socknodelay(c.desc);
    conn next;
    next.desc = c.desc;
    next.four = c.four;
    next.six = c.six;
    next.reqs = c.reqs;
    next.rest.swap(c.rest);
    next.last = c.last;
    next.till = GetTickCount64() + clntpatience;
    next.tls = c.tls;
    next.seal = c.seal;
    next.more = c.more;
    c.tls = nullptr;
    // Swapped, not assigned: a string assigned an empty one keeps its buffer,
    // and a held connection would keep its last answer's.
    std::swap(c, next);
}

char* rbuf() {
    static char* block = new char[rbufsize];
    return block;
}

void hangup(std::uint64_t i, const char* tag) {
    SOCKET desc = SOCKET(std::int64_t(clntdesc(i)));
    if (clntconn(i).tls) sealshut(clntconn(i).tls);
    // What the client sent and nobody read (up to 64 KiB, whatever is there
    // now) is taken off first, so that closing does not reset the connection.
    sockhalf(desc);
    for (long got = 0; got < 65536;) {
        long n = sockrecv(desc, rbuf(), rbufsize - 1);
        if (n <= 0) break;
        got += n;
    }
    if (closesocket(desc) != 0) {
        sockerror(tag);
        exit(1);
    }
    wipe(i);
}

void wipe(std::uint64_t i) {
    if (clntconn(i).tls) sealfree(clntconn(i).tls);
    conn fresh;
    std::swap(clntconn(i), fresh);
}

void linger(std::uint64_t i, const char* tag) {
    conn& c = clntconn(i);
    // A TLS client learns that the answer is whole from close_notify, before the end of the stream.
    if (c.tls) sealshut(c.tls);
    sockhalf(SOCKET(std::int64_t(clntdesc(i))));
    c.ling = GetTickCount64();
    c.till = c.ling + lingeridle;
    c.shut = tag;
    std::string().swap(c.buff);
    std::string().swap(c.head);
}

void lingerread(std::uint64_t i) {
    conn& c = clntconn(i);
    SOCKET desc = SOCKET(std::int64_t(clntdesc(i)));
    // A few receives a turn: a client that sends without pause does not
    // keep the others waiting.
    for (int k = 0; k < 8; ++k) {
        long n = sockrecv(desc, rbuf(), rbufsize - 1);
        if (n == sockagain) break;
        if (n <= 0) return lingerend(i);
        std::uint64_t now = GetTickCount64();
        c.till = now + lingeridle < c.ling + lingermost ? now + lingeridle : c.ling + lingermost;
    }
}

void shutnow(std::uint64_t i, const char* tag) {
    if (clntconn(i).tls) sealshut(clntconn(i).tls);
    if (closesocket(clntconn(i).desc) != 0) {
        sockerror(tag);
        exit(1);
    }
    wipe(i);
}

void lingerend(std::uint64_t i) {
    conn& c = clntconn(i);
    if (closesocket(c.desc) != 0) {
        sockerror(c.shut);
        exit(1);
    }
    wipe(i);
}

void scrap(std::uint64_t i) {
    conn& c = clntconn(i);
    if (c.fptr != filenone) fileshut(c.fptr);
    closesocket(c.desc);
    wipe(i);
}
