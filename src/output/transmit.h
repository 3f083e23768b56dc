// The send step: as much of a connection's pending response as its socket
// takes, within a budget per turn.
#pragma once
#include <cstdint>

void clntsend(std::uint64_t i);
