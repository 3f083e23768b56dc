#include <cstring>

#include "request/reception.h"
#include "core/world.h"
#include "dispatch/serve.h"
#include "output/chunks.h"
#include "request/asks.h"
#include "request/kinds.h"
#include "request/proxy.h"
#include "wire/duo.h"

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
            } else if (!linksane(line)) {
                return feedbadline;
            } else if (linkhost(line)) {
                c.head = line;
                return feedhost;
            }
        }
    }
    return feedmore;
}

// No line has a bound of its own under the block's: a browser's Cookie line
// may pass 8 KiB, and the block's bound holds the memory a request may take.
feed webfeed(conn& c, const char* data, std::size_t n, std::size_t* took) {
    if (!c.want) c.want = std::make_unique<asks>();
    asks& a = *c.want;
    std::size_t k = 0;
    while (k < n) {
        const void* stop = memchr(data + k, '\n', n - k);
        std::size_t upto = stop ? std::size_t(static_cast<const char*>(stop) - data) : n;
        c.buff.append(data + k, upto - k);
        k = stop ? upto + 1 : n;
        if (!stop) {
            // A line still coming may be too long already; a lone CR may be
            // the blank line's.
            if (a.used + c.buff.size() > blockmost && c.buff != "\r")
                asksfail(a, 431, "The request's header is too large.");
            break;
        }
        std::string line;
        line.swap(c.buff);
        std::size_t size = line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // The blank line that ends the block is not counted in its bound.
        if (c.rqst.empty() || !line.empty()) a.used += size;
        if (a.used > blockmost) {
            asksfail(a, 431, "The request's header is too large.");
        } else if (c.rqst.empty()) {
            // A blank line before the request is skipped: a client may end
            // a body it sent with one more line end than it announced.
            if (line.empty()) continue;
            c.rqst = line + crlf;
            askspart(a, line);
        } else if (line.empty()) {
            asksdone(a);
            *took = k;
            return feedhost;
        } else {
            asksfield(a, line);
        }
        if (a.code != 0) break;
    }
    *took = k;
    return a.code != 0 ? feedhost : feedmore;
}

bool restwhole(const std::string& rest) {
    std::size_t k = 0;
    while (k < rest.size() && (rest[k] == '\n' || rest.compare(k, 2, "\r\n") == 0)) k += rest[k] == '\n' ? 1 : 2;
    std::size_t end = rest.find('\n', k);
    while (end != std::string::npos && end + 1 < rest.size()) {
        if (rest[end + 1] == '\n' || rest.compare(end + 1, 2, "\r\n") == 0) return true;
        end = rest.find('\n', end + 1);
    }
    return false;
}

namespace {

// Receives what the client sent; a TLS connection first goes on with its
// handshake, and reads records once that is done. Its TLS is made when the
// client's first bytes come: one that connects and says nothing costs its
// record alone, as a plain one does.
long clntrecv(conn& c) {
    if (c.seal && !c.tls) {
        char first;
        long n = sockpeek(c.desc, &first, 1);
        if (n <= 0) return n;
        if (!(c.tls = sealmake(c.desc))) return -1;
    }
    if (!c.tls) return sockrecv(c.desc, rbuf(), rbufsize - 1);
    int hand = sealhand(c.tls, &c.hold);
    if (hand <= 0) return hand < 0 ? -1 : sockagain;
    return sealrecv(c.tls, rbuf(), rbufsize - 1, &c.hold, &c.more);
}

// --web: a connection's first bytes may make it speak HTTP/2: by ALPN over
// TLS, by the preface on the plain port. True when they were taken so (the
// session made and fed, or the start of the preface held). A start of the
// preface that then parts from it goes on as the HTTP/1.1 request it is.
bool clnttwo(std::uint64_t i, const char* data, std::size_t n) {
    conn& c = clntconn(i);
    if (!web() || c.reqs != 0 || !c.rqst.empty() || !c.buff.empty() || !duoable()) return false;
    if (c.tls && !sealtwo(c.tls)) return false;
    std::string have;
    // Most connections part from the preface at their first byte: nothing is copied for them.
    if (!c.tls && c.rest.empty() && memcmp(data, duopreface, n < duoprefsize ? n : duoprefsize) != 0) return false;
    if (!c.tls) {
        have = c.rest;
        have.append(data, n < duoprefsize ? n : duoprefsize);
        std::size_t k = have.size() < duoprefsize ? have.size() : duoprefsize;
        if (memcmp(have.data(), duopreface, k) != 0) {
            if (c.rest.empty()) return false;
            c.rest.append(data, n);
            clntrest(i);
            return true;
        }
        if (have.size() < duoprefsize) {
            c.rest = have;
            return true;
        }
        have = c.rest;
        c.rest.clear();
    }
    if (!duomake(i)) {
        scrap(i);
        return true;
    }
    if (!have.empty()) duoread(i, have.data(), have.size());
    if (c.desc && c.two) duoread(i, data, n);
    return true;
}

// --proxy-protocol: the header is taken off the socket to its last byte and
// no further, so that what follows, a TLS handshake or a request, is read as
// any connection's first bytes are. What came of a header not yet whole is
// all of it. A client that sends no header, or a broken one, gets no word.
void clntveil(std::uint64_t i) {
    conn& c = clntconn(i);
    long n = sockpeek(c.desc, rbuf(), rbufsize - 1);
    if (n == sockagain) return;
    if (n <= 0) return n == 0 ? hangup(i, "close 1") : scrap(i);
    c.last = GetTickCount64();
    std::size_t had = c.rest.size();
    c.rest.append(rbuf(), std::size_t(n));
    proxied p = proxyread(c.rest);
    if (p.fate == veilbad) return scrap(i);
    long take = p.fate == veilmore ? n : long(p.took - had);
    if (sockrecv(c.desc, rbuf(), std::size_t(take)) != take) return scrap(i);
    if (p.fate == veilmore) return;
    std::string().swap(c.rest);
    c.veil = false;
    if (p.fate == veilfour) c.four = p.four, c.six = {};
    if (p.fate == veilsix) c.four = 0, c.six = p.six;
    clntread(i);
}

}  // namespace

void clntread(std::uint64_t i) {
    conn& c = clntconn(i);
    clntdesc(i);
    if (c.veil) return clntveil(i);
    long n = clntrecv(c);
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
    if (c.two) return duoread(i, rbuf(), std::size_t(n));
    if (clnttwo(i, rbuf(), std::size_t(n))) return;
    std::size_t took = 0;
    switch (web() ? webfeed(c, rbuf(), std::size_t(n), &took) : clntfeed(c, rbuf(), std::size_t(n))) {
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
        // Bytes behind the request are the next one's: read once this is answered.
        if (web()) c.rest.assign(rbuf() + took, std::size_t(n) - took);
        clntserv(i);
        break;
    }
}

void clntrest(std::uint64_t i) {
    conn& c = clntconn(i);
    std::string rest;
    rest.swap(c.rest);
    std::size_t took = 0;
    if (webfeed(c, rest.data(), rest.size(), &took) != feedhost) return;
    c.rest = rest.substr(took);
    clntserv(i);
}
