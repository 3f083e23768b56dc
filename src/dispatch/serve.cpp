#include <cstdio>
#include <cstring>
#include <map>

#include "core/conn.h"
#include "core/world.h"
#include "dispatch/probes.h"
#include "dispatch/respond.h"
#include "dispatch/serve.h"
#include "output/combined.h"
#include "output/transmit.h"
#include "request/asks.h"
#include "request/kinds.h"
#include "request/target.h"

std::string logtodo(std::string host, std::string path) {
    std::string todo = host == "a" ? path : host + path;
    todo.resize(64, ' ');
    return todo;
}

std::string logaddr(const unsigned char four[4]) {
    std::string text = "000.000.000.000";
    for (int k = 0; k < 4; ++k) {
        text[4 * k] = char('0' + four[k] / 100);
        text[4 * k + 1] = char('0' + four[k] / 10 % 10);
        text[4 * k + 2] = char('0' + four[k] % 10);
    }
    return text;
}

std::string logsix(const unsigned char six[16]) {
    unsigned group[8];
    for (int k = 0; k < 8; ++k) group[k] = unsigned(six[2 * k]) << 8 | six[2 * k + 1];
    int best = -1, most = 1;
    for (int k = 0; k < 8;) {
        int run = 0;
        while (k + run < 8 && group[k + run] == 0) ++run;
        if (run > most) best = k, most = run;
        k += run ? run : 1;
    }
    std::string text;
    char hex[8];
    for (int k = 0; k < 8; ++k) {
        if (k == best) {
            text += "::";
            k += most - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        snprintf(hex, sizeof hex, "%x", group[k]);
        text += hex;
    }
    return text;
}

namespace {

// Lines gathered beyond this are written at once: a turn of many answers
// does not hold them all.
const std::size_t logmost = 64 * 1024;

std::string& logheld() {
    static std::string held;
    return held;
}

}  // namespace

void logput(const std::string& line) {
    if (!web()) {
        // One write per line, flushed at once: a reader of a pipe sees it whole.
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
        return;
    }
    std::string& held = logheld();
    held += line;
    if (held.size() >= logmost) logflush();
}

void logflush() {
    std::string& held = logheld();
    if (held.empty()) return;
    fwrite(held.data(), 1, held.size(), stdout);
    fflush(stdout);
    held.clear();
}

std::string hostbare(std::string host) {
    std::size_t upto = host[0] == '[' ? host.find(']') + 1 : host.find(':');
    return host.substr(0, upto);
}

namespace {

// The site each recent host was placed in, good while the root's entries are
// as they were: a request then costs one status call of the root a turn of
// the loop, not one per label of its host. Hosts are kept only up to the
// length of a domain name, and only so many, so it stays small.
struct sitememo {
    bool fresh = false;
    std::int64_t stamp = 0;
    std::map<std::string, std::string> site;
};
const std::size_t memomost = 64;
const std::size_t memokey = 255;

sitememo& memo() {
    static sitememo m;
    return m;
}

// The search itself: the host, then the host less a label at a time, then "a".
std::string sitesearch(std::string host) {
    while (!statexists(root() + "/" + host)) {
        if (namenodot(host)) return statexists(root() + "/a") ? "a" : "";
        host = nameafterdot(host);
    }
    return host;
}

}  // namespace

void siteforget() {
    memo().fresh = false;
}

std::string sitefind(std::string host) {
    sitememo& m = memo();
    if (!m.fresh) {
        std::int64_t stamp = dirstamp((root() + "/").c_str());
        if (stamp != m.stamp || stamp == 0) m.site.clear();
        m.stamp = stamp;
        m.fresh = true;
    }
    auto hit = m.site.find(host);
    if (hit != m.site.end()) return hit->second;
    std::string site = sitesearch(host);
    if (m.stamp != 0 && host.size() <= memokey) {
        if (m.site.size() >= memomost) m.site.clear();
        m.site[host] = site;
    }
    return site;
}

namespace {

void logwrite(std::uint32_t four, const std::array<std::uint8_t, 16>& six, const std::string& todo) {
    unsigned char quad[4];
    memcpy(quad, &four, 4);
    // Without --web the log keeps its IPv4 column: an IPv6 client is the zero address there.
    bool wide = web() && six != std::array<std::uint8_t, 16>{};
    logput(todo + (wide ? logsix(six.data()) : logaddr(quad)) + "\n");
}

// The combined line of an answer made: it needs the status and the size,
// which the 64 columns write before the answer is. site is the folder the
// request was answered from; "" for a refusal.
void lognote(const asks& a, const asker& who, const std::string& site, const answer& r) {
    unsigned char quad[4];
    memcpy(quad, &who.four, 4);
    logged l;
    l.addr = who.six != std::array<std::uint8_t, 16>{} ? logsix(who.six.data()) : logfour(quad);
    // The folder's port is the Host's: the port in front is the one the connection came to.
    if (logkind() == logvhost)
        l.site = (site.empty() ? "-" : hostbare(site)) + ":" + std::to_string(who.tls ? tlsport() : port());
    l.when = r.head.now;
    l.line = a.line;
    l.code = r.head.code;
    l.size = r.kept || answerfile(r) ? r.left : std::int64_t(r.text.size());
    l.refer = a.refer;
    l.agent = a.agent;
    logput(logcombined(l));
}

// A --web request answered with a refusal: the status and why, in the log
// and in the answer's body. A client that sent one is not trusted with the
// next request on the same connection.
answer webrefuse(const asks& a, const asker& who, int code, const std::string& why) {
    if (logkind() == logcolumns) {
        std::string todo = std::to_string(code) + " " + why;
        todo.resize(64, ' ');
        logwrite(who.four, who.six, todo);
    }
    answer r;
    r.head.keep = 0;
    webfail(a, &r, code, why);
    if (logkind() != logcolumns) lognote(a, who, "", r);
    return r;
}

}  // namespace

// The host of an absolute target before Host's, none at all for the
// fallback site, dot segments out of the path.
answer webanswer(const asks& a, const asker& who, int keep) {
    if (a.code != 0) return webrefuse(a, who, a.code, a.why);
    std::string host = a.host;
    if (a.hosts == 0 && !a.absolute) {
        // HTTP/1.0 may leave Host out: the client knows of one site only.
        host = "a";
    } else if (host.empty() || cstrends(host, ".")) {
        return webrefuse(a, who, 400, "Host bad: one.");
    }
    host = sitefind(host);
    if (host.empty()) return webrefuse(a, who, 400, "Host bad: two.");
    bool fetch = a.meth == "GET" || a.meth == "HEAD";
    std::string disk;
    if (fetch && !pathtidy(pathdecode(a.path), &disk))
        return webrefuse(a, who, 400, "The path climbs above the site.");
    if (logkind() == logcolumns) logwrite(who.four, who.six, logtodo(host, a.path));
    answer r;
    r.head.keep = keep;
    // Given certificates, the plain port sends each request to HTTPS, but
    // the ACME challenges, which a CA fetches over plain HTTP, and a request
    // that names no host to send it to.
    if (!certdir().empty() && !who.tls && !plainok() && !a.host.empty() &&
        !(fetch && cstrbegs(disk, "/.well-known/acme-challenge/")))
        webmove(a, &r, "https://" + hostbare(a.host) + (tlsport() == 443 ? "" : ":" + std::to_string(tlsport())) +
                           a.path + a.query);
    else
        webreply(a, host, disk, &r);
    if (logkind() != logcolumns) lognote(a, who, host, r);
    return r;
}

void clntserv(std::uint64_t i) {
    conn& c = clntconn(i);
    if (web()) {
        const asks& a = *c.want;
        c.keep = askskeep(a) && ++c.reqs < reqsmost;
        return clntanswer(c, webanswer(a, asker{c.four, c.six, c.tls != nullptr}, !c.keep ? 0 : a.vers == 10 ? 2 : 1));
    }
    clntdesc(i);
    std::string host = clnthost(i);
    // A host is one folder name: a separator in it would reach past the root.
    if (host.empty() || cstrends(host, ".") || host.find_first_of("/\\") != std::string::npos)
        return clntfail(c, "HTTP/1.1 400 bad_host_one\r\n\r\nHost bad: one.");
    host = sitefind(host);
    if (host.empty()) return clntfail(c, "HTTP/1.1 400 bad_host_two\r\n\r\nHost bad: two.");
    std::string path = partpath(clntpart(i));
    logwrite(c.four, c.six, logtodo(host, path));
    clntpick(i, host, path);
}
