// The send step: as much of a connection's pending response as its socket
// takes, within a budget per turn.
#pragma once
#include <cstdint>

// The most one connection sends in one turn, over all its answers, so that a
// client on a fast link cannot keep the others waiting.
const std::int64_t sendbudget = 1024 * 1024;
// Sends; the bytes it sent.
std::int64_t clntsend(std::uint64_t i);
// Sends while spent, the bytes the connection sent this turn, is under the budget.
void clntsendon(std::uint64_t i, std::int64_t* spent);
