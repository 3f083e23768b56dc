// The readiness loop: one wait per turn over every connection and the
// listening sockets. Returns only through exit: 1 on a fatal failure, 0
// once a stop asked in --web is done.
#pragma once
#include <vector>

#include "platform/net.h"

// lsocks listen for plain HTTP, tsocks (--web --certs) for HTTPS.
[[noreturn]] void loopserve(const std::vector<SOCKET>& lsocks, const std::vector<SOCKET>& tsocks);
