#include "request/reception.h"
#include "core/world.h"
#include "dispatch/serve.h"
#include "output/chunks.h"
#include "request/asks.h"
#include "request/kinds.h"

feed clntfeed(conn& c, const char* data, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        char b = data[k];
        // The request line keeps its case; everything behind it is lowered.
        if (!c.rqst.empty()) b = charlow(b);
        if (charbad(b)) return feedbadbyte;
        if (c.buff.size() >= linemost) return feedbadline;
        c.buff += b;
        if (c.buff == crlf) {
            if (c.rqst.empty()) return feedbadline;
            // --web reads the whole block: its fields may come after the host.
            if (web() && !c.head.empty()) {
                c.buff.clear();
                return feedhost;
            }
            c.buff = boutmake("HTTP/1.1 400 bad_request\r\n");
            c.mode = 1;
            return feedanswer;
        }
        // Only a CR LF can complete a line: the check is made once a line,
        // not on every byte of a long one.
        std::size_t size = c.buff.size();
        if (b == '\n' && size >= 2 && c.buff[size - 2] == '\r' && cstrends(c.buff, crlf)) {
            std::string line;
            line.swap(c.buff);
            if (c.rqst.empty()) {
                c.rqst = line;
                if (!partsane(line)) return feedbadpart;
                if (web()) c.want = asksmake(line);
            } else if (!linksane(line)) {
                return feedbadline;
            } else if (web()) {
                if (!asksnote(c.want, line)) return feedbadline;
                if (c.head.empty() && linkhost(line)) c.head = line;
            } else if (linkhost(line)) {
                c.head = line;
                return feedhost;
            }
        }
    }
    return feedmore;
}

void clntread(std::uint64_t i) {
    conn& c = clntconn(i);
    long n = sockrecv(SOCKET(std::int64_t(clntdesc(i))), rbuf(), rbufsize - 1);
    if (n == sockagain) return;
    if (n == -1) {
        scrap(i);
        return;
    }
    rbuf()[n] = 0;
    c.last = GetTickCount64();
    if (n == 0) {
        hangup(i, "close 1");
        return;
    }
    switch (clntfeed(c, rbuf(), std::size_t(n))) {
    case feedmore:
    case feedanswer:
        break;
    case feedbadbyte:
        hangup(i, "close 2");
        break;
    case feedbadline:
        hangup(i, "close");
        break;
    case feedbadpart:
        scrap(i);
        break;
    case feedhost:
        clntserv(i);
        break;
    }
}
