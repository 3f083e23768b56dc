// The process-wide values fixed at start-up.
#pragma once
#include <cstdint>
#include <string>

// The served directory: the working directory at start, less a trailing "/".
std::string& root();
// The listening port, as the low 16 bits of the command line's number.
std::uint16_t& port();
// The --web mode: answers as today's browsers and download tools expect.
bool& web();
// The line terminator of the protocol.
extern const std::string crlf;
