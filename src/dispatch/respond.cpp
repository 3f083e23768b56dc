#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <set>
#include <utility>

#include "core/conn.h"
#include "core/world.h"
#include "dispatch/press.h"
#include "dispatch/probes.h"
#include "dispatch/respond.h"
#include "dispatch/serve.h"
#include "dispatch/store.h"
#include "dispatch/webpick.h"
#include "output/chunks.h"
#include "output/escape.h"
#include "output/listing.h"
#include "output/squeeze.h"
#include "output/types.h"
#include "output/webhead.h"
#include "platform/files.h"
#include "request/kinds.h"
#include "request/codings.h"
#include "request/ranges.h"
#include "request/tags.h"
#include "request/target.h"

namespace {

void clntmiss(conn& c) {
    clntfail(c, "HTTP/1.1 404 no_such_file\r\n\r\nNo such file.");
}

// Opens name: a regular file is left open in fptr. Otherwise fptr is
// filenone and the status is left in data; a file that cannot be opened is
// reported with the tag, to be answered as missing. False when name is not a
// regular file.
bool fileopened(const std::string& name, statinfo* data, const char* tag, filehand* fptr) {
    *fptr = fileopen(name.c_str(), data);
    if (*fptr != filenone) return true;
    if (!statfile(*data)) return false;
    perror(tag);
    logput("[" + name + "]\n");
    return true;
}

// Opens name: a regular file is left on the entry to be sent behind its
// header. Otherwise as fileopened, with the 404 left on the entry.
bool clntfile(conn& c, const std::string& name, statinfo* data, const char* tag) {
    filehand fptr;
    if (!fileopened(name, data, tag, &fptr)) return false;
    if (fptr == filenone) {
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

bool headonly(const asks& a) {
    return a.meth == "HEAD";
}

// A --web answer with no file behind it: the header, and the body but for
// a HEAD. What the header says of the connection is the answer's already.
void webtext(const asks& a, answer* r, webhead h, std::string body) {
    h.keep = r->head.keep;
    h.length = std::int64_t(body.size());
    h.now = std::int64_t(std::time(nullptr));
    r->head = h;
    if (headonly(a)) body.clear();
    r->text = std::move(body);
}

void webmiss(const asks& a, answer* r) {
    webfail(a, r, 404, "No such file.");
}

// The whole of an open file, read into body: false when it ended before its
// status said.
bool webslurp(filehand fptr, const statinfo& data, std::string* body) {
    body->resize(std::size_t(data.st_size));
    for (std::int64_t got = 0; got < data.st_size;) {
        long r = fileread(fptr, got, &(*body)[std::size_t(got)], std::size_t(data.st_size - got));
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

// Reads the whole of an open small file into the store; null when it ended
// before its status said.
std::shared_ptr<const stored> storeread(const std::string& name, const statinfo& data, filehand fptr) {
    stored file;
    file.data = data;
    if (!webslurp(fptr, data, &file.body)) return nullptr;
    file.type = mimefind(name);
    file.tag = tagmake(data.st_size, data.st_time, data.st_nsec);
    return storeput(name, std::move(file));
}

// As fileopened for --web, where a small file may be kept: its status
// first, then its bytes from the store, or else the file opened (and read
// into the store when it may be kept). Exactly one of fptr and kept is set
// when name is a regular file that has not been answered as missing.
bool webopen(const asks& a, answer* r, const std::string& name, statinfo* data, const char* tag, std::int64_t now,
             filehand* fptr, std::shared_ptr<const stored>* kept) {
    *fptr = filenone;
    *kept = nullptr;
    // What is not a file is known by its status: it is never opened.
    if (statpath(name.c_str(), data) != 0) *data = statinfo{0, -1, 0, 0};
    if (!statfile(*data)) return false;
    if ((*kept = storefind(name, *data))) return true;
    if (!fileopened(name, data, tag, fptr)) return false;
    if (*fptr == filenone) {
        webmiss(a, r);
        return true;
    }
    if (!storefits(*data, now) || !(*kept = storeread(name, *data, *fptr))) return true;
    if (fileshut(*fptr) != 0) {
        perror("close 3");
        exit(1);
    }
    *fptr = filenone;
    return true;
}

// Closes a file opened for an answer that will not send it.
void webshut(filehand fptr) {
    if (fptr != filenone && fileshut(fptr) != 0) {
        perror("close 3");
        exit(1);
    }
}

// The answer of a file, or of one coding of it, as h describes it: the whole
// body, or the bytes its one range asks for; its header alone for a HEAD, a
// 304 or a 416. A kept body's bytes are the answer's own; an open file's
// body is read from the file.
void websend(const asks& a, answer* r, webhead h, const std::shared_ptr<const stored>& kept, filehand fptr) {
    span s{spanwhole, 0, h.size};
    // A range is a part of what GET sends: HEAD describes the whole.
    if (!headonly(a) && asksrange(a, h.tag, h.mtime, h.now)) s = spanread(a.range, h.size);
    h.first = s.first;
    h.length = s.count;
    bool held = asksheld(a, h.tag, h.mtime, h.now);
    if (!held) h.code = 412;
    else if (asksfresh(a, h.tag, h.mtime, h.now)) h.code = 304;
    else if (s.fate == spanmiss) h.code = 416, h.type.clear(), h.coding.clear();
    else if (s.fate == spanpart) h.code = 206;
    if (h.code == 304 || h.code == 412 || h.code == 416 || headonly(a)) {
        webshut(fptr);
        if (!held) return webfail(a, r, 412, "Precondition failed.");
        r->head = h;
        r->text.clear();
        return;
    }
    r->head = h;
    r->kept = kept ? std::shared_ptr<const std::string>(kept, &kept->body) : nullptr;
    r->fptr = fptr;
    r->offs = h.first;
    r->left = h.length;
}

// The sibling of name made in advance for coding k: a regular file no older
// than name itself to the nanosecond, else none. A deploy may rewrite a file
// in the second its sibling was made: where the system keeps whole seconds
// only, an equal time cannot tell which came last, and the file wins.
bool websibling(const std::string& name, const statinfo& data, coding k, statinfo* sdata) {
    if (statpath((name + codingext(k)).c_str(), sdata) != 0 || !statfile(*sdata)) return false;
    if (sdata->st_time != data.st_time) return sdata->st_time > data.st_time;
    return sdata->st_nsec != 0 && sdata->st_nsec >= data.st_nsec;
}

// A text file's answer in the coding the client ranks first among those at
// hand: a sibling made in advance (sent as it is, as any file), the file
// compressed and kept, or a small one compressed now. A larger one not yet
// kept is queued and answered as it is meanwhile, unless the client refuses
// that; then it is compressed now. 406 when nothing the client takes can be
// made. False when the identity answer h describes is the one to send.
bool webcoded(const asks& a, answer* r, const std::string& name, const statinfo& data, filehand fptr,
              const std::shared_ptr<const stored>& kept, webhead* h) {
    unsigned siblings = 0, ready = 0, able = pressable(data, h->now);
    // Where every coding can be made, only a sibling of the one the client
    // ranks first can matter: one status call, not three.
    unsigned all = 1u << codegzip | 1u << codezstd | 1u << codebr;
    coding top = able == all ? codingpick(a.codes, a.accepts, all) : codenone;
    statinfo sdata[4];
    for (coding k : {codegzip, codezstd, codebr}) {
        unsigned bit = 1u << k;
        if ((able != all || k == top) && websibling(name, data, k, &sdata[k])) siblings |= bit;
        if ((able & bit) && (data.st_size <= pressnowmost || shelffind(pressed(), presskey(name, k), data)))
            ready |= bit;
    }
    coding pick = codingpick(a.codes, a.accepts, siblings | ready);
    coding best = codingpick(a.codes, a.accepts, siblings | able);
    // best ranks at least as high as pick: it has the more to choose from.
    if (best != pick && !(siblings & 1u << best)) {
        stored file{data, "", h->type, h->tag};
        if (pick != codenone) {
            pressqueue(name, best, file);
        } else if (webslurp(fptr, data, &file.body) && pressnow(name, best, std::move(file))) {
            pick = best;
            ready |= 1u << best;
        }
    }
    if (pick == codeidentity) return false;
    if (pick == codenone) {
        webshut(fptr);
        webfail(a, r, 406, "None of the codings the request accepts is at hand.");
        // Another Accept-Encoding would have had the file: a cache must know.
        r->head.vary = true;
        return true;
    }
    h->coding = codingname(pick);
    if (siblings & 1u << pick) {
        filehand sptr;
        std::shared_ptr<const stored> skept;
        std::string sname = name + codingext(pick);
        if (!webopen(a, r, sname, &sdata[pick], "fopen", h->now, &sptr, &skept)) return false;
        webshut(fptr);
        if (sptr == filenone && !skept) return true;
        h->size = sdata[pick].st_size;
        h->tag = tagcoded(tagmake(h->size, sdata[pick].st_time, sdata[pick].st_nsec), pick);
        websend(a, r, *h, skept, sptr);
        return true;
    }
    std::shared_ptr<const stored> done = shelffind(pressed(), presskey(name, pick), data);
    stored file{data, "", h->type, h->tag};
    if (!done && kept) done = pressnow(name, pick, *kept);
    else if (!done && fptr != filenone && webslurp(fptr, data, &file.body)) done = pressnow(name, pick, std::move(file));
    if (!done) return false;
    webshut(fptr);
    h->size = std::int64_t(done->body.size());
    h->tag = done->tag;
    websend(a, r, *h, done, filenone);
    return true;
}

// As clntfile for --web: a file's answer; a text file's in a coding the
// client accepts, but for a range, which is of the file as it is.
bool webfile(const asks& a, answer* r, const std::string& name, statinfo* data, const char* tag) {
    std::int64_t now = std::int64_t(std::time(nullptr));
    filehand fptr;
    std::shared_ptr<const stored> kept;
    if (!webopen(a, r, name, data, tag, now, &fptr, &kept)) return false;
    if (fptr == filenone && !kept) return true;
    webhead h;
    h.keep = r->head.keep;
    h.type = kept ? kept->type : mimefind(name);
    h.size = data->st_size;
    h.mtime = data->st_time;
    h.tag = kept ? kept->tag : tagmake(h.size, h.mtime, data->st_nsec);
    h.now = now;
    h.vary = mimepress(h.type);
    if (h.vary && a.range.empty() && webcoded(a, r, name, *data, fptr, kept, &h)) return true;
    h.coding.clear();
    websend(a, r, h, kept, fptr);
    return true;
}

}  // namespace

void webfail(const asks& a, answer* r, int code, const std::string& why) {
    webhead h;
    h.code = code;
    h.type = mimefind(".txt");
    webtext(a, r, h, why);
}

void webmove(const asks& a, answer* r, const std::string& where) {
    webhead h;
    h.code = 308;
    h.where = where;
    h.type = mimefind(".html");
    webtext(a, r, h, "This site is served over HTTPS: <a href=\"" + htmlescape(where) + "\">" + htmlescape(where) + "</a>");
}

void clntfail(conn& c, const char* text) {
    c.buff = boutmake(text);
    c.mode = 1;
}

std::string slashdest(std::string path) {
    // "//host" or "/\host" would send a browser to another host.
    std::string dest = path + "/";
    dest.replace(0, dest.find_first_not_of("/\\"), "/");
    return dest;
}

std::string slashbody(std::string dest) {
    std::string html = htmlescape(dest);
    return "This directory needs a trailing slash. Redirecting you to <a href=\"" + html + "\">" + html +
           "</a>";
}

std::string slashtext(std::string path) {
    std::string dest = slashdest(path);
    return "HTTP/1.1 303 needs_slash\r\nLocation: " + dest + "\r\n\r\n" + slashbody(dest);
}

namespace {

// The request path's place on disk in the site folder host: orig as joined,
// file without its trailing "/".
void sitejoin(const std::string& host, const std::string& disk, std::string* orig, std::string* file) {
    *orig = root() + "/" + host + disk;
    *file = *orig;
    if (cstrends(*file, "/")) file->pop_back();
}

}  // namespace

void clntpick(std::uint64_t i, std::string host, std::string path) {
    conn& c = clntconn(i);
    std::string disk = pathdecode(path);
    if (!pathsafe(disk)) return clntmiss(c);
    std::string orig, file;
    sitejoin(host, disk, &orig, &file);
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

void webreply(const asks& a, std::string host, std::string disk, answer* r) {
    webhead h;
    if (a.meth != "GET" && a.meth != "HEAD") {
        h.code = 405;
        return webtext(a, r, h, "");
    }
    if (!pathsafe(disk) || pathhidden(disk)) return webmiss(a, r);
    std::string orig, file;
    sitejoin(host, disk, &orig, &file);
    statinfo data;
    // A name that ends in "/" is a folder's: a file is never served by it.
    if (cstrends(orig, "/"))
        data = statpeek(file);
    else if (webfile(a, r, file, &data, "fopen"))
        return;
    if (!statdir(data)) return webmiss(a, r);
    // A listing is a page of the table's HTML type; so is the redirect's body.
    h.type = mimefind(".html");
    if (!cstrends(orig, "/")) {
        h.code = 303;
        h.where = slashdest(a.path) + a.query;
        return webtext(a, r, h, slashbody(h.where));
    }
    if (webfile(a, r, file + "/index.htm", &data, "open 6")) return;
    if (webfile(a, r, file + "/index.html", &data, "open 6")) return;
    std::set<std::string> sort, dirs;
    if (!dirread(orig.c_str(), &sort, &dirs)) return webmiss(a, r);
    for (auto k = sort.begin(); k != sort.end();) k = namehidden(*k) ? sort.erase(k) : std::next(k);
    webtext(a, r, h, dirpage(orig, sort, &dirs));
}
