// The stop on Windows: the console's control handler runs on a thread of its
// own and sends a byte to a UDP socket addressed to itself; the byte stays
// until the loop takes it, so a request between two waits is not lost.
#include <atomic>

#include "platform/stop.h"

namespace {

std::atomic<bool> asked(false);
SOCKET wake = INVALID_SOCKET;

BOOL WINAPI stophear(DWORD kind) {
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && kind != CTRL_CLOSE_EVENT) return FALSE;
    // The second request goes on to the system's handler, which ends the process.
    if (asked.exchange(true)) return FALSE;
    send(wake, "", 1, 0);
    // After a close the system ends the process as soon as this returns, or
    // some seconds later anyway: the loop has until then.
    if (kind == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

}  // namespace

bool stopwatch(SOCKET* out) {
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof at;
    wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr* addr = reinterpret_cast<sockaddr*>(&at);
    u_long none = 1;
    if (wake == INVALID_SOCKET || bind(wake, addr, size) != 0 || getsockname(wake, addr, &size) != 0 ||
        connect(wake, addr, size) != 0 || ioctlsocket(wake, FIONBIO, &none) != 0 ||
        !SetConsoleCtrlHandler(stophear, TRUE))
        return false;
    *out = wake;
    return true;
}

bool stopasked() {
    char byte[16];
    for (int k = 0; k < 64 && recv(wake, byte, sizeof byte, 0) != SOCKET_ERROR; ++k) {
    }
    return asked;
}

// Windows sends no SIGHUP: the certificates are looked at by the clock alone.
bool hupwatch() {
    return true;
}

bool hupasked() {
    return false;
}
