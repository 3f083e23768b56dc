#include <cassert>
#include <cstdint>

#include "output/webhead.h"
#include "request/dates.h"
#include "request/tags.h"

namespace {

const char* reason(int code) {
    switch (code) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 412: return "Precondition Failed";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    }
    return nullptr;
}

// A header value: printable, so it cannot end its line or start another.
bool valusane(const std::string& v) {
    for (char c : v)
        if (c < 32 || c > 126) return false;
    return true;
}

void num(std::string& out, std::int64_t n) {
    char text[24];
    int k = 24;
    std::uint64_t u = n < 0 ? 0 - std::uint64_t(n) : std::uint64_t(n);
    do text[--k] = char('0' + u % 10); while ((u /= 10) != 0);
    if (n < 0) text[--k] = '-';
    out.append(text + k, std::size_t(24 - k));
}

// The date texts of the last two seconds asked for: an answer's Date and its
// file's Last-Modified are each written once, not once an answer.
const std::string& datememo(std::int64_t secs) {
    static std::int64_t when[2] = {INT64_MIN, INT64_MIN};
    static std::string text[2];
    static int next = 0;
    for (int k = 0; k < 2; ++k)
        if (when[k] == secs) return text[k];
    int k = next;
    next ^= 1;
    when[k] = secs;
    text[k] = datetext(secs);
    return text[k];
}

}  // namespace

bool headsane(const webhead& h) {
    if (!reason(h.code) || !valusane(h.type) || !valusane(h.coding) || !valusane(h.where) || h.length < 0 || h.keep < 0 || h.keep > 2)
        return false;
    bool file = h.size >= 0;
    if (file && !tagsane(h.tag)) return false;
    if (h.code == 206 && !(file && h.first >= 0 && h.length >= 1 && h.length <= h.size - h.first))
        return false;
    if ((h.code == 304 || h.code == 416) && !file) return false;
    return (h.code != 303 && h.code != 308) || !h.where.empty();
}

std::string headmake(webhead h) {
    assert(headsane(h));
    bool file = h.size >= 0;
    std::string out;
    out.reserve(320);
    out += "HTTP/1.1 ";
    num(out, h.code);
    out += ' ';
    out += reason(h.code);
    out += "\r\n";
    if (h.code != 304) {
        if (!h.type.empty()) out.append("Content-Type: ").append(h.type).append("\r\n");
        if (!h.coding.empty()) out.append("Content-Encoding: ").append(h.coding).append("\r\n");
        out += "Content-Length: ";
        num(out, h.length);
        out += "\r\n";
    }
    if (h.code == 206) {
        out += "Content-Range: bytes ";
        num(out, h.first);
        out += '-';
        num(out, h.first + h.length - 1);
        out += '/';
        num(out, h.size);
        out += "\r\n";
    }
    if (h.code == 416) {
        out += "Content-Range: bytes */";
        num(out, h.size);
        out += "\r\n";
    }
    if (file) {
        // A time in the future is not a time the file was seen to change.
        out.append("Last-Modified: ").append(datememo(h.mtime < h.now ? h.mtime : h.now)).append("\r\n");
        out.append("ETag: ").append(h.tag).append("\r\n");
        out += "Accept-Ranges: bytes\r\n";
    }
    if (h.code == 303 || h.code == 308) out.append("Location: ").append(h.where).append("\r\n");
    if (h.code == 405) out += "Allow: GET, HEAD\r\n";
    if (h.vary) out += "Vary: Accept-Encoding\r\n";
    out.append("Date: ").append(datememo(h.now)).append("\r\n");
    if (h.keep == 0) out += "Connection: close\r\n";
    if (h.keep == 2) out += "Connection: keep-alive\r\n";
    out += "\r\n";
    return out;
}

std::vector<std::pair<const char*, std::string>> headlist(const webhead& h) {
    assert(headsane(h));
    bool file = h.size >= 0;
    std::vector<std::pair<const char*, std::string>> out;
    out.reserve(12);
    out.emplace_back(":status", std::to_string(h.code));
    if (h.code != 304) {
        if (!h.type.empty()) out.emplace_back("content-type", h.type);
        if (!h.coding.empty()) out.emplace_back("content-encoding", h.coding);
        out.emplace_back("content-length", std::to_string(h.length));
    }
    if (h.code == 206)
        out.emplace_back("content-range", "bytes " + std::to_string(h.first) + "-" +
                                              std::to_string(h.first + h.length - 1) + "/" + std::to_string(h.size));
    if (h.code == 416) out.emplace_back("content-range", "bytes */" + std::to_string(h.size));
    if (file) {
        out.emplace_back("last-modified", datememo(h.mtime < h.now ? h.mtime : h.now));
        out.emplace_back("etag", h.tag);
        out.emplace_back("accept-ranges", "bytes");
    }
    if (h.code == 303 || h.code == 308) out.emplace_back("location", h.where);
    if (h.code == 405) out.emplace_back("allow", "GET, HEAD");
    if (h.vary) out.emplace_back("vary", "Accept-Encoding");
    out.emplace_back("date", datememo(h.now));
    return out;
}
