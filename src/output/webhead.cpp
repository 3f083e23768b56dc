#include <cassert>

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
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
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

std::string num(std::int64_t n) {
    return std::to_string(n);
}

}  // namespace

bool headsane(const webhead& h) {
    if (!reason(h.code) || !valusane(h.type) || !valusane(h.where) || h.length < 0 || h.keep < 0 || h.keep > 2)
        return false;
    bool file = h.size >= 0;
    if (file && !tagsane(h.tag)) return false;
    if (h.code == 206 && !(file && h.first >= 0 && h.length >= 1 && h.length <= h.size - h.first))
        return false;
    if ((h.code == 304 || h.code == 416) && !file) return false;
    return h.code != 303 || !h.where.empty();
}

std::string headmake(webhead h) {
    assert(headsane(h));
    bool file = h.size >= 0;
    std::string out = "HTTP/1.1 " + num(h.code) + " " + reason(h.code) + "\r\n";
    if (h.code != 304) {
        if (!h.type.empty()) out += "Content-Type: " + h.type + "\r\n";
        out += "Content-Length: " + num(h.length) + "\r\n";
    }
    if (h.code == 206)
        out += "Content-Range: bytes " + num(h.first) + "-" + num(h.first + h.length - 1) + "/" +
               num(h.size) + "\r\n";
    if (h.code == 416) out += "Content-Range: bytes */" + num(h.size) + "\r\n";
    if (file) {
        // A time in the future is not a time the file was seen to change.
        out += "Last-Modified: " + datetext(h.mtime < h.now ? h.mtime : h.now) + "\r\n";
        out += "ETag: " + h.tag + "\r\n";
        out += "Accept-Ranges: bytes\r\n";
    }
    if (h.code == 303) out += "Location: " + h.where + "\r\n";
    if (h.code == 405) out += "Allow: GET, HEAD\r\n";
    out += "Date: " + datetext(h.now) + "\r\n";
    if (h.keep == 0) out += "Connection: close\r\n";
    if (h.keep == 2) out += "Connection: keep-alive\r\n";
    out += "\r\n";
    return out;
}
