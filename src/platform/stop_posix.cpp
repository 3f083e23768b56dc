// The stop on POSIX: SIGTERM's handler sends a byte to a UDP socket that is
// addressed to itself; send is safe in a handler, and the byte stays until
// the loop takes it, so a signal between two waits is not lost.
#include <cerrno>
#include <csignal>

#include <arpa/inet.h>
#include <unistd.h>

#include "platform/stop.h"

namespace {

volatile sig_atomic_t asked = 0;
volatile sig_atomic_t hup = 0;
int wake = -1;

void stophear(int) {
    int keep = errno;
    asked = 1;
    send(wake, "", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = keep;
}

void huphear(int) {
    int keep = errno;
    hup = 1;
    send(wake, "", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = keep;
}

}  // namespace

bool stopwatch(SOCKET* out) {
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    wake = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr* addr = reinterpret_cast<sockaddr*>(&at);
    if (wake == -1 || bind(wake, addr, size) != 0 || getsockname(wake, addr, &size) != 0 ||
        connect(wake, addr, size) != 0)
        return false;
    // The handler gives way to the default action at once: the second SIGTERM ends the process.
    struct sigaction act = {};
    act.sa_handler = stophear;
    act.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&act.sa_mask);
    if (sigaction(SIGTERM, &act, nullptr) != 0) return false;
    *out = SOCKET(wake);
    return true;
}

bool stopasked() {
    char byte[16];
    for (int k = 0; k < 64 && recv(wake, byte, sizeof byte, MSG_DONTWAIT) >= 0; ++k) {
    }
    return asked != 0;
}

bool hupwatch() {
    struct sigaction act = {};
    act.sa_handler = huphear;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    return wake != -1 && sigaction(SIGHUP, &act, nullptr) == 0;
}

bool hupasked() {
    bool was = hup != 0;
    hup = 0;
    return was;
}
