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

std::string& certdir() {
    static std::string text;
    return text;
}

std::uint16_t& tlsport() {
    static std::uint16_t numb = 443;
    return numb;
}

bool& plainok() {
    static bool mode;
    return mode;
}

logstyle& logkind() {
    static logstyle kind = logcolumns;
    return kind;
}

bool& proxyon() {
    static bool mode;
    return mode;
}
