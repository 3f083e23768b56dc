#include <cassert>
#include <cstdint>
#include <limits>
#include <vector>

#include "request/kinds.h"
#include "request/ranges.h"

namespace {

const std::int64_t most = std::numeric_limits<std::int64_t>::max();

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool digits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return !s.empty();
}

// A run of digits as a number; a number too large for 63 bits reads as the
// largest, which lies past the end of every file.
std::int64_t digitvalu(const std::string& s) {
    std::int64_t n = 0;
    for (char c : s) {
        if (n > (most - (c - '0')) / 10) return most;
        n = n * 10 + (c - '0');
    }
    return n;
}

// a < b for runs of digits of any length.
bool digitless(std::string a, std::string b) {
    a.erase(0, a.find_first_not_of('0'));
    b.erase(0, b.find_first_not_of('0'));
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The elements of a comma list, blanks around each cut off; empty elements
// are dropped, as a list's recipient must accept them.
std::vector<std::string> listitems(const std::string& s) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= s.size()) {
        std::size_t upto = s.find(',', from);
        if (upto == std::string::npos) upto = s.size();
        std::size_t b = from, e = upto;
        while (b < e && blank(s[b])) ++b;
        while (e > b && blank(s[e - 1])) --e;
        if (e > b) out.push_back(s.substr(b, e - b));
        from = upto + 1;
    }
    return out;
}

span spanof(spanfate fate, std::int64_t first, std::int64_t count) {
    span s;
    s.fate = fate;
    s.first = first;
    s.count = count;
    return s;
}

}  // namespace

bool spansane(span s, std::int64_t size) {
    switch (s.fate) {
    case spanwhole: return s.first == 0 && s.count == size;
    case spanpart: return s.first >= 0 && s.count >= 1 && s.count <= size - s.first;
    case spanmiss: return s.first == 0 && s.count == 0;
    }
    return false;
}

span spanread(std::string valu, std::int64_t size) {
    assert(size >= 0);
    span whole = spanof(spanwhole, 0, size);
    span miss = spanof(spanmiss, 0, 0);
    std::size_t eq = valu.find('=');
    if (eq == std::string::npos) return whole;
    std::string unit = valu.substr(0, eq);
    for (char& c : unit) c = charlow(c);
    if (unit != "bytes") return whole;
    std::vector<std::string> items = listitems(valu.substr(eq + 1));
    if (items.size() != 1) return whole;
    std::string item = items[0];
    std::size_t dash = item.find('-');
    if (dash == std::string::npos) return whole;
    std::string low = item.substr(0, dash), high = item.substr(dash + 1);

    if (low.empty()) {
        // The last n bytes; "-0" asks for none of them.
        if (!digits(high)) return whole;
        std::int64_t n = digitvalu(high);
        if (n == 0) return miss;
        // An empty file has no byte range to name in a Content-Range, though
        // a suffix is satisfiable there: it gets its whole, empty self.
        if (size == 0) return whole;
        std::int64_t count = n < size ? n : size;
        return spanof(spanpart, size - count, count);
    }
    if (!digits(low) || !(high.empty() || digits(high))) return whole;
    if (!high.empty() && digitless(high, low)) return whole;
    std::int64_t first = digitvalu(low);
    if (first >= size) return miss;
    std::int64_t last = high.empty() ? size - 1 : digitvalu(high);
    if (last > size - 1) last = size - 1;
    return spanof(spanpart, first, last - first + 1);
}
