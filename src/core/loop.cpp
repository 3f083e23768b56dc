#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/conn.h"
#include "core/loop.h"
#include "output/transmit.h"
#include "request/reception.h"

namespace {

// Milliseconds to the nearest deadline of the table, or -1 when it is empty.
long loopwait(std::uint64_t now) {
    long wait = -1;
    for (const conn& c : clnts()) {
        long left = c.till > now ? long(c.till - now) : 0;
        if (wait < 0 || left < wait) wait = left;
    }
    return wait;
}

// Ends the connections that let their deadline pass, without a response.
void loopsweep(std::uint64_t now) {
    for (std::uint64_t n = 0; n < clnts().size(); ++n)
        if (clntconn(n).desc && clntconn(n).till <= now) scrap(n);
}

void loopdispatch(const sockset& rset, const sockset& wset, const sockset& eset) {
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
            clntread(n);
            // The response starts now: the client gets its time to take it,
            // and a fresh socket has room for its start at once.
            if (clntconn(n).desc && clntsending(clntconn(n))) {
                clntconn(n).till = GetTickCount64() + clntpatience;
                clntsend(n);
            }
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

}  // namespace

void loopserve(SOCKET lsock) {
    sockaddr_storage stow;
    int lent = sizeof stow;
    for (;;) {
        sockset rset, wset, eset;
        setzero(&rset);
        setzero(&wset);
        setzero(&eset);
        std::int64_t most = std::int64_t(int(lsock) + 1);
        for (const conn& c : clnts()) {
            SOCKET desc = c.desc;
            assert(desc);
            if (std::int64_t(desc) + 1 > most) most = std::int64_t(desc) + 1;
            setadd(clntsending(c) ? &wset : &rset, desc);
            setadd(&eset, desc);
        }
        // Left out when the read set is full: accepting waits for a free slot.
        if (most != 64) setadd(&rset, lsock);
        long wait = loopwait(GetTickCount64());
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
        loopdispatch(rset, wset, eset);
        loopsweep(GetTickCount64());
        loopcompact();
        if (setholds(&rset, lsock)) {
            // Every accept may fill the whole buffer, whatever the last peer was.
            lent = sizeof stow;
            int clnt = int(sockaccept(lsock, reinterpret_cast<sockaddr*>(&stow), &lent));
            if (clnt == -1) {
                bool passing = sockpassing();
                sockerror("accept");
                if (!passing) exit(1);
            } else {
                conn jerk;
                jerk.desc = SOCKET(std::int64_t(clnt));
                jerk.till = GetTickCount64() + clntpatience;
                // Kept for the log line: no second call is needed to ask for it.
                if (stow.ss_family == AF_INET)
                    memcpy(&jerk.four, &reinterpret_cast<sockaddr_in*>(&stow)->sin_addr, 4);
                clnts().push_back(std::move(jerk));
            }
        }
    }
}
