#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/conn.h"
#include "output/chunks.h"
#include "output/transmit.h"

namespace {

// Sends what it can; a peer that took bytes has another spell of patience.
long sendsome(conn& c, const char* data, std::size_t n) {
    long r = long(send(int(c.desc), data, int(n), 0));
    if (r > 0) c.till = GetTickCount64() + clntpatience;
    return r;
}

}  // namespace

void clntsend(std::uint64_t i) {
    conn& c = clntconn(i);
    clntdesc(i);
    if (c.mode == 1) {
        std::string& u = c.buff;
        assert(quipsane(u));
        assert(quipsome(u));
        long n = quipsize(u);
        long r = sendsome(c, u.data(), std::size_t(n));
        if (r == -1) return scrap(i);
        u = boutdrop(std::move(u), r);
        if (r == n) hangup(i, "close 2");
    } else if (c.mode == 2) {
        // No more than a file piece at once: a blocking send of a whole large
        // listing to a client that reads nothing would stop the server.
        std::size_t from = c.buff.size() - std::size_t(c.left);
        long r = sendsome(c, c.buff.data() + from, std::size_t(c.left < 255 ? c.left : 255));
        if (r == -1) return scrap(i);
        c.left -= r;
        if (c.left == 0) hangup(i, "close 2");
    } else if (!c.head.empty()) {
        long r = sendsome(c, c.head.data(), c.head.size());
        if (r == -1) return scrap(i);
        c.head.erase(0, std::size_t(r));
    } else {
        std::size_t size = quipsize(c.buff);
        if (size < 255) {
            // What the file gained since its header went out is not sent.
            std::size_t room = c.left < std::int64_t(255 - size) ? std::size_t(c.left) : 255 - size;
            std::size_t retq = room ? fread(&c.buff[size], 1, room, c.fptr) : 0;
            assert(retq<=255-size);
            c.buff[255] = char(size + retq);
            c.left -= std::int64_t(retq);
            // A short read that met the end of the file ends the body now,
            // rather than one writable event later with an empty read.
            if (retq == 0 || c.left == 0 || (retq < room && feof(c.fptr))) {
                int shut = fclose(c.fptr);
                c.fptr = nullptr;
                if (shut != 0) {
                    perror("close 3");
                    exit(1);
                }
                c.mode = 1;
            }
        }
        long n = quipsize(c.buff);
        // Nothing left at the end of the file: no empty send is needed.
        long r = n == 0 ? 0 : sendsome(c, c.buff.data(), std::size_t(n));
        if (r == -1) return scrap(i);
        c.buff = boutdrop(std::move(c.buff), r);
        if (r == n && c.mode == 1) hangup(i, "close 4");
    }
}
