// The receive step on one connection record: a byte stream cut into pieces as
// recv might deliver it. After every piece the record must hold only what the
// receive rules allow, and the pieces must come to what the whole stream does.
//
// Input: byte 0 gives the number of pieces (1..64) and, by its bit 6, the
// --web mode; the next bytes give the length of each piece but the last (one
// byte each), the rest is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/world.h"
#include "must.h"
#include "output/chunks.h"
#include "request/asks.h"
#include "request/kinds.h"
#include "request/reception.h"

namespace {

// Mostly short pieces, some long enough to carry a line past the bound.
std::size_t piecelen(unsigned char code) {
    return code < 192 ? code : std::size_t(code - 191) * 256;
}

bool allowed(char b) {
    return b == '\n' || b == '\r' || (b >= 32 && b <= 126);
}

bool hasupper(const std::string& s) {
    for (char b : s)
        if (b >= 'A' && b <= 'Z') return true;
    return false;
}

// The lines of a text, each with its "\r\n", and what follows the last one.
std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < s.size()) {
        std::size_t end = s.find("\r\n", from);
        std::size_t upto = end == std::string::npos ? s.size() : end + 2;
        out.push_back(s.substr(from, upto - from));
        from = upto;
    }
    return out;
}

std::string lowered(const std::string& s) {
    std::string out = s;
    for (char& b : out)
        if (b >= 'A' && b <= 'Z') b = char(b + 32);
    return out;
}

// No line the record has taken in, up to the one that decided, is past the
// bound: found from the stream itself, not from what the record kept.
void checklines(const conn& c, feed r, const std::string& stream, std::size_t at) {
    std::vector<std::string> taken;
    if (r == feedmore) {
        taken = lines(stream.substr(0, at));
    } else if (r == feedhost || r == feedanswer) {
        // Header bytes are lowered before they are looked at; the request
        // line is not.
        std::vector<std::string> all = lines(c.rqst + lowered(stream.substr(c.rqst.size())));
        std::string last = r == feedhost ? c.head : "\r\n";
        std::size_t k = 1;
        while (k < all.size() && all[k] != last) ++k;
        MUST(k < all.size());
        taken.assign(all.begin(), all.begin() + std::ptrdiff_t(k) + 1);
    }
    for (const std::string& line : taken) MUST(line.size() <= linemost);
}

bool sameconn(const conn& a, const conn& b) {
    static const asks none;
    const asks& x = a.want ? *a.want : none;
    const asks& y = b.want ? *b.want : none;
    return a.desc == b.desc && a.rqst == b.rqst && a.buff == b.buff && a.head == b.head &&
           a.fptr == b.fptr && a.mode == b.mode && a.till == b.till && a.four == b.four &&
           x.meth == y.meth && x.used == y.used && x.range == y.range && x.since == y.since &&
           x.match == y.match && x.guard == y.guard && x.host == y.host && x.path == y.path && x.code == y.code;
}

// What the record may hold after a feed that gave r; stream is everything the
// record was offered from its start.
void checkconn(const conn& c, feed r, const std::string& stream) {
    MUST(c.desc == 0 && c.fptr == filenone && c.till == 0 && c.four == 0);
    if (r == feedanswer) {
        MUST(c.mode == 1);
        MUST(c.buff == boutmake("HTTP/1.1 400 bad_request\r\n"));
        MUST(!c.rqst.empty() && partsane(c.rqst));
        MUST(c.head.empty());
    } else {
        MUST(c.mode == 0);
        MUST(c.buff.size() <= linemost);
    }
    if (r == feedmore) {
        // A line still being assembled: never a complete one, only bytes that
        // passed the filter, lowered once the request line is in.
        MUST(c.buff.find("\r\n") == std::string::npos);
        for (char b : c.buff) MUST(allowed(b));
        MUST(c.rqst.empty() || !hasupper(c.buff));
        MUST(c.head.empty());
    }
    if (!c.rqst.empty()) {
        // The first line of the stream, exactly as sent, and only when well formed.
        MUST(c.rqst.size() <= linemost);
        MUST(c.rqst.size() >= 2 && c.rqst.find("\r\n") == c.rqst.size() - 2);
        MUST(stream.compare(0, c.rqst.size(), c.rqst) == 0);
        MUST(partsane(c.rqst) || r == feedbadpart);
    }
    if (r == feedbadpart) MUST(!c.rqst.empty() && !partsane(c.rqst));
    if (r == feedhost) MUST(!c.head.empty());
    if (!c.head.empty()) {
        MUST(r == feedhost);
        MUST(!c.rqst.empty() && partsane(c.rqst));
        MUST(c.head.size() <= linemost);
        MUST(!hasupper(c.head));
        MUST(linksane(c.head) && linkname(c.head) == "host");
    }
}

// --web: every stream ends in more, or in a request to answer, refused or
// not (what the record holds then, fuzz_web checks); the bytes taken end at
// the line that decided.
// --web, as a kept connection: each whole request is noted and the record
// starts afresh on the bytes behind it, up to a refusal, which ends the
// connection. True while more may come.
bool webfeeds(conn& c, const char* data, std::size_t n, std::vector<std::string>* asked) {
    for (;;) {
        std::size_t took = 0;
        // Answers are gathered behind a request that restwhole calls whole:
        // fed to a fresh record, it must be answered.
        bool whole = !c.want && restwhole(std::string(data, n));
        feed r = webfeed(c, data, n, &took);
        MUST(!whole || r == feedhost);
        MUST(c.mode == 0 && c.head.empty() && c.want->used <= blockmost);
        MUST(r == feedhost ? took <= n : r == feedmore && took == n && c.want->code == 0);
        if (r == feedmore) return true;
        asked->push_back(std::to_string(c.want->code) + " " + c.want->meth + " " + c.want->path + c.want->query);
        if (c.want->code != 0) return false;
        c = conn();
        data += took;
        n -= took;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t pieces = std::size_t(data[0] % 64) + 1;
    web() = (data[0] & 64) != 0;
    std::size_t head = pieces;  // byte 0 and one length byte per piece but the last
    if (size < head) return 0;
    const unsigned char* codes = data + 1;
    std::string stream(reinterpret_cast<const char*>(data) + head, size - head);

    conn c;
    feed r = feedmore;
    std::size_t at = 0;
    std::vector<std::string> asked, whole;
    for (std::size_t p = 0; p < pieces && r == feedmore; ++p) {
        std::size_t left = stream.size() - at;
        std::size_t n = p + 1 < pieces ? std::min(piecelen(codes[p]), left) : left;
        if (web()) {
            if (!webfeeds(c, stream.data() + at, n, &asked)) break;
            at += n;
            continue;
        }
        r = clntfeed(c, stream.data() + at, n);
        at += n;
        checkconn(c, r, stream);
        checklines(c, r, stream, at);
    }
    MUST(r != feedmore || at == stream.size() || web());

    // One recv with everything must decide the same way and leave the same record.
    conn w;
    feed rw = r;
    if (web()) {
        bool more = webfeeds(w, stream.data(), stream.size(), &whole);
        // The same requests, in the same order; a line found too long is
        // refused where it is noticed, which the pieces move.
        MUST(whole == asked);
        if (!more) return 0;
    } else {
        rw = clntfeed(w, stream.data(), stream.size());
        checkconn(w, rw, stream);
        checklines(w, rw, stream, stream.size());
    }
    MUST(rw == r);
    MUST(sameconn(w, c));
    return 0;
}
