#include "core/world.h"

const std::string crlf = "\r\n";

std::string& root() {
    static std::string text;
    return text;
}

std::uint16_t& port() {
    static std::uint16_t numb;
    return numb;
}

bool& web() {
    static bool mode;
    return mode;
}
