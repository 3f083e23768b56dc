#include <cstdio>
#include <set>
#include <utility>

#include "core/conn.h"
#include "core/world.h"
#include "dispatch/probes.h"
#include "dispatch/respond.h"
#include "output/chunks.h"
#include "output/escape.h"
#include "output/listing.h"
#include "request/kinds.h"
#include "request/target.h"

void clntfail(conn& c, const char* text) {
    c.buff = boutmake(text);
    c.mode = 1;
}

namespace {

void clntmiss(conn& c) {
    clntfail(c, "HTTP/1.1 404 no_such_file\r\n\r\nNo such file.");
}

// Leaves the file on the entry to be sent behind its header; false when it is
// gone or cannot be opened, which the caller answers as missing.
bool clntfile(conn& c, const std::string& name, std::int64_t size, const char* tag) {
    FILE* fptr = fopen(name.c_str(), "r");
    if (!fptr) {
        perror(tag);
        std::string line = "[" + name + "]\n";
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
        return false;
    }
    c.buff = quipnone();
    c.head = "HTTP/1.1 200 ok\r\ncontent-length:" + numtext(size) + "\r\n\r\n";
    c.fptr = fptr;
    // The body is the file as its header announced it, however it grows.
    c.left = size;
    return true;
}

// A complete response text of any length, sent piece by piece.
void clnttext(conn& c, std::string text) {
    c.buff = std::move(text);
    c.left = std::int64_t(c.buff.size());
    c.mode = 2;
}

}  // namespace

std::string slashtext(std::string path) {
    // "//host" or "/\host" would send a browser to another host.
    std::string dest = path + "/";
    dest.replace(0, dest.find_first_not_of("/\\"), "/");
    std::string html = htmlescape(dest);
    return "HTTP/1.1 303 needs_slash\r\nLocation: " + dest +
           "\r\n\r\nThis directory needs a trailing slash. Redirecting you to <a href=\"" + html +
           "\">" + html + "</a>";
}

void clntpick(std::uint64_t i, std::string host, std::string path) {
    conn& c = clntconn(i);
    std::string disk = pathdecode(path);
    if (!pathsafe(disk)) return clntmiss(c);
    std::string file = root() + "/" + host + disk;
    std::string orig = file;
    if (cstrends(file, "/")) file.pop_back();
    statinfo data = statpeek(file);
    if (data.st_mode == 0) return clntmiss(c);
    if (statfile(data)) {
        if (!clntfile(c, file, data.st_size, "fopen")) clntmiss(c);
        return;
    }
    if (!statdir(data)) return clntmiss(c);
    if (!cstrends(orig, "/")) return clnttext(c, slashtext(path));
    std::string indx = file + "/index.htm";
    statinfo idat = statpeek(indx);
    if (statfile(idat)) {
        if (!clntfile(c, indx, idat.st_size, "open 6")) clntmiss(c);
        return;
    }
    std::set<std::string> sort;
    if (!dirnames(orig, &sort)) return clntmiss(c);
    std::string dirt = dirpage(orig, sort);
    clnttext(c, "HTTP/1.1 200 ok\r\ncontent-type:text/html\r\ncontent-length:" +
                    numtext(std::int64_t(dirt.size())) + "\r\n\r\n" + dirt);
}
