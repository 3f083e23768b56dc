#include <cassert>
#include <sstream>

#include "dispatch/probes.h"

statinfo statpeek(std::string path) {
    statinfo data;
    if (statpath(path.c_str(), &data) != 0) data = statinfo{0, -1, 0, 0};
    return data;
}

bool statexists(std::string path) {
    return statpeek(path).st_mode != 0;
}

bool statfile(const statinfo& data) {
    // Devices, pipes and sockets are never opened: a pipe would block the
    // only thread. Links are followed by the status call already.
    return (data.st_mode & _S_IFMT) == _S_IFREG;
}

bool statdir(const statinfo& data) {
    return (data.st_mode & _S_IFMT) == _S_IFDIR;
}

bool namenodot(std::string name) {
    return name.find('.') == std::string::npos;
}

std::string nameafterdot(std::string name) {
    std::size_t dot = name.find('.');
    bool s = dot != std::string::npos;
    assert(s);
    return name.substr(dot + 1);
}

std::string numtext(std::int64_t numb) {
    std::ostringstream text;
    text << numb;
    return text.str();
}
