// The wait on Windows: the sets, or WSAPoll over one array that lives from
// wait to wait and changes only when what a socket waits for changes.
#include <unordered_map>

#include "platform/sets.h"
#include "platform/wait.h"

struct waiter {
    bool capped;
    caps sets;
    std::vector<WSAPOLLFD> fds;
    std::vector<std::uint64_t> tokn;                 // beside fds
    std::unordered_map<std::uint64_t, std::size_t> at;  // token to its place in fds
};

waiter* waitmake(bool capped) {
    return new waiter{capped, caps(), {}, {}, {}};
}

void waitwant(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was, waitfor what) {
    if (w->capped) return capswant(&w->sets, s, tokn, what);
    if (was == what) return;
    // No POLLPRI: WSAPoll refuses the whole call for it.
    short bits = what == waitwrite ? POLLWRNORM : POLLRDNORM;
    if (was == waitnone) {
        w->at[tokn] = w->fds.size();
        w->fds.push_back(WSAPOLLFD{s, bits, 0});
        w->tokn.push_back(tokn);
        return;
    }
    std::size_t k = w->at[tokn];
    if (what != waitnone) {
        w->fds[k].events = bits;
        return;
    }
    // The last entry takes the place of the one that goes.
    w->at.erase(tokn);
    if (k + 1 < w->fds.size()) {
        w->fds[k] = w->fds.back();
        w->tokn[k] = w->tokn.back();
        w->at[w->tokn[k]] = k;
    }
    w->fds.pop_back();
    w->tokn.pop_back();
}

void waitgone(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was) {
    // WSAPoll's list is the program's own: the socket leaves it here.
    waitwant(w, s, tokn, was, waitnone);
}

int waitpoll(waiter* w, long wait, std::vector<fired>* out, std::vector<std::uint64_t>* left) {
    if (w->capped) return capspoll(&w->sets, wait, out, left);
    if (w->fds.empty()) {
        // WSAPoll refuses an empty array: the wait is only for the time.
        Sleep(wait < 0 ? INFINITE : DWORD(wait));
        return 0;
    }
    int rslt = WSAPoll(w->fds.data(), ULONG(w->fds.size()), int(wait));
    if (rslt <= 0) return rslt;
    for (std::size_t k = 0; k < w->fds.size(); ++k) {
        short ev = w->fds[k].revents;
        if (ev == 0) continue;
        const short gone = POLLERR | POLLHUP | POLLNVAL;
        out->push_back(fired{w->tokn[k], (ev & (POLLRDNORM | gone)) != 0, (ev & (POLLWRNORM | gone)) != 0, false});
    }
    return int(out->size());
}
