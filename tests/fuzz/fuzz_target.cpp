// Taking the request target apart. The input is a request line (its "\r\n" is
// added when missing). Whether it is well formed is judged here too, from the
// rules written out afresh, and must agree with partsane; for a well formed
// line the target, path and host operations must not fail, and the decoded
// path must be refused or be safe to join to a site folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "must.h"
#include "request/kinds.h"
#include "request/target.h"

namespace {

bool printable(char b) {
    return b >= 32 && b <= 126;
}

bool alldigits(const std::string& s) {
    for (char b : s)
        if (b < '0' || b > '9') return false;
    return true;
}

// The request line rules: method, one blank, a target, one blank, a version
// that does not start with a blank, all printable; an origin target starts
// with "/", an absolute one with "http://" and, when a path follows, a host
// that is something more than a ':' and a port.
bool wellformed(const std::string& line) {
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return false;
    std::string body = line.substr(0, line.size() - 2);
    for (char b : body)
        if (!printable(b)) return false;
    std::size_t j = body.find(' ');
    if (j == std::string::npos || j == 0) return false;
    if (j + 1 >= body.size() || body[j + 1] == ' ') return false;
    std::size_t k = body.find(' ', j + 1);
    if (k == std::string::npos || k + 1 >= body.size() || body[k + 1] == ' ') return false;
    std::string target = body.substr(j + 1, k - j - 1);
    if (target[0] == '/') return true;
    if (target.compare(0, 7, "http://") != 0 || target.size() < 7) return false;
    std::size_t slsh = target.find('/', 7);
    if (slsh == std::string::npos) return true;
    std::string host = target.substr(7, slsh - 7);
    if (host.empty()) return false;
    return !(host[0] == ':' && alldigits(host.substr(1)));
}

int hexdigit(char b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return -1;
}

std::string decoded(const std::string& p) {
    std::string out;
    std::size_t k = 0;
    while (k < p.size()) {
        if (p[k] == '%' && k + 2 < p.size() && hexdigit(p[k + 1]) >= 0 && hexdigit(p[k + 2]) >= 0) {
            out += char(hexdigit(p[k + 1]) * 16 + hexdigit(p[k + 2]));
            k += 3;
        } else {
            out += p[k++];
        }
    }
    return out;
}

// Safe to join to a site folder: starts at the folder, no control byte, and
// no segment that climbs.
bool safepath(const std::string& d) {
    if (d.empty() || d[0] != '/') return false;
    for (char b : d) {
        unsigned char u = static_cast<unsigned char>(b);
        if (u < 32 || u == 127) return false;
    }
    std::string seg;
    for (std::size_t k = 0; k <= d.size(); ++k) {
        if (k == d.size() || d[k] == '/') {
            if (seg == "..") return false;
            seg.clear();
        } else {
            seg += d[k];
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    if (!cstrends(line, "\r\n")) line += "\r\n";
    bool sane = partsane(line);
    MUST(sane == wellformed(line));
    if (!sane) return 0;

    std::string ruri = partruri(line);
    std::size_t a = line.find(' ');
    std::size_t b = line.find(' ', a + 1);
    MUST(ruri == line.substr(a + 1, b - a - 1));

    std::string rght = partrght(line);
    std::string path = partpath(line);
    MUST(!path.empty() && path[0] == '/');
    MUST(path.find('?') == std::string::npos);
    MUST(rght.compare(0, path.size(), path) == 0);
    MUST(rght.size() == path.size() || rght[path.size()] == '?');
    if (ruri[0] == '/') {
        MUST(rght == ruri);
    } else {
        MUST(ruri.compare(0, 7, "http://") == 0);
        std::size_t slsh = ruri.find('/', 7);
        MUST(rght == (slsh == std::string::npos ? std::string("/") : ruri.substr(slsh)));
        std::string quiz = partquiz(line);
        MUST(quiz.find('/') == std::string::npos);
        MUST(ruri.compare(7, quiz.size(), quiz) == 0);
        if (!quiz.empty()) {
            std::string host = parthost(line);
            MUST(quiz.compare(0, host.size(), host) == 0);
            std::string port = quiz.substr(host.size());
            MUST(port.empty() || (port[0] == ':' && alldigits(port.substr(1))));
        }
    }

    std::string disk = pathdecode(path);
    MUST(disk == decoded(path));
    MUST(!pathsafe(disk) || safepath(disk));
#ifndef _WIN32
    // Here every other name is taken as it is, so nothing else is refused.
    MUST(pathsafe(disk) || !safepath(disk));
#endif
    return 0;
}
