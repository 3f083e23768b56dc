// The pure pieces of the --web mode, each against rules written out afresh.
//
// Input: bytes 0..7 and 8..15 two numbers (little-endian, missing bytes 0),
// byte 16 a choice, the rest a text. The text is read as a Range value, an
// HTTP date, an If-None-Match list, an If-Range value, a file name, a request
// path, a content type and, cut at each LF, as the lines of a header block
// and the combined log line of that request.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dispatch/webpick.h"
#include "must.h"
#include "output/combined.h"
#include "output/types.h"
#include "output/webhead.h"
#include "request/asks.h"
#include "request/codings.h"
#include "request/dates.h"
#include "request/kinds.h"
#include "request/ranges.h"
#include "request/tags.h"
#include "request/target.h"

namespace {

std::string lowered(std::string s) {
    for (char& c : s) c = charlow(c);
    return s;
}

std::string raised(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return s;
}

bool alldigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// One range the plain way, for values that fit in 18 digits: "bytes=a-b",
// "bytes=a-" or "bytes=-n" with nothing around it. False for any other text.
bool plainrange(const std::string& v, std::int64_t size, span* want) {
    if (v.compare(0, 6, "bytes=") != 0) return false;
    std::string r = v.substr(6);
    std::size_t dash = r.find('-');
    if (dash == std::string::npos) return false;
    std::string a = r.substr(0, dash), b = r.substr(dash + 1);
    if ((!a.empty() && !alldigits(a)) || (!b.empty() && !alldigits(b)) || (a.empty() && b.empty()))
        return false;
    if (a.size() > 18 || b.size() > 18) return false;
    *want = span();
    want->count = size;
    if (a.empty()) {
        std::int64_t n = std::stoll(b);
        if (n == 0) *want = span{spanmiss, 0, 0};
        else if (size > 0) *want = span{spanpart, n >= size ? 0 : size - n, n >= size ? size : n};
        return true;
    }
    std::int64_t x = std::stoll(a);
    std::int64_t y = b.empty() ? INT64_MAX : std::stoll(b);
    if (y < x) return true;
    if (x >= size) *want = span{spanmiss, 0, 0};
    else *want = span{spanpart, x, (y >= size ? size - 1 : y) - x + 1};
    return true;
}

void checkrange(const std::string& text, std::int64_t size) {
    span s = spanread(text, size);
    MUST(spansane(s, size));
    span want;
    if (plainrange(text, size, &want))
        MUST(s.fate == want.fate && s.first == want.first && s.count == want.count);
    // The unit is read in any case; digits have none.
    span up = spanread(raised(text), size);
    MUST(up.fate == s.fate && up.first == s.first && up.count == s.count);
    if (text.find('=') == std::string::npos) MUST(s.fate == spanwhole);
    if (s.fate == spanpart) {
        // The span written as a range reads back as itself.
        std::string again = "bytes=" + std::to_string(s.first) + "-" + std::to_string(s.first + s.count - 1);
        span back = spanread(again, size);
        MUST(back.fate == spanpart && back.first == s.first && back.count == s.count);
    }
}

const std::map<std::string, std::string> longday = {
    {"Sun", "Sunday"},   {"Mon", "Monday"}, {"Tue", "Tuesday"},  {"Wed", "Wednesday"},
    {"Thu", "Thursday"}, {"Fri", "Friday"}, {"Sat", "Saturday"},
};

void checkdates(std::int64_t n, const std::string& text) {
    std::uint64_t span = std::uint64_t(datehigh - datelow) + 1;
    std::int64_t secs = datelow + std::int64_t(std::uint64_t(n) % span);
    std::string t = datetext(secs);
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    MUST(t.size() == 29 && t.compare(3, 2, ", ") == 0 && t.compare(25, 4, " GMT") == 0);
    MUST(t[19] == ':' && t[22] == ':');
    std::int64_t back = 0;
    MUST(dateread(t, secs, &back) && back == secs);
    MUST(dateread(lowered(t), secs, &back) && back == secs);
    MUST(dateread(raised(t), secs, &back) && back == secs);
    // The same time in the two obsolete forms.
    std::string day = t.substr(5, 2), mon = t.substr(8, 3), year = t.substr(12, 4);
    std::string clock = t.substr(17, 8);
    std::string asc = t.substr(0, 3) + " " + mon + " " + (day[0] == '0' ? " " + day.substr(1) : day) +
                      " " + clock + " " + year;
    MUST(dateread(asc, 0, &back) && back == secs);
    std::string old = longday.at(t.substr(0, 3)) + ", " + day + "-" + mon + "-" + year.substr(2) +
                      " " + clock + " GMT";
    MUST(dateread(old, secs, &back) && back == secs);
    MUST(datetext(datelow - 1 - (n & 0xffff)) == datetext(datelow));
    MUST(datetext(datehigh + 1 + (n & 0xffff)) == datetext(datehigh));

    // Any text that reads is a time a four-digit year can name (a leap
    // second may pass the last), and an IMF-fixdate comes back as it was.
    std::int64_t got = 0;
    if (!dateread(text, n, &got)) return;
    MUST(got >= datelow && got <= datehigh + 1);
    if (got <= datehigh) MUST(dateread(datetext(got), 0, &back) && back == got);
    if (text.size() == 29 && text.compare(23, 2, "60") != 0 && text.find(',') == 3)
        MUST(lowered(datetext(got)).compare(3, 26, lowered(text), 3, 26) == 0);
}

void checktags(std::int64_t size, std::int64_t mtime, std::int64_t now, const std::string& text) {
    std::int64_t nsec = now % 1000000000;
    std::string tag = tagmake(size, mtime, nsec);
    MUST(tagsane(tag) && tag == lowered(tag));
    MUST(tagmatch(tag, tag, true) && tagmatch("W/" + tag, tag, false) && !tagmatch("W/" + tag, tag, true));
    MUST(tagmatch(" \"x\", W/" + tag + " ,", tag, false) && !tagmatch("w/" + tag, tag, false));
    MUST(tagmatch("*", tag, true));
    MUST(tagmake(size ^ 1, mtime, nsec) != tag && tagmake(size, mtime ^ 1, nsec) != tag);
    MUST(tagmake(size, mtime, nsec ^ 1) != tag);
    for (bool strong : {false, true})
        if (tagmatch(text, tag, strong)) {
            std::size_t b = text.find_first_not_of(" \t");
            std::size_t e = text.find_last_not_of(" \t");
            MUST(text.find(tag) != std::string::npos || text.substr(b, e - b + 1) == "*");
        }
    // The 304 choice: the tag list when there is one, else the date.
    asks a;
    a.match = text;
    MUST(asksfresh(a, tag, mtime, 0) == (!text.empty() && tagmatch(text, tag, false)));
    a.match.clear();
    a.since = text;
    std::int64_t since = 0;
    bool dated = dateread(text, 0, &since);
    MUST(asksfresh(a, tag, mtime, 0) == (!text.empty() && dated && mtime <= since));
    // The 412 choice: If-Match first, else If-Unmodified-Since.
    a.since.clear();
    a.unsince = text;
    MUST(asksheld(a, tag, mtime, 0) == (text.empty() || !dated || mtime <= since));
    a.ifmatch = text;
    MUST(asksheld(a, tag, mtime, 0) == (text.empty() ? mtime <= since || !dated : tagmatch(text, tag, true)));
    // The range holds without If-Range, or with the tag itself, or the very
    // second when that is a second before now.
    a = asks();
    a.guard = text;
    MUST(asksrange(a, tag, mtime, 0) ==
         (text.empty() || text == tag || (text[0] != '"' && dated && since == mtime && mtime < 0)));
}

void checknames(const std::string& text) {
    std::string type = mimefind(text);
    MUST(!type.empty() && mimefind(raised(text)) == type);
    if (text.find('/') == std::string::npos) MUST(mimefind("/a.html/" + text) == type);
    std::string base = text.substr(text.rfind('/') + 1);
    if (base.find('.') == std::string::npos) MUST(type == "application/octet-stream");

    // Hidden: a segment that begins with '.', but for a first ".well-known".
    std::string path = "/" + text;
    std::vector<std::string> segs;
    std::string seg;
    for (std::size_t k = 1; k <= path.size(); ++k) {
        if (k == path.size() || path[k] == '/') {
            segs.push_back(seg);
            seg.clear();
        } else {
            seg += path[k];
        }
    }
    bool hidden = false;
    for (std::size_t k = 0; k < segs.size(); ++k)
        if (!segs[k].empty() && segs[k][0] == '.' && !(k == 0 && segs[k] == ".well-known"))
            hidden = true;
    MUST(pathhidden(path) == hidden);
    MUST(namehidden(text) == (!text.empty() && text[0] == '.'));
    // Dot segments out: a fixed point, the path itself where it has none.
    std::string tidy, again;
    long ups = std::count(segs.begin(), segs.end(), ".."), dots = ups + std::count(segs.begin(), segs.end(), ".");
    bool kept = pathtidy(path, &tidy);
    MUST(kept || ups > 0);
    if (!kept) return;
    MUST(pathtidy(tidy, &again) && again == tidy && (dots > 0 || tidy == path) && !cstrends(tidy, "/."));
    MUST(tidy.find("/./") == std::string::npos && tidy.find("/../") == std::string::npos && !cstrends(tidy, "/.."));
}

// The lines of a header block: a request the record does not refuse has a
// token for its method, a path or a method that needs none, a sane host, and
// the fields kept, each joined when sent again.
void checkblock(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; lines.size() < 64 && std::getline(in, l);) lines.push_back(l);
    lines.resize(std::max<std::size_t>(lines.size(), 1));
    asks a;
    askspart(a, lines[0]);
    std::map<std::string, std::string> kept;
    for (std::size_t k = 1; k < lines.size() && a.code == 0; ++k) {
        asksfield(a, lines[k]);
        std::size_t colon = lines[k].find(':');
        if (a.code != 0 || colon == std::string::npos) continue;
        std::string valu = lines[k].substr(colon + 1);
        valu.erase(0, valu.find_first_not_of(" \t"));
        valu.erase(valu.find_last_not_of(" \t") + 1);
        std::string& was = kept[lowered(lines[k].substr(0, colon))];
        was = was.empty() ? valu : was + ", " + valu;
    }
    asksdone(a);
    // Whatever a client sends, its combined line is one line of printable
    // bytes with its quotes where a reader looks for them.
    std::string line = logcombined(logged{"::1", "a:80", 0, a.line, a.code ? a.code : 200, 0, a.refer, a.agent});
    MUST(line.find('\n') == line.size() - 1 && std::count(line.begin(), line.end(), '"') == 6);
    MUST(std::all_of(line.begin(), line.end() - 1, [](char c) { return c >= 0x20 && c < 0x7f; }));
    MUST(a.code == 0 || a.code == 400 || a.code == 501 || a.code == 505);
    MUST((a.code == 0) == a.why.empty());
    if (a.code != 0) return;
    MUST(tokensane(a.meth) && hostsane(a.host) && (a.vers == 10 || a.hosts == 1));
    MUST(a.path[0] == '/' || (a.meth != "GET" && a.meth != "HEAD"));
    MUST(a.absolute || a.host == lowered(kept["host"]));
    MUST(a.range == kept["range"] && a.since == kept["if-modified-since"] && a.match == kept["if-none-match"] &&
         a.guard == kept["if-range"] && a.ifmatch == kept["if-match"] && a.refer == kept["referer"] &&
         a.agent == kept["user-agent"] && a.line == lines[0]);
    // The coding picked is one offered, or the file as it is, or none at all.
    MUST(a.codes == kept["accept-encoding"]);
    for (unsigned offered : {0u, 2u, 8u, 14u}) {
        coding c = codingpick(a.codes, a.accepts, offered);
        MUST(c == codenone || c == codeidentity || (c > codeidentity && c <= codebr && (offered & 1u << c)));
    }
}

void checkhead(std::int64_t n, std::int64_t m, unsigned pick, const std::string& text) {
    static const int codes[] = {200, 206, 303, 304, 400, 404, 405, 416, 412, 431, 505};
    webhead h;
    h.code = codes[pick % 11];
    if (pick & 8) {
        h.size = n & 0xffffffffff;
        h.first = std::int64_t(std::uint64_t(m) % std::uint64_t(h.size + 1));
        h.length = h.size - h.first;
        h.tag = tagmake(h.size, m, n & 0xffff);
    } else {
        h.length = n & 0xffff;
    }
    h.mtime = m;
    h.now = n ^ m;
    for (char c : text.substr(0, 64))
        if (c >= 32 && c <= 126) h.type += c;
    if (h.code == 303) h.where = h.type.empty() ? "/" : h.type;
    if (!headsane(h)) {
        MUST(h.code == 206 || h.code == 304 || h.code == 416);
        return;
    }
    std::string out = headmake(h);
    MUST(out.compare(0, 13, "HTTP/1.1 " + std::to_string(h.code) + " ") == 0);
    MUST(out.find("\r\n\r\n") == out.size() - 4);
    // Every header line is "Name: value", printable.
    std::size_t at = out.find("\r\n") + 2;
    while (at < out.size() - 2) {
        std::size_t end = out.find("\r\n", at);
        std::string line = out.substr(at, end - at);
        MUST(line.find(": ") != std::string::npos && line.find(": ") > 0);
        for (char c : line) MUST(c >= 32 && c <= 126);
        at = end + 2;
    }
    // Searched from a line's start: a content type may hold any header's text.
    MUST(out.find("\r\nConnection: close\r\n") != std::string::npos);
    MUST(out.find("\r\nDate: " + datetext(h.now) + "\r\n") != std::string::npos);
    MUST((out.find("\r\nContent-Length: ") != std::string::npos) == (h.code != 304));
    MUST((out.find("\r\nETag: ") != std::string::npos) == (h.size >= 0));
    if (h.code == 206)
        MUST(out.find("\r\nContent-Range: bytes " + std::to_string(h.first) + "-" +
                      std::to_string(h.first + h.length - 1) + "/" + std::to_string(h.size) +
                      "\r\n") != std::string::npos);
    MUST((out.find("\r\nAllow: GET, HEAD\r\n") != std::string::npos) == (h.code == 405));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t head[17] = {};
    std::memcpy(head, data, size < 17 ? size : 17);
    std::uint64_t u = 0, v = 0;
    for (int k = 7; k >= 0; --k) {
        u = u << 8 | head[k];
        v = v << 8 | head[8 + k];
    }
    std::int64_t n = std::int64_t(u), m = std::int64_t(v);
    std::string text = size > 17 ? std::string(reinterpret_cast<const char*>(data) + 17, size - 17) : "";

    std::int64_t fsize = n & INT64_MAX;
    checkrange(text, fsize);
    checkrange(text, fsize % 1000);
    checkrange(text, 0);
    checkdates(n, text);
    checktags(fsize, m, n, text);
    checknames(text);
    checkblock(text);
    checkhead(n, m, head[16], text);
    return 0;
}
