#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/conn.h"
#include "core/loop.h"
#include "dispatch/serve.h"
#include "output/transmit.h"
#include "request/reception.h"

namespace {

// The read set keeps a place for the listening socket: a full server still
// notices a newcomer, and makes room for it if it can.
const unsigned readroom = FD_SETSIZE_WIN - 1;
// An unfinished request may be ended for a newcomer only once it has had
// this long to get going.
const std::uint64_t evictage = 2000;
// After an accept that failed for want of descriptors or memory, the waiting
// connection keeps the listening socket ready: it is left out of the wait for
// a while, longer each time it fails again.
const std::uint64_t restleast = 100;
const std::uint64_t restmost = 1000;
// Connections taken from the backlog in one turn.
const int acceptmost = 16;

// The listening socket and when it is watched again.
struct listener {
    SOCKET desc;
    std::uint64_t rest = 0;       // clock time before which it is not watched
    std::uint64_t span = restleast;  // the next rest after a failed accept
};

// Milliseconds to the nearest deadline of the watched entries and of the
// listener's rest, or -1 when there is none.
long loopwait(std::uint64_t now, const std::vector<char>& seen, const listener& lstn) {
    long wait = lstn.rest > now ? long(lstn.rest - now) : -1;
    for (std::size_t n = 0; n < seen.size(); ++n) {
        if (!seen[n]) continue;
        const conn& c = clnts()[n];
        long left = c.till > now ? long(c.till - now) : 0;
        if (wait < 0 || left < wait) wait = left;
    }
    return wait;
}

// Ends the connections that let their deadline pass: without a response, or
// when their lingering is over.
void loopsweep(std::uint64_t now) {
    for (std::uint64_t n = 0; n < clnts().size(); ++n) {
        conn& c = clntconn(n);
        if (c.desc == 0 || c.till > now) continue;
        if (clntlingering(c))
            lingerend(n);
        else
            scrap(n);
    }
}

// Receives on entry n; once its request is complete its answer starts at
// once, in the same turn: a fresh socket has room for its start. From then
// on the client has its time to take it.
void loopread(std::uint64_t n) {
    clntread(n);
    if (clntconn(n).desc && clntsending(clntconn(n))) {
        clntconn(n).till = GetTickCount64() + clntpatience;
        clntsend(n);
    }
}

void loopdispatch(const sockset& rset, const sockset& wset, const sockset& eset) {
    siteforget();
    for (std::uint64_t n = 0; n < clnts().size(); ++n) {
        conn& c = clntconn(n);
        SOCKET desc = c.desc;
        if (desc == 0) continue;
        if (setholds(&eset, desc)) {
            if (c.fptr != filenone && fileshut(c.fptr) != 0) {
                perror("close99");
                exit(1);
            }
            c.fptr = filenone;
            closesocket(desc);
            wipe(n);
        } else if (setholds(&wset, desc)) {
            clntsend(n);
        } else if (setholds(&rset, desc)) {
            if (clntlingering(c))
                lingerread(n);
            else
                loopread(n);
        }
    }
}

// Drops the dead entries, keeping the order of the live ones.
void loopcompact() {
    std::vector<conn>& table = clnts();
    std::size_t kept = 0;
    for (std::size_t n = 0; n < table.size(); ++n)
        if (table[n].desc != 0) {
            if (kept != n) table[kept] = std::move(table[n]);
            ++kept;
        }
    table.resize(kept);
}

// The entries watched for reading: requests under way and lingering closes.
unsigned loopreaders() {
    unsigned count = 0;
    for (const conn& c : clnts()) count += !clntsending(c);
    return count;
}

// Makes room for a newcomer in a full table: ends the unfinished request that
// has gone longest without a byte, among those old enough to have had their
// chance, or else the longest lingering close. An answer on its way is never
// cut. Returns false when nothing may be ended now.
bool loopevict(std::uint64_t now) {
    std::vector<conn>& table = clnts();
    std::size_t pick = table.size(), oldest = table.size();
    for (std::size_t n = 0; n < table.size(); ++n) {
        const conn& c = table[n];
        if (clntlingering(c)) {
            if (oldest == table.size() || c.ling < table[oldest].ling) oldest = n;
        } else if (!clntsending(c) && c.born + evictage <= now) {
            if (pick == table.size() || c.last < table[pick].last) pick = n;
        }
    }
    if (pick == table.size()) pick = oldest;
    if (pick == table.size()) return false;
    if (clntlingering(table[pick]))
        lingerend(pick);
    else
        scrap(pick);
    loopcompact();
    return true;
}

// Keeps the client's address for the log line: no second call is needed to
// ask for it. An IPv4 client of an IPv6 socket comes as a mapped address,
// and is logged as the IPv4 client it is.
void clntpeer(conn& c, const sockaddr_storage& stow) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (stow.ss_family == AF_INET)
        memcpy(&c.four, &reinterpret_cast<const sockaddr_in*>(&stow)->sin_addr, 4);
    if (stow.ss_family != AF_INET6) return;
    const unsigned char* six = reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in6*>(&stow)->sin6_addr);
    if (memcmp(six, mapped, 12) == 0)
        memcpy(&c.four, six + 12, 4);
    else
        memcpy(c.six.data(), six, 16);
}

// Takes the connections waiting at the listening socket. A request that came
// with its connection is read, and its answer begun, at once.
void loopaccept(listener* lstn) {
    sockaddr_storage stow;
    for (int k = 0; k < acceptmost; ++k) {
        std::uint64_t now = GetTickCount64();
        if (loopreaders() >= readroom && !loopevict(now)) {
            // Looked at again shortly: by then a request may have come of age.
            lstn->rest = now + restleast;
            return;
        }
        // Every accept may fill the whole buffer, whatever the last peer was.
        int lent = sizeof stow;
        int clnt = int(sockaccept(lstn->desc, reinterpret_cast<sockaddr*>(&stow), &lent));
        if (clnt == -1) {
            if (sockempty()) return;
            bool passing = sockpassing(), shortage = sockshort();
            sockerror("accept");
            if (!passing) exit(1);
            if (shortage) {
                lstn->rest = now + lstn->span;
                lstn->span = lstn->span * 2 < restmost ? lstn->span * 2 : restmost;
            }
            return;
        }
        lstn->span = restleast;
        conn jerk;
        jerk.desc = SOCKET(std::int64_t(clnt));
        jerk.born = jerk.last = now;
        jerk.till = now + clntpatience;
        clntpeer(jerk, stow);
        clnts().push_back(std::move(jerk));
        // What the client did before it connected is seen by its request.
        siteforget();
        loopread(clnts().size() - 1);
        loopcompact();
    }
}

}  // namespace

void loopserve(SOCKET lsock) {
    listener lstn;
    lstn.desc = lsock;
    std::vector<char> seen;
    for (;;) {
        sockset rset, wset, eset;
        setzero(&rset);
        setzero(&wset);
        setzero(&eset);
        std::uint64_t now = GetTickCount64();
        std::int64_t most = std::int64_t(int(lsock) + 1);
        seen.assign(clnts().size(), 0);
        for (std::size_t n = 0; n < clnts().size(); ++n) {
            SOCKET desc = clnts()[n].desc;
            assert(desc);
            if (std::int64_t(desc) + 1 > most) most = std::int64_t(desc) + 1;
            bool sending = clntsending(clnts()[n]);
            sockset* set = sending ? &wset : &rset;
            // An entry that finds no place this turn is not watched, and its
            // deadline waits with it.
            if (setsize(set) >= (sending ? unsigned(FD_SETSIZE_WIN) : readroom)) continue;
            setadd(set, desc);
            setadd(&eset, desc);
            seen[n] = 1;
        }
        bool listening = lstn.rest <= now;
        if (listening) setadd(&rset, lsock);
        long wait = loopwait(now, seen, lstn);
        int rslt = readywait(int(most), &rset, &wset, &eset, wait);
        if (rslt == -1) {
            sockerror("select");
            exit(1);
        }
        if (rslt == 0 && wait < 0) {
            printf("Wtf none ready?\n");
            fflush(stdout);
            exit(1);
        }
        std::uint64_t then = GetTickCount64();
        for (std::size_t n = 0; n < seen.size(); ++n)
            if (!seen[n]) clntconn(n).till += then - now;
        loopdispatch(rset, wset, eset);
        loopsweep(then);
        loopcompact();
        if (listening && setholds(&rset, lsock)) loopaccept(&lstn);
    }
}
