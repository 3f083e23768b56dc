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
#include "platform/files.h"
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

// Opens name: a regular file is left on the entry to be sent behind its
// header. Otherwise its status is left in data; a file that cannot be opened
// is reported with the tag and answered as missing.
bool clntfile(conn& c, const std::string& name, statinfo* data, const char* tag) {
    filehand fptr = fileopen(name.c_str(), data);
    if (fptr == filenone) {
        if (!statfile(*data)) return false;
        perror(tag);
        std::string line = "[" + name + "]\n";
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
        clntmiss(c);
        return true;
    }
    c.buff = quipnone();
    c.head = "HTTP/1.1 200 ok\r\ncontent-length:" + numtext(data->st_size) + "\r\n\r\n";
    c.fptr = fptr;
    // The body is the file as its header announced it, however it grows.
    c.left = data->st_size;
    c.offs = 0;
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
    statinfo data;
    if (clntfile(c, file, &data, "fopen")) return;
    if (!statdir(data)) return clntmiss(c);
    if (!cstrends(orig, "/")) return clnttext(c, slashtext(path));
    std::string indx = file + "/index.htm";
    if (clntfile(c, indx, &data, "open 6")) return;
    std::set<std::string> sort;
    if (!dirread(orig.c_str(), &sort)) return clntmiss(c);
    std::string dirt = dirpage(orig, sort);
    clnttext(c, "HTTP/1.1 200 ok\r\ncontent-type:text/html\r\ncontent-length:" +
                    numtext(std::int64_t(dirt.size())) + "\r\n\r\n" + dirt);
}
