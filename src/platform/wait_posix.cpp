// The wait on Linux: the sets, or epoll, which keeps the watched sockets in
// the kernel and is told only when what one of them waits for changes.
#include <cerrno>

#include <sys/epoll.h>
#include <unistd.h>

#include "platform/sets.h"
#include "platform/wait.h"

struct waiter {
    bool capped;
    caps sets;
    int epfd;
};

waiter* waitmake(bool capped) {
    int epfd = capped ? -1 : epoll_create1(EPOLL_CLOEXEC);
    if (!capped && epfd == -1) return nullptr;
    return new waiter{capped, caps(), epfd};
}

void waitwant(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was, waitfor what) {
    if (w->capped) return capswant(&w->sets, s, tokn, what);
    // Reading, draining and listening are the same to epoll.
    std::uint32_t bits = what == waitwrite ? EPOLLOUT : EPOLLIN;
    if (was == what || (was != waitnone && what != waitnone && bits == (was == waitwrite ? EPOLLOUT : EPOLLIN)))
        return;
    // Level-triggered: a handler that leaves bytes or room behind hears of
    // them again in the next wait. Out-of-band data is not watched: it would
    // stay ready, unread, for ever.
    epoll_event e = {};
    e.events = bits;
    e.data.u64 = tokn;
    int op = was == waitnone ? EPOLL_CTL_ADD : what == waitnone ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    epoll_ctl(w->epfd, op, int(s), &e);
}

void waitgone(waiter* w, SOCKET s, std::uint64_t tokn, waitfor was) {
    // A closed socket has left epoll already; the sets still hold it.
    if (w->capped) waitwant(w, s, tokn, was, waitnone);
}

int waitpoll(waiter* w, long wait, std::vector<fired>* out, std::vector<std::uint64_t>* left) {
    if (w->capped) return capspoll(&w->sets, wait, out, left);
    // Those not taken in one turn are ready again in the next.
    epoll_event got[512];
    int rslt;
    do rslt = epoll_wait(w->epfd, got, 512, int(wait));
    while (rslt == -1 && errno == EINTR);
    for (int k = 0; k < rslt; ++k) {
        std::uint32_t ev = got[k].events;
        const std::uint32_t gone = EPOLLERR | EPOLLHUP;
        out->push_back(fired{got[k].data.u64, (ev & (EPOLLIN | gone)) != 0, (ev & (EPOLLOUT | gone)) != 0, false});
    }
    return rslt;
}
