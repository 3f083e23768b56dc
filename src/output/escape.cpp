#include "output/escape.h"

std::string htmlescape(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string hexescape(const std::string& text, const char* mark, bool (*keep)(unsigned char)) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (keep(b)) {
            out += c;
        } else {
            out += mark;
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

std::string hrefencode(std::string path) {
    return hexescape(path, "%", [](unsigned char b) {
        return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
               b == '_' || b == '~' || b == '/';
    });
}
