// The dispatcher: the response to a request whose host line has arrived.
#pragma once
#include <cstdint>

void clntserv(std::uint64_t i);
