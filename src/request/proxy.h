// The PROXY header a balancer sends before the client's first byte (HAProxy's
// send-proxy and send-proxy-v2): the address the client connected from. Read
// from the bytes received so far, which may stop anywhere in it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

enum veil {
    veilmore,   // a header so far: more bytes must come
    veilbad,    // no header, or a broken one: the connection ends unanswered
    veillocal,  // the balancer's own connection (LOCAL, UNKNOWN, UNSPEC): its address stands
    veilfour,   // an IPv4 client, in four
    veilsix,    // an IPv6 client, in six
};

struct proxied {
    veil fate = veilmore;
    std::size_t took = 0;                // the header's bytes once whole; those behind are the client's
    std::uint32_t four = 0;              // network order, as an accepted address is kept
    std::array<std::uint8_t, 16> six{};
};

// A v1 header is one line of at most this many bytes, its CR LF included.
const std::size_t veilline = 107;

// What the first bytes of a connection make of its header: a v1 line
// ("PROXY TCP4 src dst sport dport\r\n", TCP6, or UNKNOWN and anything) or a
// v2 block (its signature, version 2, LOCAL or PROXY, a family, a length, the
// addresses and TLVs, which are skipped). An IPv4 client named by an IPv6
// mapped address is the IPv4 client it is. A stream of bytes that cannot
// begin a header is bad at once: nothing is waited for.
proxied proxyread(const std::string& have);
