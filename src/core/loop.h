// The readiness loop: one wait per cycle over every connection and the
// listening socket. Returns only through a fatal path, with exit code 1.
#pragma once
#include "platform/net.h"

[[noreturn]] void loopserve(SOCKET lsock);
