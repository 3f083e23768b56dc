#include <cassert>

#include "request/asks.h"
#include "request/kinds.h"

std::string partmeth(std::string part) {
    assert(partsane(part));
    return part.substr(0, part.find(' ', 1));
}

asks asksmake(std::string part) {
    assert(partsane(part));
    asks a;
    a.meth = partmeth(part);
    a.used = part.size();
    return a;
}

bool asksnote(asks& a, std::string link) {
    assert(linksane(link));
    a.used += link.size();
    // Reception has lowered the line already; a caller that did not still
    // gets its names recognised.
    std::string name = linkname(link);
    for (char& c : name) c = charlow(c);
    std::string* keep = nullptr;
    if (name == "range") keep = &a.range;
    if (name == "if-modified-since") keep = &a.since;
    if (name == "if-none-match") keep = &a.match;
    if (name == "if-range") keep = &a.guard;
    if (keep) {
        std::string valu = linkvalu(link);
        *keep = keep->empty() ? valu : *keep + ", " + valu;
    }
    return a.used <= blockmost;
}
