#include <cassert>

#include "output/combined.h"
#include "output/escape.h"
#include "request/dates.h"

namespace {

std::string quoted(const std::string& text) {
    return "\"" + (text.empty() ? std::string("-") : logescape(text)) + "\"";
}

}  // namespace

std::string logescape(std::string text) {
    return hexescape(text, "\\x", [](unsigned char b) { return b >= 0x20 && b < 0x7f && b != '"' && b != '\\'; });
}

std::string logfour(const unsigned char four[4]) {
    return std::to_string(four[0]) + "." + std::to_string(four[1]) + "." + std::to_string(four[2]) + "." +
           std::to_string(four[3]);
}

std::string logcombined(const logged& l) {
    assert(l.code >= 100 && l.code <= 999 && l.size >= 0 && "code, size");
    // "Wed, 09 Dec 2026 18:24:04 GMT" holds the fields in another order.
    std::string date = datetext(l.when);
    std::string when = date.substr(5, 2) + "/" + date.substr(8, 3) + "/" + date.substr(12, 4) + ":" + date.substr(17, 8);
    return (l.site.empty() ? "" : l.site + " ") + l.addr + " - - [" + when + " +0000] " + quoted(l.line) + " " +
           std::to_string(l.code) + " " + std::to_string(l.size) + " " + quoted(l.refer) + " " + quoted(l.agent) +
           "\n";
}
