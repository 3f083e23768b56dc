#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/conn.h"
#include "core/loop.h"
#include "core/times.h"
#include "core/world.h"
#include "dispatch/press.h"
#include "dispatch/serve.h"
#include "output/transmit.h"
#include "platform/pages.h"
#include "platform/stop.h"
#include "platform/wait.h"
#include "request/reception.h"
#include "tls/certs.h"
#include "wire/duo.h"

namespace {

// An unfinished request may be ended for a newcomer only once it has been
// watched this long: it has had its chance to get going.
const std::uint64_t evictage = 2000;
// After an accept that failed for want of descriptors or memory, the waiting
// connection keeps the listening socket ready: it is left out of the wait for
// a while, longer each time it fails again.
const std::uint64_t restleast = 100;
const std::uint64_t restmost = 1000;
// Connections taken from one backlog in one turn: in --web a burst of
// newcomers is not left in the backlog while the others are served.
const int acceptmost = 16;
const int acceptmostweb = 128;
// The wait knows a listening socket by this plus its place; a connection by its slot.
const std::uint64_t lstnbase = std::uint64_t(1) << 62;
// The socket that tells of a stop, beyond every listening socket's place.
const std::uint64_t stoptokn = ~std::uint64_t(0);
// The most bytes of answers to pipelined requests gathered for one send.
const std::size_t gathermost = 64 * 1024;
// The time given a turn to the files queued for compression (us): as much
// as the turn gave the connections, within these, so that a slow turn does
// not starve them and a fast one does not wait behind them.
const std::int64_t pressturn = 3000;
const std::int64_t pressturnmost = 10000;
// How long the answers on their way may take to finish once a stop is asked.
const std::uint64_t stopbound = 10000;
// Once this many connections have ended since the most there were, the
// heap's free pages go back to the system: the runtime would keep them,
// scattered among the blocks still in use, for a wave that may never come.
// The trim waits a while after that, for the rest of the wave to end.
const std::int64_t waveleast = 1000;
const std::uint64_t wavegone = 1000;
// --web: connection records made at once when every one is taken.
const std::uint64_t slotbatch = 64;

// A listening socket and when it is watched again.
struct listener {
    SOCKET desc;
    std::uint64_t rest = 0;          // clock time before which it is not watched
    std::uint64_t span = restleast;  // the next rest after a failed accept
    waitfor wait = waitnone;         // waitlisten while watched
    bool tls = false;                // its connections begin with a TLS handshake
};

// The lines a connection may stand in, to be ended for a newcomer in this
// order: kept connections between requests, unfinished requests, lingering closes.
enum lineof : std::uint8_t { linenone, lineidle, linequiet, lineling };

// What the loop keeps beside each slot's record: what the wait knows of it.
struct spot {
    SOCKET desc = 0;          // the socket the wait knows the slot by
    waitfor wait = waitnone;  // what the wait was last told
    lineof line = linenone;   // the line it stands in
    std::uint64_t seen = 0;   // clock time of the first turn it was watched; 0 before
    std::uint64_t last = 0;   // the record's time of its last byte, when last looked at
    bool again = false;       // read next turn whatever the wait says: its TLS holds bytes
};

struct loopdata {
    waiter* wait = nullptr;
    bool capped = true;      // the 64-handle sets of the default mode
    std::int64_t room = 0;   // --web: connections at most
    std::vector<listener> lstn;
    std::vector<spot> spots;           // beside clnts()
    std::vector<std::uint64_t> free;   // slots whose connection ended
    std::vector<std::uint64_t> fresh;  // slots not yet watched in a turn
    std::vector<std::uint64_t> ready;  // --web: slots whose answer is made, to be sent this turn
    std::vector<std::uint64_t> again;  // --web: slots to read next turn, as if the wait had said so
    dues due;                          // every connection's deadline
    queue lines[4];                    // by lineof: idle the longest, the most silent, the oldest first
    std::int64_t live = 0, reading = 0, draining = 0;
    std::int64_t crest = 0;   // --web: the most live at once since the heap was last trimmed
    std::uint64_t trimat = 0; // clock time of the trim a wave's end asks for; 0 when none is due
    SOCKET stop = 0;          // --web: readable once a stop is asked
    std::uint64_t stopby = 0; // clock time by which the stop ends the process; 0 before
};

// Once a stop is asked, a connection that is not sending an answer ends: an
// idle or unfinished one, a lingering close, and one whose answer is out, so
// no new request starts. One that sends has until the stop's bound. True
// when slot n ended.
bool loopquits(const loopdata& l, std::uint64_t n) {
    conn& c = clntconn(n);
    if (!l.stopby || c.desc == 0) return false;
    // An HTTP/2 client is told which streams are taken; those finish.
    if (c.two && !clntlingering(c)) duostop(n);
    if (c.desc == 0) return true;
    if (clntsending(c) || (c.two && c.busy > 0 && !clntlingering(c))) {
        c.till = std::min(c.till, l.stopby);
        return false;
    }
    // What the client sent is read first: a reset would take an answer it has not read yet with it.
    hangup(n, clntlingering(c) ? c.shut : "close");
    return true;
}

// Puts slot n in the line its record and its wait call for. A request that
// got a byte goes to the end of the silent ones.
void loopline(loopdata& l, std::uint64_t n) {
    const conn& c = clntconn(n);
    spot& s = l.spots[n];
    lineof line = s.wait == waitdrain                 ? lineling
                  : s.wait != waitread || !s.seen     ? linenone
                  : clntidle(c)                       ? lineidle
                                                      : linequiet;
    if (line == s.line && !(line == linequiet && c.last != s.last)) return;
    quedrop(&l.lines[s.line], n);
    if (line != linenone) queback(&l.lines[line], n);
    s.line = line;
}

// Tells the wait what slot n waits for now and keeps its deadline and its
// place in line; frees the slot of an ended connection. Called after
// anything that may have changed the record.
void loopsync(loopdata& l, std::uint64_t n) {
    conn& c = clntconn(n);
    spot& s = l.spots[n];
    if (s.desc == 0) return;
    loopquits(l, n);
    waitfor want = c.desc ? clntwaits(c) : waitnone;
    if (want != s.wait) {
        if (c.desc == 0)
            waitgone(l.wait, s.desc, n, s.wait);
        else
            waitwant(l.wait, s.desc, n, s.wait, want);
        l.reading += (want == waitread) - (s.wait == waitread);
        l.draining += (want == waitdrain) - (s.wait == waitdrain);
        s.wait = want;
    }
    // Bytes the TLS took off the socket are read without waiting for it.
    if (want == waitread && c.more && !s.again) {
        s.again = true;
        l.again.push_back(n);
    }
    loopline(l, n);
    if (c.desc == 0) {
        duedrop(&l.due, n);
        l.free.push_back(n);
        --l.live;
        s = spot();
        return;
    }
    s.last = c.last;
    dueset(&l.due, n, c.till);
}

// Answers to requests already received leave together while they are small:
// a small answer of a connection that stays, with a whole request behind it,
// waits for that one's and goes out in the same send.
void loopgather(const loopdata& l, std::uint64_t n) {
    for (;;) {
        conn& c = clntconn(n);
        if (l.stopby || c.mode != 2 || !c.keep || c.left != std::int64_t(c.buff.size()) ||
            c.buff.size() > gathermost || !restwhole(c.rest))
            return;
        std::string held;
        held.swap(c.buff);
        clntnext(n);
        clntrest(n);
        assert(c.desc && clntsending(c));
        if (c.mode == 2) {
            held += c.buff;
            c.buff.swap(held);
            c.left = std::int64_t(c.buff.size());
        } else {
            held += c.head;
            c.head.swap(held);
        }
    }
}

// Sends slot n's answer; a kept connection then takes the requests already
// received behind it, one after another while the turn's budget lasts. The
// next one is dispatched even when the budget is spent: the wait knows
// nothing of bytes already read, but sees an answer waiting to be sent.
void loopanswer(const loopdata& l, std::uint64_t n) {
    std::int64_t spent = 0;
    if (clntconn(n).two) {
        logflush();
        return duosend(n, &spent);
    }
    loopgather(l, n);
    logflush();
    clntsendon(n, &spent);
    for (;;) {
        conn& c = clntconn(n);
        if (c.desc == 0 || clntsending(c) || clntlingering(c) || c.rest.empty() || loopquits(l, n)) return;
        clntrest(n);
        if (c.desc == 0 || !clntsending(c) || spent >= sendbudget) return;
        c.till = GetTickCount64() + clntpatience;
        loopgather(l, n);
        logflush();
        clntsendon(n, &spent);
    }
}

// Receives on slot n; once its request is complete its answer starts at
// once, in the same turn: a fresh socket has room for its start. From then
// on the client has its time to take it. In --web the answer waits for the
// end of the turn's reading, so that the turn's log lines leave first, in one
// write, each before its answer: it joins the ready ones, and is not told to
// the wait while it may be out before the turn ends.
void loopread(loopdata& l, std::uint64_t n) {
    clntread(n);
    if (clntconn(n).desc && clntsending(clntconn(n))) {
        // HTTP/2 keeps its own time: frames to send are not a request.
        if (!clntconn(n).two) clntconn(n).till = GetTickCount64() + clntpatience;
        if (!l.capped) return l.ready.push_back(n);
        loopanswer(l, n);
    }
    loopsync(l, n);
}

// Writes the log lines gathered, then sends the answers made ready.
void loopsend(loopdata& l) {
    logflush();
    for (std::uint64_t n : l.ready) {
        loopanswer(l, n);
        loopsync(l, n);
    }
    l.ready.clear();
}

// A connection that found no place in the wait keeps its deadline waiting;
// one that did is watched from now on, and its silence counts from now.
void loopnotice(loopdata& l, const std::vector<std::uint64_t>& left, std::uint64_t now, std::uint64_t then) {
    for (std::uint64_t n : left)
        if (n < lstnbase) {
            clntconn(n).till += then - now;
            dueset(&l.due, n, clntconn(n).till);
        }
    std::vector<std::uint64_t> still;
    for (std::uint64_t n : l.fresh) {
        spot& s = l.spots[n];
        if (clntconn(n).desc == 0 || s.seen) continue;
        if (std::find(left.begin(), left.end(), n) != left.end()) {
            still.push_back(n);
            continue;
        }
        s.seen = now;
        loopline(l, n);
    }
    l.fresh.swap(still);
}

void loopdispatch(loopdata& l, const std::vector<fired>& got) {
    siteforget();
    for (const fired& f : got) {
        std::uint64_t n = f.tokn;
        if (n >= lstnbase || clntconn(n).desc == 0) continue;
        conn& c = clntconn(n);
        waitfor was = l.spots[n].wait;
        if (f.fail) {
            if (c.fptr != filenone && fileshut(c.fptr) != 0) {
                perror("close99");
                exit(1);
            }
            c.fptr = filenone;
            closesocket(c.desc);
            wipe(n);
        } else if (was == waitwrite && f.write && c.hold && !clntsending(c)) {
            // A TLS that had to write before it could read goes on reading.
            loopread(l, n);
            continue;
        } else if (was == waitwrite && f.write) {
            // An HTTP/2 client may speak while it is sent to: a reset, a
            // window, a request. What it said is read before sending on.
            if (c.two) clntread(n);
            if (c.desc && clntsending(c)) loopanswer(l, n);
        } else if (was == waitdrain && f.read) {
            lingerread(n);
        } else if (was == waitread && f.read) {
            loopread(l, n);
            continue;
        }
        loopsync(l, n);
    }
    loopsend(l);
}

// Ends the connections that let their deadline pass: without a response, or
// when their lingering is over.
void loopsweep(loopdata& l, std::uint64_t now) {
    while (!l.due.heap.empty() && duenext(l.due).first <= now) {
        std::uint64_t n = duenext(l.due).second;
        if (clntlingering(clntconn(n)))
            lingerend(n);
        else
            scrap(n);
        loopsync(l, n);
    }
}

// Makes room for a newcomer: ends the kept connection idle the longest, or
// else the unfinished request that has gone longest without a byte, among
// those watched long enough to have had their chance, or else (if that
// helps) the longest lingering close. An answer on its way is never cut.
// False when nothing may be ended now.
bool loopevict(loopdata& l, std::uint64_t now, bool lingertoo) {
    if (l.lines[lineidle].head != quenone) {
        std::uint64_t n = l.lines[lineidle].head;
        hangup(n, "close");
        loopsync(l, n);
        return true;
    }
    // The line is in order of silence: those passed over were watched only
    // lately, and are as many as came in the last two seconds.
    const queue& quiet = l.lines[linequiet];
    for (std::uint64_t n = quiet.head; n != quenone; n = quiet.next[n])
        if (l.spots[n].seen + evictage <= now) {
            scrap(n);
            loopsync(l, n);
            return true;
        }
    std::uint64_t n = l.lines[lineling].head;
    if (!lingertoo || n == quenone) return false;
    lingerend(n);
    loopsync(l, n);
    return true;
}

// Whether a newcomer may be taken now, once room is made if it must and may
// be. In
// the sets, a newcomer must find a place to read in its first turn, where
// lingering closes give way to it; in --web the bound is the descriptors.
bool loophasroom(loopdata& l, std::uint64_t now, bool evict) {
    const std::int64_t room = waitroom;
    if (l.capped) return l.reading + l.draining < room || (evict && loopevict(l, now, l.reading < room));
    return l.live < l.room || (evict && loopevict(l, now, true));
}

void loopidle(loopdata& l, std::size_t k, std::uint64_t until) {
    listener& s = l.lstn[k];
    waitwant(l.wait, s.desc, lstnbase + k, s.wait, waitnone);
    s.wait = waitnone;
    s.rest = until;
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

std::uint64_t loopslot(loopdata& l) {
    if (l.free.empty()) {
        // Records are made some at a time, side by side: one made alone
        // among a connection's TLS blocks would keep their page from the
        // system once the wave has gone. The lowest slot is taken first.
        std::uint64_t made = clnts().size(), more = l.capped ? 1 : slotbatch;
        for (std::uint64_t k = 0; k < more; ++k) {
            clnts().emplace_back();
            l.spots.emplace_back();
            l.free.push_back(made + more - 1 - k);
        }
    }
    std::uint64_t n = l.free.back();
    l.free.pop_back();
    return n;
}

// Takes the connections waiting at listening socket k. A request that came
// with its connection is read, and its answer begun, at once.
void loopaccept(loopdata& l, std::size_t k) {
    sockaddr_storage stow;
    for (int a = 0; a < (l.capped ? acceptmost : acceptmostweb); ++a) {
        std::uint64_t now = GetTickCount64();
        // Only the first newcomer of a turn is known to be there: a later
        // one that needs room waits for the next turn to report it.
        if (a > 0 && !loophasroom(l, now, false)) return;
        if (!loophasroom(l, now, true)) {
            // Looked at again shortly: by then a request may have come of age.
            return loopidle(l, k, now + restleast);
        }
        listener& s = l.lstn[k];
        // Every accept may fill the whole buffer, whatever the last peer was.
        int lent = sizeof stow;
        int clnt = int(sockaccept(s.desc, reinterpret_cast<sockaddr*>(&stow), &lent));
        if (clnt == -1) {
            if (sockempty()) return;
            bool passing = sockpassing(), shortage = sockshort();
            sockerror("accept");
            if (!passing) exit(1);
            if (shortage) {
                std::uint64_t span = s.span;
                s.span = span * 2 < restmost ? span * 2 : restmost;
                loopidle(l, k, now + span);
            }
            return;
        }
        s.span = restleast;
        // The handshake's flights, the tickets behind it and each answer's
        // records are whole writes: none may wait for the acknowledgement of
        // the one before.
        if (s.tls) socknodelay(SOCKET(std::int64_t(clnt)));
        std::uint64_t n = loopslot(l);
        conn& c = clntconn(n);
        wipe(n);
        c.desc = SOCKET(std::int64_t(clnt));
        c.last = now;
        c.till = now + clntpatience;
        clntpeer(c, stow);
        c.seal = s.tls;
        c.veil = proxyon();
        l.spots[n].desc = c.desc;
        ++l.live;
        l.crest = std::max(l.crest, l.live);
        l.fresh.push_back(n);
        // What the client did before it connected is seen by its request.
        siteforget();
        loopread(l, n);
    }
}

// The stop at the system's request: no newcomer is taken and no request
// read; the process ends with 0 once the answers on their way are out, or
// ended at the bound.
void loopstop(loopdata& l, const std::vector<fired>& got, std::uint64_t now) {
    for (const fired& f : got)
        if (f.tokn == stoptokn && hupasked()) certsnudge();
    for (const fired& f : got)
        if (f.tokn == stoptokn && stopasked() && !l.stopby) {
            l.stopby = now + stopbound;
            for (std::size_t k = 0; k < l.lstn.size(); ++k) {
                waitwant(l.wait, l.lstn[k].desc, lstnbase + k, l.lstn[k].wait, waitnone);
                closesocket(l.lstn[k].desc);
            }
            l.lstn.clear();
            for (std::uint64_t n = 0; n < l.spots.size(); ++n) loopsync(l, n);
        }
    if (l.stopby && l.live == 0) exit(0);
}

// --web: gives the heap's free pages back once a wave of connections has
// gone, and the ones behind it have had a while to go too.
void looptrim(loopdata& l, std::uint64_t now) {
    if (l.capped) return;
    if (!l.trimat && l.crest - l.live >= waveleast) l.trimat = now + wavegone;
    if (!l.trimat || now < l.trimat) return;
    pagestrim();
    l.trimat = 0;
    l.crest = l.live;
}

}  // namespace

void loopserve(const std::vector<SOCKET>& lsocks, const std::vector<SOCKET>& tsocks) {
    loopdata l;
    l.capped = !web();
    l.room = l.capped ? 0 : std::int64_t(sockroom());
    l.wait = waitmake(l.capped);
    if (!l.wait) {
        sockerror("select");
        exit(1);
    }
    for (SOCKET desc : lsocks) l.lstn.push_back(listener{desc});
    for (SOCKET desc : tsocks) l.lstn.push_back(listener{desc, 0, restleast, waitnone, true});
    if (!l.capped && !stopwatch(&l.stop)) {
        sockerror("stop");
        exit(1);
    }
    if (!l.capped) waitwant(l.wait, l.stop, stoptokn, waitnone, waitlisten);
    // SIGHUP asks --web to look at its certificates, and does nothing else:
    // a reload of the service never ends it.
    if (!l.capped && !hupwatch()) {
        sockerror("sighup");
        exit(1);
    }
    if (!l.capped) {
        // The log of a turn leaves in one write, unbuffered by the runtime
        // so that it is not cut; the process never ends without it.
        setvbuf(stdout, nullptr, _IONBF, 0);
        atexit(logflush);
    }
    std::vector<fired> got;
    std::vector<std::uint64_t> left;
    bool pressing = false;
    for (;;) {
        std::uint64_t now = GetTickCount64();
        // Files still being compressed, and bytes a TLS holds, go on at
        // once, between the waits.
        long wait = pressing || !l.again.empty() ? 0 : -1;
        for (std::size_t k = 0; k < l.lstn.size(); ++k) {
            listener& s = l.lstn[k];
            if (s.wait == waitnone && s.rest <= now) {
                waitwant(l.wait, s.desc, lstnbase + k, waitnone, waitlisten);
                s.wait = waitlisten;
            }
            if (s.wait == waitnone && (wait < 0 || long(s.rest - now) < wait)) wait = long(s.rest - now);
        }
        if (l.trimat && wait != 0) {
            long away = l.trimat > now ? long(l.trimat - now) : 0;
            if (wait < 0 || away < wait) wait = away;
        }
        if (!l.due.heap.empty() && wait != 0) {
            std::uint64_t till = duenext(l.due).first;
            long away = till > now ? long(till - now) : 0;
            if (wait < 0 || away < wait) wait = away;
        }
        long quiet = duoquiet(now);
        if (quiet >= 0 && (wait < 0 || quiet < wait)) wait = quiet;
        got.clear();
        left.clear();
        int rslt = waitpoll(l.wait, wait, &got, &left);
        if (rslt == -1) {
            sockerror("select");
            exit(1);
        }
        if (rslt == 0 && wait < 0) {
            printf("Wtf none ready?\n");
            fflush(stdout);
            exit(1);
        }
        for (std::uint64_t n : l.again)
            if (l.spots[n].again) {
                l.spots[n].again = false;
                got.push_back(fired{n, true, false, false});
            }
        l.again.clear();
        std::uint64_t then = GetTickCount64();
        if (!tsocks.empty()) certscheck(then);
        loopnotice(l, left, now, then);
        loopdispatch(l, got);
        loopsweep(l, then);
        for (const fired& f : got)
            if (f.tokn >= lstnbase && f.tokn != stoptokn && f.read && l.lstn[f.tokn - lstnbase].wait == waitlisten)
                loopaccept(l, std::size_t(f.tokn - lstnbase));
        loopsend(l);
        // A slice of the files queued for compression a turn: a few ms, so
        // that no answer waits long behind it.
        if (!l.capped) {
            std::int64_t took = std::int64_t(GetTickCount64() - then) * 1000;
            pressing = presswork(took < pressturn ? pressturn : took > pressturnmost ? pressturnmost : took);
        }
        looptrim(l, then);
        loopstop(l, got, then);
    }
}
