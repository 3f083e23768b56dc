// Start-up: the command line, the served root and the listening socket.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/loop.h"
#include "core/world.h"
#include "platform/files.h"
#include "platform/net.h"
#include "request/kinds.h"

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
    if (argc > 3) {
        // Without --web the text is the one it has always been.
        fprintf(stderr, web() ? "Usage: tavi [--web] [port [host]]\n" : "Usage: tavi [port [host]]\n");
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
    addrinfo hint;
    memset(&hint, 0, sizeof hint);
    hint.ai_flags = AI_PASSIVE;
    hint.ai_family = AF_UNSPEC;
    hint.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    rslt = getaddrinfo(host, ptxt, &hint, &info);
    if (rslt != 0) {
        fprintf(stderr, "getaddrinfo error: %s\n", gai_strerror(rslt));
        return -1;
    }
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
    if (listen(lsock, web() ? socklogmost : 99) == -1 || socklisten(lhnd) != 0) {
        sockerror("listen");
        return 1;
    }
    loopserve({lhnd});
}
