#include <algorithm>
#include <string>

#include "request/asks.h"
#include "request/codings.h"
#include "request/kinds.h"

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b])) ++b;
    while (e > b && blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// A qvalue in thousandths: "0" or "1", then perhaps a point and up to three
// digits, no more than 1. -1 when it is none.
int qread(const std::string& s) {
    if (s.empty() || (s[0] != '0' && s[0] != '1')) return -1;
    int q = (s[0] - '0') * 1000;
    if (s.size() == 1) return q;
    if (s[1] != '.' || s.size() > 5) return -1;
    int scale = 100;
    for (std::size_t k = 2; k < s.size(); ++k, scale /= 10) {
        if (s[k] < '0' || s[k] > '9') return -1;
        q += (s[k] - '0') * scale;
    }
    return q <= 1000 ? q : -1;
}

// One element of the list, name and q; false when it is malformed. The name
// is lowered and x-gzip read as gzip.
bool elemread(const std::string& elem, std::string* name, int* q) {
    std::size_t semi = elem.find(';');
    *name = trimmed(elem.substr(0, semi));
    if (!tokensane(*name)) return false;
    for (char& c : *name) c = charlow(c);
    if (*name == "x-gzip") *name = "gzip";
    *q = 1000;
    if (semi == std::string::npos) return true;
    // A second parameter, or a second ';', makes the q unreadable.
    std::string param = trimmed(elem.substr(semi + 1));
    if (param.empty() || charlow(param[0]) != 'q') return false;
    param = trimmed(param.substr(1));
    if (param.empty() || param[0] != '=') return false;
    *q = qread(trimmed(param.substr(1)));
    return *q >= 0;
}

}  // namespace

coding codingpick(const std::string& accept, bool present, unsigned offered) {
    if (!present) return codeidentity;
    // The q of each coding the list names, and of '*'; -1 for none.
    int named[4] = {-1, -1, -1, -1};
    int star = -1;
    for (std::size_t from = 0; from <= accept.size();) {
        std::size_t upto = std::min(accept.find(',', from), accept.size());
        std::string name;
        int q = 0;
        if (elemread(accept.substr(from, upto - from), &name, &q)) {
            if (name == "*") star = std::max(star, q);
            for (int c = codeidentity; c <= codebr; ++c)
                if (name == codingname(coding(c))) named[c] = std::max(named[c], q);
        }
        from = upto + 1;
    }
    // Ascending preference: a later coding at the same q wins.
    coding best = codenone;
    int bestq = -1;
    for (int c = codeidentity; c <= codebr; ++c) {
        if (c != codeidentity && (offered & 1u << c) == 0) continue;
        int q = named[c] >= 0 ? named[c] : star;
        if (q == 0 || (q < 0 && c != codeidentity)) continue;
        // Identity that the list leaves alone is acceptable, below any q.
        q = std::max(q, 0);
        if (q >= bestq) {
            best = coding(c);
            bestq = q;
        }
    }
    return best;
}

const char* codingname(coding c) {
    static const char* const names[] = {"identity", "gzip", "zstd", "br"};
    return c >= codeidentity && c <= codebr ? names[c] : "";
}

const char* codingext(coding c) {
    static const char* const exts[] = {"", ".gz", ".zst", ".br"};
    return c >= codeidentity && c <= codebr ? exts[c] : "";
}
