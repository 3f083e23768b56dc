// The send step: one send per call of a connection's pending response.
#pragma once
#include <cstdint>

void clntsend(std::uint64_t i);
