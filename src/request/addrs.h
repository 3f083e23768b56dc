// IP addresses as text, as a Host field or a PROXY header writes them.
#pragma once
#include <cstdint>
#include <string>

// A dotted IPv4 address, four decimal octets of at most three digits, into
// its bytes in network order; false when s is none.
bool fourread(const std::string& s, std::uint8_t quad[4]);
// An IPv6 address of RFC 4291's text forms (hex groups, one "::" at most, an
// IPv4 address at its end) into its bytes in network order; false when s is
// none.
bool sixread(const std::string& s, std::uint8_t six[16]);
