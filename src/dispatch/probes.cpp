#include <cassert>
#include <sstream>

#include "dispatch/probes.h"

bool statexists(std::string path) {
    statinfo data;
    return statpath(path.c_str(), &data) == 0;
}

bool statfile(std::string path) {
    // Devices, pipes and sockets are never opened: a pipe would block the
    // only thread. Links are followed by the status call already.
    statinfo data;
    return statpath(path.c_str(), &data) == 0 && (data.st_mode & _S_IFMT) == _S_IFREG;
}

bool statdir(std::string path) {
    statinfo data;
    return statpath(path.c_str(), &data) == 0 && (data.st_mode & _S_IFMT) == _S_IFDIR;
}

std::int64_t statsize(std::string path) {
    statinfo data;
    return statpath(path.c_str(), &data) == 0 ? data.st_size : -1;
}

bool namenodot(std::string name) {
    return name.find('.') == std::string::npos;
}

std::string nameafterdot(std::string name) {
    std::size_t s = name.find('.');
    assert(s != std::string::npos);
    return name.substr(s + 1);
}

std::string numtext(std::int64_t numb) {
    std::ostringstream text;
    text << numb;
    return text.str();
}
