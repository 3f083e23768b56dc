#include <cstring>
#include <vector>

#include "request/addrs.h"
#include "request/proxy.h"

namespace {

const char veilone[] = "PROXY ";
const std::size_t veilonesize = sizeof veilone - 1;
const char veiltwo[] = "\r\n\r\n\0\r\nQUIT\n";
const std::size_t veiltwosize = sizeof veiltwo - 1;

// The v2 block's fixed part: the signature, version and command, family,
// and the length of what follows.
const std::size_t veilhead = 16;

bool digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool portok(const std::string& s) {
    return digits(s) && s.size() <= 5 && std::stol(s) <= 65535;
}

// The client's address from network-order bytes; a mapped IPv4 one as IPv4.
void proxyaddr(proxied* p, const std::uint8_t* addr, bool wide) {
    static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (wide && memcmp(addr, mapped, 12) != 0) {
        p->fate = veilsix;
        memcpy(p->six.data(), addr, 16);
        return;
    }
    p->fate = veilfour;
    memcpy(&p->four, wide ? addr + 12 : addr, 4);
}

// "TCP4 src dst sport dport", "TCP6 ...", or "UNKNOWN" and anything: the
// line between "PROXY " and its CR LF.
proxied lineread(const std::string& line) {
    proxied p;
    p.fate = veilbad;
    if (line == "UNKNOWN" || line.compare(0, 8, "UNKNOWN ") == 0) {
        p.fate = veillocal;
        return p;
    }
    std::vector<std::string> words;
    for (std::size_t from = 0; from <= line.size();) {
        std::size_t upto = line.find(' ', from);
        if (upto == std::string::npos) upto = line.size();
        words.push_back(line.substr(from, upto - from));
        from = upto + 1;
    }
    if (words.size() != 5 || (words[0] != "TCP4" && words[0] != "TCP6") || !portok(words[3]) || !portok(words[4]))
        return p;
    std::uint8_t from[16], to[16];
    bool wide = words[0] == "TCP6";
    if (wide ? !sixread(words[1], from) || !sixread(words[2], to) : !fourread(words[1], from) || !fourread(words[2], to))
        return p;
    proxyaddr(&p, from, wide);
    return p;
}

// Whether the bytes so far could still be the start of the given text.
bool maybe(const std::string& have, const char* text, std::size_t size) {
    return memcmp(have.data(), text, have.size() < size ? have.size() : size) == 0;
}

proxied blockread(const std::string& have) {
    proxied p;
    auto byte = [&](std::size_t k) { return std::uint8_t(have[k]); };
    // Version 2, and a command: LOCAL (0) or PROXY (1).
    if (have.size() > 12 && byte(12) != 0x20 && byte(12) != 0x21) p.fate = veilbad;
    if (have.size() < veilhead || p.fate == veilbad) return p;
    std::size_t size = veilhead + (std::size_t(byte(14)) << 8 | byte(15));
    if (have.size() < size) return p;
    p.took = size;
    std::uint8_t family = byte(13);
    if (byte(12) == 0x20 || family == 0x00) {
        p.fate = veillocal;
    } else if (family == 0x11 && size >= veilhead + 12) {
        proxyaddr(&p, reinterpret_cast<const std::uint8_t*>(have.data()) + veilhead, false);
    } else if (family == 0x21 && size >= veilhead + 36) {
        proxyaddr(&p, reinterpret_cast<const std::uint8_t*>(have.data()) + veilhead, true);
    } else {
        // A datagram or a local socket has no client to log; another family is no header.
        p.fate = family == 0x12 || family == 0x22 || family == 0x31 || family == 0x32 ? veillocal : veilbad;
    }
    return p;
}

}  // namespace

proxied proxyread(const std::string& have) {
    proxied p;
    if (have.empty()) return p;
    if (maybe(have, veiltwo, veiltwosize)) return blockread(have);
    p.fate = veilbad;
    if (!maybe(have, veilone, veilonesize)) return p;
    std::size_t upto = have.find('\n');
    if (upto == std::string::npos || upto >= veilline) {
        p.fate = have.size() < veilline ? veilmore : veilbad;
        return p;
    }
    if (upto < veilonesize + 1 || have[upto - 1] != '\r') return p;
    p = lineread(have.substr(veilonesize, upto - 1 - veilonesize));
    p.took = upto + 1;
    return p;
}
