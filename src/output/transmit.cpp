#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/conn.h"
#include "output/chunks.h"
#include "output/transmit.h"
#include "output/webhead.h"
#include "request/asks.h"

namespace {

// A TLS record's most plaintext, and the body's buffer: four records.
const std::size_t sealrecord = 16384;
const std::int64_t sealbuff = 4 * 16384;
// Kept bytes up to this are copied behind the header, to leave in one send;
// more are sent from where they are kept.
const std::int64_t keptcopy = 64 * 1024;

// A peer that took bytes has another spell of patience.
long sendtook(conn& c, long r) {
    if (r > 0) c.till = GetTickCount64() + clntpatience;
    return r;
}

// The answer is out: a kept connection waits for the next request, any
// other closes. A client that asked to close, sent no body and nothing
// behind its request has no more to say: the close need not wait for its end.
void answerend(std::uint64_t i, const char* tag) {
    conn& c = clntconn(i);
    if (c.keep) return clntnext(i);
    const asks* a = c.want.get();
    if (a && a->code == 0 && !a->body && c.rest.empty() && !askskeep(*a)) return shutnow(i, tag);
    linger(i, tag);
}

// The body is out, or the file ended before its announced length: the file
// is closed. A body cut short cannot be followed by another answer: the
// client would read the next one's bytes as the rest of this one.
void bodyend(std::uint64_t i) {
    conn& c = clntconn(i);
    // A TLS body's buffer goes with it: a held connection keeps no output memory.
    std::string().swap(c.head);
    c.kept.reset();
    int shut = c.fptr != filenone ? fileshut(c.fptr) : 0;
    c.fptr = filenone;
    if (shut != 0) {
        perror("close 3");
        exit(1);
    }
    if (c.left != 0) c.keep = false;
    answerend(i, "close 4");
}

// Sends text on the connection: into records on a TLS one.
long clntput(conn& c, const char* data, std::size_t n, bool more) {
    return sendtook(c, c.tls ? sealsend(c.tls, data, n) : socksend(c.desc, data, n, more));
}

// A TLS body goes through a buffer of a few records, refilled from the file
// once less than a record is left in it, the header in front of its start:
// records leave full, and a file is never held whole. False when the file
// gave nothing more.
bool sealfill(conn& c) {
    std::size_t have = c.head.size();
    std::size_t most = std::size_t(c.left < sealbuff - std::int64_t(have) ? c.left : sealbuff - std::int64_t(have));
    c.head.resize(have + most);
    long got = c.kept ? long(most) : fileread(c.fptr, c.offs, &c.head[have], most);
    if (c.kept) c.kept->copy(&c.head[have], most, std::size_t(c.offs));
    c.head.resize(have + std::size_t(got > 0 ? got : 0));
    if (got <= 0) return false;
    c.offs += got;
    c.left -= got;
    return true;
}

}  // namespace

std::int64_t clntsend(std::uint64_t i) {
    std::int64_t sent = 0;
    clntsendon(i, &sent);
    return sent;
}

void clntsendon(std::uint64_t i, std::int64_t* spent) {
    conn& c = clntconn(i);
    clntdesc(i);
    std::int64_t& sent = *spent;
    // Each round sends as much as the socket takes of what is pending; a
    // round that the socket refuses ends the turn until it is writable.
    while (sent < sendbudget) {
        long r;
        if (c.mode == 1) {
            std::string& u = c.buff;
            const std::string& quip = u;
            assert(quipsane(u));
            assert(quipsome(quip));
            long n = quipsize(u);
            r = sendtook(c, socksend(c.desc, u.data(), std::size_t(n), false));
            if (r == -1) return scrap(i);
            if (r == sockagain) return;
            sent += r;
            u = boutdrop(std::move(u), r);
            if (r == n) return linger(i, "close 2");
        } else if (c.mode == 2) {
            std::size_t from = c.buff.size() - std::size_t(c.left);
            r = clntput(c, c.buff.data() + from, std::size_t(c.left), false);
            if (r == -1) return scrap(i);
            if (r == sockagain) return;
            sent += r;
            c.left -= r;
            if (c.left == 0) return answerend(i, "close 2");
        } else if (c.tls) {
            // A file that shrank ends its body with what the buffer holds.
            bool dry = c.left > 0 && c.head.size() < sealrecord && !sealfill(c);
            if (c.head.empty()) return bodyend(i);
            r = clntput(c, c.head.data(), c.head.size(), false);
            if (r == -1) return scrap(i);
            if (r == sockagain) return;
            sent += r;
            c.head.erase(0, std::size_t(r));
            if (c.head.empty() && (c.left == 0 || dry)) return bodyend(i);
        } else if (!c.head.empty()) {
            // Sent with the start of the body: a small file is one segment.
            r = sendtook(c, socksend(c.desc, c.head.data(), c.head.size(), c.left > 0));
            if (r == -1) return scrap(i);
            if (r == sockagain) return;
            sent += r;
            c.head.erase(0, std::size_t(r));
        } else {
            if (c.left == 0) return bodyend(i);
            // What the file gained since its header went out is not sent.
            std::int64_t most = c.left < sendbudget - sent ? c.left : sendbudget - sent;
            r = sendtook(c, c.kept ? socksend(c.desc, c.kept->data() + c.offs, std::size_t(most), false)
                                   : sockfile(c.desc, c.fptr, c.offs, most));
            if (r == -1) return scrap(i);
            if (r == sockagain) return;
            sent += r;
            // A file that shrank ends its body where it ends now.
            if (r == 0) return bodyend(i);
            c.offs += r;
            c.left -= r;
            if (c.left == 0) return bodyend(i);
        }
    }
}

void clntanswer(conn& c, answer r) {
    c.keep = r.head.keep != 0;
    if (answerfile(r) || (r.kept && r.left > keptcopy)) {
        c.buff = quipnone();
        c.head = headmake(r.head);
        c.fptr = r.fptr;
        c.kept = std::move(r.kept);
        c.offs = r.offs;
        c.left = r.left;
        return;
    }
    c.buff = headmake(r.head);
    if (r.kept)
        c.buff.append(*r.kept, std::size_t(r.offs), std::size_t(r.left));
    else
        c.buff += r.text;
    c.left = std::int64_t(c.buff.size());
    c.mode = 2;
}
