// The 64-handle sets as a backend of the wait, the same on every system: the
// sockets in the order they were registered, placed afresh in each wait.
#pragma once
#include <vector>

#include "platform/wait.h"

struct capsentry {
    SOCKET desc;
    std::uint64_t tokn;
    waitfor what;
};

struct caps {
    std::vector<capsentry> list;  // in the order registered: the order of service
};

void capswant(caps* c, SOCKET s, std::uint64_t tokn, waitfor what);
int capspoll(caps* c, long wait, std::vector<fired>* out, std::vector<std::uint64_t>* left);
