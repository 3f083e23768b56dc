// The combined log line analyzers read (GoAccess, AWStats, fail2ban), as
// nginx writes it, and its vhost form, as Apache's vhost_combined writes it.
#pragma once
#include <cstdint>
#include <string>

// What a combined line says of one answered request.
struct logged {
    std::string addr;         // the client, as text
    std::string site;         // vcombined: "site:port" in front; empty for combined
    std::int64_t when = 0;    // the answer's time, seconds since 1970
    std::string line;         // the request line as received, without its end; empty when none came
    int code = 0;
    std::int64_t size = 0;    // the body's bytes the answer carries
    std::string refer, agent; // Referer and User-Agent; empty when none came
};

// A field as nginx escapes it: '"', '\', control bytes and bytes of 0x7f
// and above as \xHH, upper-case hex, so that no client can end a field or
// the line.
std::string logescape(std::string text);
// An IPv4 address in network order, dotted as analyzers read it: 127.0.0.1.
std::string logfour(const unsigned char four[4]);
// 'ADDR - - [09/Dec/2026:18:24:04 +0000] "LINE" CODE SIZE "REFER" "AGENT"'
// and its line feed, in UTC; an empty line, referer or agent is "-".
std::string logcombined(const logged& l);
