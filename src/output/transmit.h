// The send step: as much of a connection's pending response as its socket
// takes, within a budget per turn.
#pragma once
#include <cstdint>

#include "core/conn.h"
#include "output/answer.h"

// The most one connection sends in one turn, over all its answers, so that a
// client on a fast link cannot keep the others waiting.
const std::int64_t sendbudget = 1024 * 1024;
// Sends; the bytes it sent.
std::int64_t clntsend(std::uint64_t i);
// Sends while spent, the bytes the connection sent this turn, is under the budget.
void clntsendon(std::uint64_t i, std::int64_t* spent);
// Leaves a --web answer on the entry as HTTP/1.1 sends it: the header's text
// and the body behind it, from memory or from its file. The connection stays
// for the next request when the header says so.
void clntanswer(conn& c, answer r);
