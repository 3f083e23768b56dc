#include <cstdio>
#include <cstring>

#include "core/conn.h"
#include "core/world.h"
#include "dispatch/probes.h"
#include "dispatch/respond.h"
#include "dispatch/serve.h"
#include "request/kinds.h"
#include "request/target.h"

std::string logtodo(std::string host, std::string path) {
    std::string todo = host == "a" ? path : host + path;
    todo.resize(64, ' ');
    return todo;
}

std::string logaddr(const unsigned char four[4]) {
    char text[16];
    snprintf(text, sizeof text, "%03d.%03d.%03d.%03d", four[0], four[1], four[2], four[3]);
    return text;
}

void clntserv(std::uint64_t i) {
    conn& c = clntconn(i);
    clntdesc(i);
    std::string host = clnthost(i);
    // A host is one folder name: a separator in it would reach past the root.
    if (host.empty() || cstrends(host, ".") || host.find_first_of("/\\") != std::string::npos)
        return clntfail(c, "HTTP/1.1 400 bad_host_one\r\n\r\nHost bad: one.");
    while (!statexists(root() + "/" + host)) {
        if (namenodot(host)) {
            if (!statexists(root() + "/a"))
                return clntfail(c, "HTTP/1.1 400 bad_host_two\r\n\r\nHost bad: two.");
            host = "a";
            break;
        }
        host = nameafterdot(host);
    }
    std::string path = partpath(clntpart(i));
    // One write per line, flushed at once: a reader of a pipe sees it whole.
    unsigned char four[4];
    memcpy(four, &c.four, 4);
    std::string line = logtodo(host, path) + logaddr(four) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
    if (web())
        webreply(i, host, path);
    else
        clntpick(i, host, path);
}
