// The generated HTML: the folder listing and the body of the trailing-slash
// redirect. Names and paths come from the client or the disk, so none of their
// bytes may open a tag, an attribute or an entity, and every link must lead
// back to what it names. The pages are read back with a small tokenizer that
// knows only the tags the server writes.
//
// Input: byte 0 is the separator; bytes 1 and 2 the port (high byte first);
// the rest, cut at the separator, is the host folder, the page path and the
// names (NUL and '/' are dropped from names, NUL from the path, as neither can
// reach the page). The page path doubles as the path of the redirect.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/world.h"
#include "dispatch/respond.h"
#include "must.h"
#include "output/listing.h"

namespace {

struct token {
    bool tag;
    std::string text;  // a tag without its < >, or raw text
};

// Splits HTML into tags and text. Only a tag opens with '<', and inside a tag
// a '>' in quotes does not close it.
std::vector<token> tokens(const std::string& html) {
    std::vector<token> out;
    std::size_t k = 0;
    while (k < html.size()) {
        if (html[k] == '<') {
            std::size_t e = k + 1;
            bool quoted = false;
            while (e < html.size() && (quoted || html[e] != '>')) {
                MUST(html[e] != '<');
                if (html[e] == '"') quoted = !quoted;
                ++e;
            }
            MUST(e < html.size());
            out.push_back({true, html.substr(k + 1, e - k - 1)});
            k = e + 1;
        } else {
            std::size_t e = html.find('<', k);
            if (e == std::string::npos) e = html.size();
            out.push_back({false, html.substr(k, e - k)});
            k = e;
        }
    }
    return out;
}

// Text with its entities resolved; a '&' must open one of the entities the
// server writes, and no '>' or '"' may stand bare.
std::string unescaped(const std::string& text) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    std::string out;
    std::size_t k = 0;
    while (k < text.size()) {
        MUST(text[k] != '>' && text[k] != '"');
        if (text[k] != '&') {
            out += text[k++];
            continue;
        }
        bool found = false;
        for (const auto& e : entities) {
            std::string name = e.first;
            if (text.compare(k, name.size(), name) == 0) {
                out += e.second;
                k += name.size();
                found = true;
                break;
            }
        }
        MUST(found);
    }
    return out;
}

int hexdigit(char b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    return -1;
}

// A listing href holds only bytes a URL carries as they are, and '%' escapes.
std::string percentdecoded(const std::string& href) {
    std::string out;
    std::size_t k = 0;
    while (k < href.size()) {
        char b = href[k];
        if (b == '%') {
            MUST(k + 2 < href.size() && hexdigit(href[k + 1]) >= 0 && hexdigit(href[k + 2]) >= 0);
            out += char(hexdigit(href[k + 1]) * 16 + hexdigit(href[k + 2]));
            k += 3;
            continue;
        }
        bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                     b == '-' || b == '.' || b == '_' || b == '~' || b == '/';
        MUST(plain);
        out += b;
        ++k;
    }
    return out;
}

struct page {
    std::vector<std::pair<std::string, std::string>> links;  // href as written, text
    std::string title;
    std::string h2;
};

// Reads a page of the server's own tags back; a tag it does not write, or
// text outside the elements that hold it, breaks the check.
page readpage(const std::string& html) {
    static const std::set<std::string> fixed = {
        "html", "/html", "head", "/head", "title", "/title", "style", "/style", "body", "/body",
        "h2",   "/h2",   "p",    "tr",    "/tr",   "td",     "/td",   "/a",    "/table",
        "table style=\"width:100%\""};
    page out;
    std::string open;  // the element whose text comes next: title, h2, a
    std::string href;
    for (const token& t : tokens(html)) {
        if (!t.tag) {
            std::string text = unescaped(t.text);
            if (open == "title") out.title += text;
            else if (open == "h2") out.h2 += text;
            else if (open == "a") out.links.back().second += text;
            continue;
        }
        const std::string& g = t.text;
        const std::string lead = "a href=\"";
        if (g.compare(0, lead.size(), lead) == 0) {
            MUST(g.size() > lead.size() && g.back() == '"');
            std::string value = g.substr(lead.size(), g.size() - lead.size() - 1);
            MUST(value.find('"') == std::string::npos);
            MUST(open.empty());
            out.links.push_back({unescaped(value), ""});
            open = "a";
            continue;
        }
        MUST(fixed.count(g) == 1);
        if (g == "title" || g == "h2") {
            MUST(open.empty());
            open = g;
        } else if (g == "/title" || g == "/h2" || g == "/a") {
            MUST(open == g.substr(1));
            open.clear();
        } else {
            MUST(open.empty());
        }
    }
    MUST(open.empty());
    return out;
}

std::vector<std::string> fields(const std::string& rest, char sepr) {
    std::vector<std::string> out(1);
    for (char b : rest) {
        if (b == sepr) out.emplace_back();
        else out.back() += b;
    }
    return out;
}

std::string without(std::string s, const char* drop, std::size_t n) {
    std::string out;
    for (char b : s)
        if (std::string(drop, n).find(b) == std::string::npos) out += b;
    return out;
}

void checklisting(const std::string& host, const std::string& path, const std::set<std::string>& names) {
    std::string html = dirpage(root() + "/" + host + path, names);
    page got = readpage(html);
    MUST(got.title == path);
    std::string h2 = host == "a" ? "Directory of [" + path + "]"
                                 : "http://" + host + (port() != 80 ? ":" + std::to_string(port()) : "") + path;
    MUST(got.h2 == h2);

    std::vector<std::pair<std::string, std::string>> want;
    if (path != "/") want.push_back({path + "..", ".."});
    for (const std::string& name : names) want.push_back({path + name, name});
    MUST(got.links.size() == want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        const std::string& href = got.links[k].first;
        // "//x" in a link is the host x to a browser.
        MUST(href.compare(0, 2, "//") != 0);
        MUST(percentdecoded(href) == want[k].first);
        MUST(got.links[k].second == want[k].second);
    }
}

void checkslash(const std::string& path) {
    std::string text = slashtext(path);
    const std::string lead = "HTTP/1.1 303 needs_slash\r\nLocation: ";
    MUST(text.compare(0, lead.size(), lead) == 0);
    std::size_t end = text.find("\r\n\r\n", lead.size());
    MUST(end != std::string::npos);
    std::string where = text.substr(lead.size(), end - lead.size());
    MUST(where.find_first_of("\r\n") == std::string::npos);
    // The folder asked for, with its slash, on this host: "//x" or "/\x" would
    // be the host x to a browser.
    MUST(!where.empty() && where[0] == '/' && where.back() == '/');
    MUST(where.size() == 1 || (where[1] != '/' && where[1] != '\\'));
    std::size_t from = path.find_first_not_of("/\\");
    MUST(where == (from == std::string::npos ? "/" : "/" + path.substr(from) + "/"));

    page got = readpage(text.substr(end + 4));
    MUST(got.title.empty() && got.h2.empty());
    MUST(got.links.size() == 1);
    MUST(got.links[0].first == where);
    MUST(got.links[0].second == where);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    root() = "/srv/tavi";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    char sepr = char(data[0]);
    port() = std::uint16_t(data[1] << 8 | data[2]);
    std::vector<std::string> parts =
        fields(std::string(reinterpret_cast<const char*>(data) + 3, size - 3), sepr);

    // A site folder is one name: no separator, never empty.
    std::string host = parts.size() > 0 ? without(parts[0], "\0/\\", 3) : "";
    if (host.empty()) host = "a";

    // A folder's page path starts and ends with "/".
    std::string path = parts.size() > 1 ? without(parts[1], "\0", 1) : "";
    if (path.empty() || path[0] != '/') path = "/" + path;
    if (path.back() != '/') path += "/";

    std::set<std::string> names;
    for (std::size_t k = 2; k < parts.size(); ++k) {
        std::string name = without(parts[k], "\0/", 2);
        if (!name.empty() && name != "." && name != "..") names.insert(name);
    }
    checklisting(host, path, names);

    // The redirect gets a request path as received: printable, no blank, no
    // '?', starting with "/".
    std::string asked = "/";
    for (char b : parts.size() > 1 ? parts[1] : std::string())
        if (b > 32 && b < 127 && b != '?') asked += b;
    checkslash(asked);
    return 0;
}
