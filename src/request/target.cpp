#include <cassert>
#include <vector>

#include "core/conn.h"
#include "platform/files.h"
#include "request/kinds.h"
#include "request/target.h"

std::string partruri(std::string part) {
    assert(partsane(part));
    std::size_t i = part.find(' ', 1);
    std::size_t j = part.find(' ', i + 2);
    return part.substr(i + 1, j - i - 1);
}

std::string partquiz(std::string part) {
    assert(partsane(part));
    std::string path = partruri(part);
    assert(cstrbegs(path,"http://"));
    std::size_t e = path.find('/', 7);
    if (e == std::string::npos) e = path.size();
    return path.substr(7, e - 7);
}

std::string parthost(std::string part) {
    assert(partsane(part));
    return quizhost(partquiz(part));
}

std::string partrght(std::string part) {
    assert(partsane(part));
    std::string path = partruri(part);
    if (cstrbegs(path, "/")) return path;
    assert(cstrbegs(path,"http://"));
    std::size_t e = path.find('/', 7);
    return e == std::string::npos ? "/" : path.substr(e);
}

std::string partpath(std::string part) {
    assert(partsane(part));
    std::string rght = partrght(part);
    return rght.substr(0, rght.find('?'));
}

std::string clntpart(std::uint64_t i) {
    return clntconn(i).rqst;
}

std::string clnthost(std::uint64_t i) {
    conn& c = clntconn(i);
    if (c.head.empty()) return parthost(c.rqst);
    return linkvalu(c.head);
}

namespace {

int hexvalu(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string pathdecode(std::string path) {
    std::string out;
    out.reserve(path.size());
    for (std::size_t k = 0; k < path.size(); ++k) {
        int high = -1, low = -1;
        if (path[k] == '%' && k + 2 < path.size()) {
            high = hexvalu(path[k + 1]);
            low = hexvalu(path[k + 2]);
        }
        if (high >= 0 && low >= 0) {
            out += char(high * 16 + low);
            k += 2;
        } else {
            out += path[k];
        }
    }
    return out;
}

bool pathtidy(std::string path, std::string* out) {
    assert(cstrbegs(path, "/"));
    std::vector<std::string> segs;
    bool slash = false;
    for (std::size_t from = 1;;) {
        std::size_t upto = path.find('/', from);
        std::string seg = path.substr(from, upto == std::string::npos ? upto : upto - from);
        slash = seg == "." || seg == "..";
        if (seg == "..") {
            if (segs.empty()) return false;
            segs.pop_back();
        } else if (!slash) {
            segs.push_back(seg);
        }
        if (upto == std::string::npos) break;
        from = upto + 1;
    }
    *out = "";
    for (const std::string& seg : segs) *out += "/" + seg;
    if (slash || out->empty()) *out += "/";
    return true;
}

bool pathsafe(std::string path) {
    if (!cstrbegs(path, "/")) return false;
    for (char c : path)
        if ((c >= 0 && c < 32) || c == 127) return false;
    // Segments lie between slashes; ".." climbs out of the folder it is in.
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t upto = path.find('/', from);
        if (upto == std::string::npos) upto = path.size();
        if (path.compare(from, upto - from, "..") == 0) return false;
        // The file system may read more into a name than POSIX does.
        if (!segsafe(path.substr(from, upto - from))) return false;
        from = upto + 1;
    }
    return true;
}
