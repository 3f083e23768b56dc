// Start-up: the command line, the served root and the listening socket.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/loop.h"
#include "core/world.h"
#include "dispatch/press.h"
#include "tls/certs.h"
#include "wire/duo.h"
#include "platform/files.h"
#include "platform/net.h"
#include "request/kinds.h"

namespace {

// Whether two addresses from getaddrinfo are one.
bool addrsame(const addrinfo* a, const addrinfo* b) {
    return a->ai_addrlen == b->ai_addrlen && memcmp(a->ai_addr, b->ai_addr, a->ai_addrlen) == 0;
}

// Listens on one address, an IPv6 one for IPv4 too unless only; false when
// the system has no such address or family. Other failures end the process
// as start-up does.
bool listenone(const addrinfo* at, bool only, std::vector<SOCKET>* out) {
    SOCKET lhnd = SOCKET(std::int64_t(int(socket(at->ai_family, at->ai_socktype, at->ai_protocol))));
    if (int(lhnd) == -1) {
        if (sockabsent()) return false;
        sockerror("socket");
        exit(1);
    }
    if (at->ai_family == AF_INET6) sockdual(lhnd, only);
    const char* fail = sockbind(lhnd, at->ai_addr, int(at->ai_addrlen)) == -1 ? "bind"
                       : listen(int(lhnd), socklogmost) == -1 || socklisten(lhnd) != 0 ? "listen"
                                                                                : nullptr;
    if (!fail) {
        out->push_back(lhnd);
        return true;
    }
    if (!sockabsent()) {
        sockerror(fail);
        exit(1);
    }
    closesocket(lhnd);
    return false;
}

// The addresses of host (none: the wildcard) and the port, of one family or
// any. A failure ends the process with getaddrinfo's message when must.
addrinfo* addrfind(const char* host, const char* ptxt, int family, bool must) {
    addrinfo hint;
    memset(&hint, 0, sizeof hint);
    hint.ai_flags = AI_PASSIVE;
    hint.ai_family = family;
    hint.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    int rslt = getaddrinfo(host, ptxt, &hint, &info);
    if (rslt != 0 && must) {
        fprintf(stderr, "getaddrinfo error: %s\n", gai_strerror(rslt));
        exit(-1);
    }
    return rslt == 0 ? info : nullptr;
}

// --web listens on every address the host names, and for "localhost" on
// both loopbacks whatever the hosts file says. With no host it listens on the
// IPv6 wildcard, where IPv4 clients arrive as mapped addresses, or on the
// IPv4 one where the system has no IPv6. An address the system lacks is
// passed over while another serves.
std::vector<SOCKET> weblisten(const char* host, const char* ptxt) {
    std::vector<SOCKET> out;
    if (!host) {
        for (int family : {AF_INET6, AF_INET}) {
            addrinfo* info = addrfind(nullptr, ptxt, family, family == AF_INET);
            for (addrinfo* at = info; at && out.empty(); at = at->ai_next) listenone(at, false, &out);
            if (info) freeaddrinfo(info);
        }
    } else {
        std::vector<addrinfo*> lists = {addrfind(host, ptxt, AF_UNSPEC, true)};
        std::string name = host;
        for (char& c : name) c = charlow(c);
        if (name == "localhost") lists.push_back(addrfind("::1", ptxt, AF_INET6, false));
        if (name == "localhost") lists.push_back(addrfind("127.0.0.1", ptxt, AF_INET, false));
        std::vector<const addrinfo*> addrs;
        for (const addrinfo* info : lists)
            for (const addrinfo* at = info; at; at = at->ai_next) {
                bool seen = false;
                for (const addrinfo* was : addrs) seen = seen || addrsame(was, at);
                if (!seen) addrs.push_back(at);
            }
        bool four = false;
        for (const addrinfo* at : addrs) four = four || at->ai_family == AF_INET;
        for (const addrinfo* at : addrs) listenone(at, four, &out);
        for (addrinfo* info : lists)
            if (info) freeaddrinfo(info);
    }
    if (out.empty()) {
        sockerror("bind");
        exit(1);
    }
    return out;
}

const char* webusage =
    "Usage: tavi [--web [--certs DIR] [--https PORT] [--plain] [--zcache MIB] [--log combined|vcombined]"
    " [--proxy-protocol]] [port [host]]\n";

// A port's text: decimal digits, leading zeros allowed, at most 65535.
bool portread(const char* text, std::uint16_t* numb) {
    long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 65535) return false;
    }
    *numb = std::uint16_t(value);
    return *text != 0;
}

// The options of --web, before its port and host: --certs DIR, --https PORT,
// --plain, --zcache MIB, --log STYLE and --proxy-protocol, each at most
// once; --https and --plain only with certificates. A wrong one is reported
// on stderr; false then. The first word that is none of them begins the port
// and host.
bool weboptions(int* argc, char*** argv, const char** stxt) {
    bool plain = false;
    while (*argc > 1 && strncmp((*argv)[1], "--", 2) == 0) {
        std::string name = (*argv)[1];
        const char* value = *argc > 2 ? (*argv)[2] : nullptr;
        if (name == "--plain" && !plain) {
            plain = true;
            --*argc;
            ++*argv;
            continue;
        }
        if (name == "--proxy-protocol" && !proxyon()) {
            proxyon() = true;
            --*argc;
            ++*argv;
            continue;
        }
        if (name == "--log" && value && logkind() == logcolumns) {
            if (strcmp(value, "combined") != 0 && strcmp(value, "vcombined") != 0) {
                fprintf(stderr, "--log needs combined or vcombined.\n");
                return false;
            }
            logkind() = value[0] == 'v' ? logvhost : logcombo;
            *argc -= 2;
            *argv += 2;
            continue;
        }
        if (name == "--log") {
            fprintf(stderr, "%s", webusage);
            return false;
        }
        if (name == "--zcache" && value) {
            // MiB for all that compression holds; 0 compresses nothing.
            std::uint16_t most = 0;
            if (!portread(value, &most)) {
                fprintf(stderr, "--zcache needs MiB: digits only, at most 65535.\n");
                return false;
            }
            pressed().most = std::int64_t(most) << 20;
            *argc -= 2;
            *argv += 2;
            continue;
        }
        // Anything else is read as a port or host, as it always was.
        if (name != "--certs" && name != "--https") break;
        if (!value || (name == "--certs" ? !certdir().empty() : *stxt != nullptr)) {
            fprintf(stderr, "%s", webusage);
            return false;
        }
        if (name == "--certs" && *value == 0) {
            fprintf(stderr, "--certs needs a folder.\n");
            return false;
        }
        if (name == "--https" && !portread(value, &tlsport())) {
            fprintf(stderr, "--https needs a port: digits only, at most 65535.\n");
            return false;
        }
        if (name == "--certs")
            certdir() = value;
        else
            *stxt = value;
        *argc -= 2;
        *argv += 2;
    }
    if ((plain || *stxt) && certdir().empty()) {
        fprintf(stderr, "--https and --plain go with --certs.\n");
        return false;
    }
    plainok() = plain;
    if (!*stxt) *stxt = "443";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    _set_fmode(_O_BINARY);
    WSADATA wsaData;
    int rslt = WSAStartup(0x0202, &wsaData);
    if (rslt != 0) {
        printf("WSAStartup failed: %d\n", rslt);
        return 1;
    }
    if (!workdir(&root())) {
        perror("getcwd");
        return 1;
    }
    if (cstrends(root(), "/")) root().pop_back();
    // Only first: every other argument reads as it always has.
    if (argc > 1 && strcmp(argv[1], "--web") == 0) {
        web() = true;
        --argc;
        ++argv;
    }
    const char* stxt = nullptr;
    if (web() && !weboptions(&argc, &argv, &stxt)) return -1;
    if (argc > 3) {
        // Without --web the text is the one it has always been.
        fprintf(stderr, web() ? webusage : "Usage: tavi [port [host]]\n");
        return -1;
    }
    const char* ptxt = "80";
    if (argc > 1) {
        ptxt = argv[1];
        if (ptxt[0] == 0) {
            fprintf(stderr, "First argument may not be empty string.\n");
            return -1;
        }
        for (const char* p = ptxt; *p; ++p)
            if (*p < '0' || *p > '9') {
                fprintf(stderr, "First argument (port) must contain only digits.\n");
                return -1;
            }
    }
    port() = std::uint16_t(atoi(ptxt));
    const char* host = argc == 3 ? argv[2] : nullptr;
    if (web() && !certdir().empty()) {
        certsalpn(duoable());
        if (!certsload(certdir())) {
            fprintf(stderr, "No usable certificate pair (NAME/fullchain.pem and NAME/privkey.pem) in %s.\n",
                    certdir().c_str());
            return -1;
        }
        std::vector<SOCKET> plain = weblisten(host, ptxt);
        loopserve(plain, weblisten(host, stxt));
    }
    if (web()) loopserve(weblisten(host, ptxt), {});
    addrinfo* info = addrfind(host, ptxt, AF_UNSPEC, true);
    int lsock = int(socket(info->ai_family, info->ai_socktype, info->ai_protocol));
    if (lsock == -1) {
        sockerror("socket");
        return 1;
    }
    // The loop leaves the listening socket out whenever the largest socket
    // plus one is 64: as 63 it would never be watched.
    if (lsock == 63) {
        fprintf(stderr, "The listen socket is FD_SETSIZE-1\n");
        return -1;
    }
    SOCKET lhnd = SOCKET(std::int64_t(lsock));
    if (sockbind(lhnd, info->ai_addr, int(info->ai_addrlen)) == -1) {
        sockerror("bind");
        return 1;
    }
    if (listen(lsock, 99) == -1 || socklisten(lhnd) != 0) {
        sockerror("listen");
        return 1;
    }
    loopserve({lhnd}, {});
}
