// The system's request to stop: SIGTERM on POSIX; Ctrl+C, Ctrl+Break or the
// console's close on Windows. The loop hears of it through a socket, which
// wakes its wait like a newcomer does whatever else the wait is watching.
#pragma once
#include "platform/net.h"

// Installs the handler and gives the socket it makes readable on the first
// request; false (with the cause for sockerror) when it cannot. The second
// request ends the process at once, as it would have without the handler.
bool stopwatch(SOCKET* wake);
// Takes what the socket holds; whether a stop was asked. A datagram from
// elsewhere wakes the wait, and only that.
bool stopasked();
// SIGHUP (POSIX only) wakes the same socket: the certificates are looked at
// at once. False when the handler cannot be installed.
bool hupwatch();
// Whether a SIGHUP came since the last call.
bool hupasked();
