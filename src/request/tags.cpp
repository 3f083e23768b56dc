#include <cassert>
#include <cstdint>

#include "request/tags.h"

namespace {

bool etagc(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u == 0x21 || (u >= 0x23 && u <= 0x7E) || u >= 0x80;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string hextext(std::uint64_t n) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), hex[n & 15]);
        n >>= 4;
    } while (n != 0);
    return out;
}

}  // namespace

bool tagsane(const std::string& tag) {
    if (tag.size() < 2 || tag.front() != '"' || tag.back() != '"') return false;
    for (std::size_t k = 1; k + 1 < tag.size(); ++k)
        if (!etagc(tag[k])) return false;
    return true;
}

std::string tagmake(std::int64_t size, std::int64_t mtime, std::int64_t nsec) {
    assert(size >= 0);
    // A time before 1970 is written as its two's complement: still one tag per time.
    std::string when = hextext(std::uint64_t(mtime));
    if (nsec != 0) when += "." + hextext(std::uint64_t(nsec));
    return "\"" + when + "-" + hextext(std::uint64_t(size)) + "\"";
}

bool tagmatch(std::string list, std::string tag, bool strong) {
    assert(tagsane(tag));
    std::size_t b = 0, e = list.size();
    while (b < e && blank(list[b])) ++b;
    while (e > b && blank(list[e - 1])) --e;
    if (list.compare(b, e - b, "*") == 0) return true;
    bool found = false;
    std::size_t at = b;
    while (at < e) {
        // Empty elements of the list, and the blanks around its commas.
        if (list[at] == ',' || blank(list[at])) {
            ++at;
            continue;
        }
        bool weak = list[at] == 'W' && at + 1 < e && list[at + 1] == '/';
        if (weak) at += 2;
        if (at >= e || list[at] != '"') return false;
        std::size_t shut = list.find('"', at + 1);
        if (shut >= e) return false;
        std::string item = list.substr(at, shut + 1 - at);
        if (!tagsane(item)) return false;
        found = found || (item == tag && !(weak && strong));
        at = shut + 1;
        while (at < e && blank(list[at])) ++at;
        if (at < e && list[at] != ',') return false;
    }
    return found;
}
