#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "request/addrs.h"
#include "request/asks.h"
#include "request/kinds.h"

namespace {

bool tchar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool digits(const std::string& s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool hexdigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lowered(std::string s) {
    for (char& c : s) c = charlow(c);
    return s;
}

// A port after a host's ':': none at all, or a number a port can be.
bool portsane(const std::string& s) {
    if (!digits(s)) return false;
    std::size_t lead = s.find_first_not_of('0');
    return lead == std::string::npos || (s.size() - lead <= 5 && std::stol(s.substr(lead)) <= 65535);
}

// The name part of a host: labels of the characters a URI's host name may
// hold, none empty, but for one final dot.
bool namesane(const std::string& s) {
    if (s.empty() || s[0] == '.' || s.find("..") != std::string::npos) return false;
    for (std::size_t k = 0; k < s.size(); ++k) {
        char c = s[k];
        if (c == '%') {
            if (k + 2 >= s.size() || !hexdigit(s[k + 1]) || !hexdigit(s[k + 2])) return false;
            k += 2;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     std::strchr("-._~!$&'()*+,;=", c))) {
            return false;
        }
    }
    return true;
}

// The items of a list field, without the blanks around them.
std::vector<std::string> listwords(const std::string& valu) {
    std::vector<std::string> words;
    for (std::size_t from = 0; from <= valu.size();) {
        std::size_t upto = valu.find(',', from);
        if (upto == std::string::npos) upto = valu.size();
        std::size_t b = valu.find_first_not_of(" \t", from);
        std::size_t e = valu.find_last_not_of(" \t", upto - 1);
        words.push_back(b < upto && e != std::string::npos && e >= b ? valu.substr(b, e - b + 1) : "");
        from = upto + 1;
    }
    return words;
}

// The value of a field that --web reads, by its lowered name; none for others.
std::string* fieldkeep(asks& a, const std::string& name) {
    if (name == "range") return &a.range;
    if (name == "if-modified-since") return &a.since;
    if (name == "if-none-match") return &a.match;
    if (name == "if-range") return &a.guard;
    if (name == "if-match") return &a.ifmatch;
    if (name == "if-unmodified-since") return &a.unsince;
    if (name == "connection") return &a.link;
    if (name == "accept-encoding") return &a.codes;
    if (name == "content-length") return &a.length;
    if (name == "transfer-encoding") return &a.coding;
    if (name == "referer") return &a.refer;
    if (name == "user-agent") return &a.agent;
    return nullptr;
}

}  // namespace

bool tokensane(std::string text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!tchar(c)) return false;
    return true;
}

bool sixsane(std::string text) {
    std::uint8_t six[16];
    return sixread(text, six);
}

bool hostsane(std::string text) {
    if (text.empty()) return true;
    if (text[0] == '[') {
        std::size_t shut = text.find(']');
        if (shut == std::string::npos || !sixsane(text.substr(1, shut - 1))) return false;
        std::string rest = text.substr(shut + 1);
        return rest.empty() || (rest[0] == ':' && portsane(rest.substr(1)));
    }
    std::size_t colon = text.find(':');
    if (colon != std::string::npos && !portsane(text.substr(colon + 1))) return false;
    return namesane(text.substr(0, colon));
}

void asksfail(asks& a, int code, const char* why) {
    if (a.code != 0) return;
    a.code = code;
    a.why = why;
}

void askspart(asks& a, std::string line) {
    a.line = line;
    std::size_t one = line.find(' ');
    std::size_t two = one == std::string::npos ? one : line.find(' ', one + 1);
    if (two == std::string::npos || line.find(' ', two + 1) != std::string::npos)
        return asksfail(a, 400, "Malformed request line.");
    a.meth = line.substr(0, one);
    std::string rest = line.substr(one + 1, two - one - 1);
    std::string vers = line.substr(two + 1);
    if (!tokensane(a.meth)) return asksfail(a, 400, "Malformed request line.");
    if (vers.size() != 8 || vers.compare(0, 5, "HTTP/") != 0 || !digits(vers.substr(5, 1)) || vers[6] != '.' ||
        !digits(vers.substr(7)))
        return asksfail(a, 400, "Malformed request line.");
    if (vers != "HTTP/1.1" && vers != "HTTP/1.0") return asksfail(a, 505, "Only HTTP/1.0 and HTTP/1.1 are served.");
    a.vers = vers == "HTTP/1.1" ? 11 : 10;
    if (rest.empty()) return asksfail(a, 400, "Malformed request line.");
    for (char c : rest)
        if (c < 0x21 || c > 0x7e) return asksfail(a, 400, "Malformed request target.");
    std::string scheme = lowered(rest.substr(0, 8));
    if (rest[0] != '/' && (cstrbegs(scheme, "http://") || scheme == "https://")) {
        // The absolute form: its host names the site, whatever Host says.
        std::size_t from = rest.find("://") + 3;
        std::size_t upto = rest.find_first_of("/?", from);
        if (upto == std::string::npos) upto = rest.size();
        a.host = lowered(rest.substr(from, upto - from));
        if (a.host.empty() || a.host.find('@') != std::string::npos || !hostsane(a.host))
            return asksfail(a, 400, "Bad host in the request target.");
        a.absolute = true;
        rest = rest[upto] == '/' ? rest.substr(upto) : "/" + rest.substr(upto);
    } else if (rest[0] != '/') {
        // CONNECT's host:port, OPTIONS' "*": only GET and HEAD need a path,
        // and the others are refused for their method.
        if (a.meth == "GET" || a.meth == "HEAD") return asksfail(a, 400, "Malformed request target.");
        a.path = rest;
        return;
    }
    std::size_t ask = rest.find('?');
    a.path = rest.substr(0, ask);
    if (ask != std::string::npos) a.query = rest.substr(ask);
}

void asksfield(asks& a, std::string line) {
    if (line.empty() || blank(line[0])) return asksfail(a, 400, "Folded field line.");
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || !tokensane(line.substr(0, colon)))
        return asksfail(a, 400, colon != std::string::npos && colon > 0 && blank(line[colon - 1])
                                    ? "Whitespace before a field's colon."
                                    : "Malformed field line.");
    std::size_t from = colon + 1, upto = line.size();
    for (std::size_t k = from; k < upto; ++k) {
        unsigned char u = static_cast<unsigned char>(line[k]);
        if ((u < 0x20 && u != '\t') || u == 0x7f) return asksfail(a, 400, "Control byte in a field value.");
    }
    while (from < upto && blank(line[from])) ++from;
    while (upto > from && blank(line[upto - 1])) --upto;
    std::string name = lowered(line.substr(0, colon));
    std::string valu = line.substr(from, upto - from);
    if (name == "host") {
        // Checked even where the target names the host: a client that sends
        // a bad one or two of them is not to be trusted with either.
        if (++a.hosts > 1) return asksfail(a, 400, "More than one Host.");
        if (!hostsane(valu)) return asksfail(a, 400, "Bad Host.");
        if (!a.absolute) a.host = lowered(valu);
    }
    if (name == "connection") valu = lowered(valu);
    if (name == "accept-encoding") a.accepts = true;
    if (name == "content-length") {
        // A list of one length, as a proxy may join them, or the field sent
        // again with it, is that length; lengths that differ leave the
        // body's end in doubt.
        std::vector<std::string> lens = listwords(a.length.empty() ? valu : a.length + ", " + valu);
        for (const std::string& len : lens)
            if (len.empty() || !digits(len) || len != lens[0]) return asksfail(a, 400, "Bad Content-Length.");
        a.body = a.body || lens[0].find_first_not_of('0') != std::string::npos;
    }
    // No body is read, but the connection must not take one for the next
    // request. The coding is judged at the block's end: a line folded into
    // it is a malformed request first.
    if (name == "transfer-encoding") a.body = a.coded = true;
    if (std::string* keep = fieldkeep(a, name)) *keep = keep->empty() ? valu : *keep + ", " + valu;
}

bool askskeep(const asks& a) {
    if (a.code != 0 || a.body) return false;
    std::vector<std::string> words = listwords(a.link);
    bool shut = std::find(words.begin(), words.end(), "close") != words.end();
    bool live = std::find(words.begin(), words.end(), "keep-alive") != words.end();
    return !shut && (a.vers == 11 || live);
}

void asksdone(asks& a) {
    if (a.coded && (a.vers == 10 || lowered(listwords(a.coding).back()) != "chunked"))
        asksfail(a, 501, "Transfer coding not implemented.");
    if (a.vers == 11 && a.hosts == 0) asksfail(a, 400, "No Host.");
}
