// The readiness loop: one wait per turn over every connection and the
// listening sockets. Returns only through a fatal path, with exit code 1.
#pragma once
#include <vector>

#include "platform/net.h"

[[noreturn]] void loopserve(const std::vector<SOCKET>& lsocks);
