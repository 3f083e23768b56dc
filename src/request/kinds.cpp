#include <cassert>

#include "core/world.h"
#include "request/kinds.h"

namespace {

using lint = long long;

// Every byte before the final "\r\n" is printable ASCII.
bool textprint(const std::string& u) {
    for (lint i = 0; i < lint(u.size()) - 2; ++i)
        if (u[i] < 32 || u[i] > 126) return false;
    return true;
}

// Index of the first c in [from, upto), or -1.
lint textfind(const std::string& u, char c, lint from, lint upto) {
    for (lint i = from; i < upto; ++i)
        if (u[i] == c) return i;
    return -1;
}

}  // namespace

bool charbad(char c) {
    return !(c == 10 || c == 13 || (c >= 32 && c <= 126));
}

char charlow(char c) {
    return c >= 'A' && c <= 'Z' ? char(c + 32) : c;
}

bool cstrbegs(std::string s, std::string p) {
    std::size_t n = s.size() < p.size() ? s.size() : p.size();
    return s.compare(0, n, p) == 0;
}

bool cstrends(std::string s, std::string p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

bool cstrnone(std::string s) {
    return s == "";
}

std::size_t cstrsize(std::string s) {
    return s.size();
}

bool linesane(std::string u) {
    return cstrends(u, crlf);
}

bool linksane(std::string u) {
    lint size = lint(u.size());
    if (!cstrends(u, crlf) || !textprint(u)) return false;
    lint j = textfind(u, ':', 1, size - 3);
    if (j < 0) return false;
    lint k = j + 1;
    while (u[k] == ' ') ++k;
    if (k == size - 2) return false;
    return u[0] != ' ' && u[size - 3] != ' ';
}

bool partsane(std::string part) {
    lint size = lint(part.size());
    if (!cstrends(part, crlf) || !textprint(part) || part[0] == ' ') return false;
    lint j = textfind(part, ' ', 1, size - 5);
    if (j < 0 || part[j + 1] == ' ') return false;
    lint k = textfind(part, ' ', j + 2, size - 3);
    if (k < 0 || part[k + 1] == ' ') return false;
    if (part[j + 1] == '/') return true;
    std::string ruri = part.substr(j + 1, k - j - 1);
    if (!cstrbegs(ruri, "http://") || ruri.size() < 7) return false;
    std::size_t slsh = ruri.find('/', 7);
    if (slsh == std::string::npos) return true;
    std::string quiz = ruri.substr(7, slsh - 7);
    return quizsane(quiz) && !cstrnone(quizhost(quiz));
}

bool quizsane(std::string u) {
    return !cstrnone(u);
}

std::string linkname(std::string u) {
    assert(linksane(u));
    std::size_t e = u.find(':', 1);
    while (u[e - 1] == ' ') --e;
    return u.substr(0, e);
}

std::string linkvalu(std::string u) {
    assert(linksane(u));
    std::size_t k = u.find(':', 1) + 1;
    while (u[k] == ' ') ++k;
    return u.substr(k, u.size() - k - 2);
}

bool linkhost(std::string u) {
    return linkname(u) == "host";
}

std::string quizhost(std::string u) {
    assert(quizsane(u));
    std::size_t i = u.size() - 1;
    while (i != 0 && u[i] >= '0' && u[i] <= '9') --i;
    return u[i] == ':' ? u.substr(0, i) : u;
}
