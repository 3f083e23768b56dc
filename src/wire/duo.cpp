#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nghttp2/nghttp2.h>

#include "core/conn.h"
#include "dispatch/serve.h"
#include "output/answer.h"
#include "output/transmit.h"
#include "request/asks.h"
#include "wire/duo.h"
#include "wire/duomem.h"

namespace {

// Frames gathered for one send: a few TLS records' worth, full ones.
const std::size_t outmost = 64 * 1024;
// A TLS record's most plaintext: frames go out in whole records while more follow.
const std::size_t sealrecord = 16384;
// A file's bytes read at once for frames over TLS: four of them, not one read each.
const std::size_t aheadmost = 64 * 1024;
// A client that makes the server reset its streams again and again (a body
// longer than its Content-Length, a frame a stream may not carry) makes it
// spend on each: past this many in one connection it is told to calm down
// and let go.
const int resetsmost = 100;
// Frames that carry nothing and end nothing cost a turn each for no work.
const int emptiesmost = 100;
// Runs of stream ids a client opened that are remembered: a client that
// skips ids past this many times is no longer told which it never opened.
const std::size_t runsmost = 64;
// Bytes a client must take before its patience begins again: a window that
// opens a byte at a time does not buy time a byte at a time.
const std::int64_t tookleast = 16 * 1024;

// A stream: its request as its fields come, then its answer being sent.
struct strm {
    std::int32_t id = 0;
    std::string meth, path, auth;                           // the pseudo-fields that make a request line
    std::vector<std::pair<std::string, std::string>> fields; // the others, as sent
    std::size_t used = 0;  // the header block's bytes, as HPACK counts them
    bool asked = false;    // its header block is whole
    answer r;              // once answered
};

}  // namespace

// A DATA frame's payload that follows the frames gathered, from the file by
// the kernel's path: the frame's header is the last bytes gathered.
struct piece {
    filehand fptr = filenone;
    std::int64_t offs = 0, left = 0;
    bool owns = false;  // its stream has let go of the file: it closes it once sent
};

struct duo {
    nghttp2_session* sess = nullptr;
    std::uint64_t slot = 0;  // the entry it is the session of
    std::map<std::int32_t, std::unique_ptr<strm>> strms;
    // Whole requests not yet answered, in order: a vector, since an empty
    // deque holds half a KiB, which every idle session would keep.
    std::vector<std::int32_t> waiting;
    int files = 0;        // answers reading from an open file: one at a time
    std::string out;      // frames on their way
    std::size_t sent = 0; // of out
    piece cut;            // behind out, on the plain port
    std::string ahead;    // over TLS: a file's bytes read for the next frames
    filehand aheadf = filenone;
    std::int64_t aheadat = 0;  // where in aheadf they begin
    bool dry = false;     // the last gathering found nothing more to send
    std::int64_t took = 0;  // bytes the client took since its patience began again
    int resets = 0, empties = 0;
    // The streams the client opened, as runs of ids (a client counts up by
    // two: one run is the rule), and those the server reset.
    std::vector<std::pair<std::int32_t, std::int32_t>> opened;
    std::vector<std::int32_t> reset;
    bool gone = false;    // GOAWAY submitted
    duomem mem;           // the library's blocks
    bool framed = false;  // frames were made in it since its pages were last dropped
    std::uint64_t serial = 0;  // which session of its entry it is
    std::uint64_t idle = 0;    // when it went idle with frames made, or 0
    bool queued = false;       // among the quiet
    std::int32_t last = 0x7fffffff;  // the last stream it takes: the later ones are not answered
};

namespace {

void fileshuts(filehand fptr) {
    if (fileshut(fptr) != 0) {
        perror("close 3");
        exit(1);
    }
}

// The stream is done with its file: closed now, or by the piece still to send from it.
void fileend(duo& d, strm& s) {
    if (s.r.fptr == filenone) return;
    // Its number may be the next file's.
    if (d.aheadf == s.r.fptr) d.aheadf = filenone;
    if (d.cut.left > 0 && d.cut.fptr == s.r.fptr) {
        d.cut.owns = true;
        s.r.fptr = filenone;
        return;
    }
    fileshuts(s.r.fptr);
    s.r.fptr = filenone;
    --d.files;
}

void duofree(duo* d) {
    if (d->sess) nghttp2_session_del(d->sess);
    for (auto& k : d->strms) fileend(*d, *k.second);
    if (d->cut.owns) fileshuts(d->cut.fptr);
    delete d;
}

// The body, pulled as the windows open: how much the next DATA frame
// carries. Its bytes are written by duopush, not copied through the library.
ssize_t duopull(nghttp2_session*, std::int32_t, std::uint8_t*, std::size_t length, std::uint32_t* flags,
                nghttp2_data_source* source, void*) {
    strm& s = *static_cast<strm*>(source->ptr);
    std::size_t most = std::size_t(s.r.left) < length ? std::size_t(s.r.left) : length;
    *flags |= NGHTTP2_DATA_FLAG_NO_COPY;
    if (std::int64_t(most) == s.r.left) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return ssize_t(most);
}

// A DATA frame: its header, then its payload from memory, or from the file:
// read into the frames gathered over TLS, or left to the kernel on the plain
// port, where the frames gathered go out first. A file that shrank under an
// announced frame leaves the connection no way on.
int duopush(nghttp2_session*, nghttp2_frame*, const std::uint8_t* framehd, std::size_t length,
            nghttp2_data_source* source, void* user) {
    duo& d = *static_cast<duo*>(user);
    strm& s = *static_cast<strm*>(source->ptr);
    d.out.append(reinterpret_cast<const char*>(framehd), 9);
    std::int64_t offs = s.r.offs;
    s.r.offs += std::int64_t(length);
    s.r.left -= std::int64_t(length);
    // The library goes on to the next frame within the same call: once the
    // frames gathered are a send's worth, it is told to stop there.
    int full = d.out.size() + length >= outmost ? NGHTTP2_ERR_PAUSE : 0;
    if (s.r.fptr == filenone) {
        d.out.append(s.r.kept ? *s.r.kept : s.r.text, std::size_t(offs), length);
        return full;
    }
    if (!clntconn(d.slot).tls) {
        d.cut = piece{s.r.fptr, offs, std::int64_t(length), false};
        if (s.r.left == 0) fileend(d, s);
        return NGHTTP2_ERR_PAUSE;
    }
    if (d.aheadf != s.r.fptr || offs < d.aheadat || offs + std::int64_t(length) > d.aheadat + std::int64_t(d.ahead.size())) {
        std::int64_t rest = std::int64_t(length) + s.r.left;
        d.ahead.resize(rest < std::int64_t(aheadmost) ? std::size_t(rest) : aheadmost);
        d.aheadf = filenone;
        for (std::size_t got = 0; got < d.ahead.size();) {
            long r = fileread(s.r.fptr, offs + std::int64_t(got), &d.ahead[got], d.ahead.size() - got);
            if (r <= 0) return NGHTTP2_ERR_CALLBACK_FAILURE;
            got += std::size_t(r);
        }
        d.aheadf = s.r.fptr;
        d.aheadat = offs;
    }
    d.out.append(d.ahead, std::size_t(offs - d.aheadat), length);
    if (s.r.left == 0) fileend(d, s);
    return full;
}

// The request line HTTP/1.1 would have sent, and its fields, read as
// HTTP/1.1 reads them: the same sites, paths and refusals.
void strmasks(const strm& s, asks* a) {
    askspart(*a, s.meth + " " + s.path + " HTTP/1.1");
    // The log has the line as nginx writes it for this wire.
    a->line = s.meth + " " + s.path + " HTTP/2.0";
    // Host names the site where :authority does not.
    if (!s.auth.empty()) asksfield(*a, "host: " + s.auth);
    for (const auto& f : s.fields)
        if (f.first != "host" || s.auth.empty()) asksfield(*a, f.first + ": " + f.second);
    asksdone(*a);
    if (s.used > blockmost) asksfail(*a, 431, "The request's header is too large.");
}

void duoanswer(duo& d, strm& s) {
    conn& c = clntconn(d.slot);
    asks a;
    strmasks(s, &a);
    std::vector<std::pair<std::string, std::string>>().swap(s.fields);
    s.r = webanswer(a, asker{c.four, c.six, c.tls != nullptr}, 1);
    c.till = GetTickCount64() + clntpatience;
    // A kept body is shared: the stream holds it while it is sent.
    if (s.r.fptr != filenone) ++d.files;
    else if (!s.r.kept) s.r.left = std::int64_t(s.r.text.size()), s.r.offs = 0;
    std::vector<std::pair<const char*, std::string>> list = headlist(s.r.head);
    std::vector<nghttp2_nv> nva;
    nva.reserve(list.size());
    for (const auto& f : list)
        nva.push_back(nghttp2_nv{(std::uint8_t*)f.first, (std::uint8_t*)f.second.data(), strlen(f.first),
                                 f.second.size(), NGHTTP2_NV_FLAG_NO_COPY_NAME});
    nghttp2_data_provider body;
    body.source.ptr = &s;
    body.read_callback = duopull;
    if (nghttp2_submit_response(d.sess, s.id, nva.data(), nva.size(), s.r.left > 0 ? &body : nullptr) != 0)
        fileend(d, s);
    // After its last request, a connection is told to go once its streams are done.
    if (++c.reqs >= reqsmost && !d.gone) {
        nghttp2_submit_goaway(d.sess, NGHTTP2_FLAG_NONE, s.id, NGHTTP2_NO_ERROR, nullptr, 0);
        d.gone = true;
        d.last = s.id;
    }
}

// Answers the whole requests in order while no answer holds a file: a
// connection holds its socket and one file at most, as over HTTP/1.1.
void duopump(duo& d) {
    std::size_t done = 0;
    while (done < d.waiting.size() && d.files == 0) {
        auto k = d.strms.find(d.waiting[done++]);
        if (k != d.strms.end() && k->first <= d.last) duoanswer(d, *k->second);
    }
    d.waiting.erase(d.waiting.begin(), d.waiting.begin() + std::ptrdiff_t(done));
}

strm* strmfind(duo& d, std::int32_t id) {
    auto k = d.strms.find(id);
    return k == d.strms.end() ? nullptr : k->second.get();
}

int onbegin(nghttp2_session*, const nghttp2_frame* f, void* user) {
    duo& d = *static_cast<duo*>(user);
    if (f->hd.type != NGHTTP2_HEADERS || f->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    auto s = std::make_unique<strm>();
    s->id = f->hd.stream_id;
    if (!d.opened.empty() && d.opened.back().second + 2 == s->id) d.opened.back().second = s->id;
    else if (d.opened.size() < runsmost) d.opened.emplace_back(s->id, s->id);
    d.strms[s->id] = std::move(s);
    clntconn(d.slot).busy = std::int32_t(d.strms.size());
    return 0;
}

int onfield(nghttp2_session*, const nghttp2_frame* f, const std::uint8_t* name, std::size_t namelen,
            const std::uint8_t* value, std::size_t valuelen, std::uint8_t, void* user) {
    duo& d = *static_cast<duo*>(user);
    strm* s = strmfind(d, f->hd.stream_id);
    if (!s || s->asked || f->hd.type != NGHTTP2_HEADERS) return 0;
    s->used += namelen + valuelen + 32;
    // Past the bound the fields are counted, not kept: the request gets 431.
    if (s->used > blockmost) return 0;
    std::string n(reinterpret_cast<const char*>(name), namelen), v(reinterpret_cast<const char*>(value), valuelen);
    if (n == ":method") s->meth = v;
    else if (n == ":path") s->path = v;
    else if (n == ":authority") s->auth = v;
    else if (n[0] != ':') s->fields.emplace_back(std::move(n), std::move(v));
    return 0;
}

int onframe(nghttp2_session* sess, const nghttp2_frame* f, void* user) {
    duo& d = *static_cast<duo*>(user);
    bool carrier = f->hd.type == NGHTTP2_DATA || f->hd.type == NGHTTP2_HEADERS;
    if (carrier && f->hd.length == 0 && !(f->hd.flags & NGHTTP2_FLAG_END_STREAM)) {
        if (++d.empties > emptiesmost) nghttp2_session_terminate_session(sess, NGHTTP2_ENHANCE_YOUR_CALM);
    } else if (carrier) {
        d.empties = 0;
    }
    if (f->hd.type != NGHTTP2_HEADERS || f->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    strm* s = strmfind(d, f->hd.stream_id);
    if (!s || s->asked) return 0;
    s->asked = true;
    d.waiting.push_back(s->id);
    return 0;
}

// What the library lets pass when streams are scheduled by RFC 9218: a
// PRIORITY frame on stream 0, and HEADERS on a stream it has forgotten, the
// client's fault unless the client sent it before it saw the server's reset.
int onframebegin(nghttp2_session* sess, const nghttp2_frame_hd* hd, void* user) {
    duo& d = *static_cast<duo*>(user);
    if (hd->type == NGHTTP2_PRIORITY && hd->stream_id == 0)
        return nghttp2_session_terminate_session(sess, NGHTTP2_PROTOCOL_ERROR), 0;
    std::int32_t id = hd->stream_id;
    if (hd->type != NGHTTP2_HEADERS || d.opened.empty() || id > d.opened.back().second ||
        nghttp2_session_find_stream(sess, id) || std::find(d.reset.begin(), d.reset.end(), id) != d.reset.end())
        return 0;
    bool was = d.opened.size() == runsmost;
    for (const auto& run : d.opened) was = was || (run.first <= id && id <= run.second && (id - run.first) % 2 == 0);
    nghttp2_session_terminate_session(sess, was ? NGHTTP2_STREAM_CLOSED : NGHTTP2_PROTOCOL_ERROR);
    return 0;
}

int onsent(nghttp2_session* sess, const nghttp2_frame* f, void* user) {
    duo& d = *static_cast<duo*>(user);
    if (f->hd.type == NGHTTP2_RST_STREAM && d.reset.size() < std::size_t(resetsmost)) d.reset.push_back(f->hd.stream_id);
    if (f->hd.type == NGHTTP2_RST_STREAM && ++d.resets == resetsmost) {
        nghttp2_session_terminate_session(sess, NGHTTP2_ENHANCE_YOUR_CALM);
        d.gone = true;
    }
    return 0;
}

int onclose(nghttp2_session*, std::int32_t id, std::uint32_t, void* user) {
    duo& d = *static_cast<duo*>(user);
    auto k = d.strms.find(id);
    if (k == d.strms.end()) return 0;
    fileend(d, *k->second);
    d.strms.erase(k);
    conn& c = clntconn(d.slot);
    c.busy = std::int32_t(d.strms.size());
    // The last stream done: the connection waits for the next as a kept one does.
    if (c.busy == 0) c.till = GetTickCount64() + clntpatience;
    return 0;
}

nghttp2_session_callbacks* callbacks() {
    static nghttp2_session_callbacks* cbs = [] {
        nghttp2_session_callbacks* made = nullptr;
        if (nghttp2_session_callbacks_new(&made) != 0) return made;
        nghttp2_session_callbacks_set_on_begin_headers_callback(made, onbegin);
        nghttp2_session_callbacks_set_on_header_callback(made, onfield);
        nghttp2_session_callbacks_set_on_frame_recv_callback(made, onframe);
        nghttp2_session_callbacks_set_on_frame_send_callback(made, onsent);
        nghttp2_session_callbacks_set_on_begin_frame_callback(made, onframebegin);
        nghttp2_session_callbacks_set_on_stream_close_callback(made, onclose);
        nghttp2_session_callbacks_set_send_data_callback(made, duopush);
        return made;
    }();
    return cbs;
}

// Sessions gone idle with frames made, each once, in the order they went:
// one still idle a while later gives back its frame buffer's pages. At once,
// a client asking one thing at a time would pay a system call and a fresh
// page for every answer.
const std::uint64_t quietafter = 1000;
std::deque<std::pair<std::uint64_t, std::uint64_t>> quiet;  // entry, serial
std::uint64_t serials = 0;

// What the record says of the session: frames to send, streams open; a
// session with nothing more to read or write ends its connection.
void duosync(std::uint64_t i) {
    conn& c = clntconn(i);
    duo& d = *c.two;
    bool out = d.sent < d.out.size() || d.cut.left > 0;
    c.pend = out || nghttp2_session_want_write(d.sess);
    c.busy = std::int32_t(d.strms.size());
    // An idle connection keeps no frames' buffer.
    if (!out && c.busy == 0) std::string().swap(d.out), std::string().swap(d.ahead), d.sent = 0;
    if (out || c.busy > 0 || c.pend) d.idle = 0;
    else if (d.framed && d.mem.frames && d.idle == 0) {
        d.idle = GetTickCount64();
        if (!d.queued) d.queued = true, quiet.emplace_back(i, d.serial);
    }
    if (!c.pend && !nghttp2_session_want_read(d.sess)) linger(i, "close 2");
}

// Gathers the frames the session has, up to a piece of a file: false when
// the session failed.
bool duogather(duo& d) {
    d.out.erase(0, d.sent);
    d.sent = 0;
    duopump(d);
    // Each answer's log line leaves before its first byte.
    logflush();
    while (d.out.size() < outmost && d.cut.left == 0) {
        const std::uint8_t* p = nullptr;
        ssize_t k = nghttp2_session_mem_send(d.sess, &p);
        if (k < 0) return false;
        if (k == 0) break;
        d.out.append(reinterpret_cast<const char*>(p), std::size_t(k));
        d.framed = true;
    }
    return true;
}

// A piece of a file is sent: a file its stream let go of closes.
void piecedone(duo& d) {
    if (d.cut.left == 0 && d.cut.owns) {
        fileshuts(d.cut.fptr);
        --d.files;
        d.cut = piece();
    }
}

}  // namespace

bool duoable() {
    return true;
}

bool duomake(std::uint64_t i) {
    conn& c = clntconn(i);
    nghttp2_session_callbacks* cbs = callbacks();
    if (!cbs) return false;
    auto d = std::unique_ptr<duo, void (*)(duo*)>(new duo, duofree);
    d->slot = i;
    d->serial = ++serials;
    nghttp2_mem blocks = duomemhooks(&d->mem);
    d->mem.making = true;
    int made = nghttp2_session_server_new3(&d->sess, cbs, d.get(), nullptr, &blocks);
    d->mem.making = false;
    if (made != 0) return false;
    const nghttp2_settings_entry set[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, duostreams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, std::uint32_t(blockmost)},
        // Streams are scheduled by the priority field browsers send (RFC 9218).
        {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1},
    };
    if (nghttp2_submit_settings(d->sess, NGHTTP2_FLAG_NONE, set, sizeof set / sizeof set[0]) != 0) return false;
    c.two = std::move(d);
    c.pend = true;
    // Frames of many streams follow one another: none may wait for the
    // acknowledgement of the one before.
    socknodelay(c.desc);
    return true;
}

void duoread(std::uint64_t i, const char* data, std::size_t n) {
    conn& c = clntconn(i);
    duo& d = *c.two;
    ssize_t r = nghttp2_session_mem_recv(d.sess, reinterpret_cast<const std::uint8_t*>(data), n);
    // A client the library gave up on (a flood, a broken preface, memory) gets no more words.
    if (r < 0) return hangup(i, "close");
    duopump(d);
    duosync(i);
}

void duosend(std::uint64_t i, std::int64_t* spent) {
    conn& c = clntconn(i);
    duo& d = *c.two;
    while (*spent < sendbudget) {
        long r;
        // Over TLS a part record is topped up with what follows before it goes.
        std::size_t size = d.out.size() - d.sent;
        if (d.cut.left == 0 && (size == 0 || (c.tls && size < sealrecord && !d.dry))) {
            if (!duogather(d)) return scrap(i);
            d.dry = d.out.size() == size;
            size = d.out.size();
            if (size == 0) break;
        }
        if (size > 0) {
            // Whole records while more follow; what is left waits for them.
            if (c.tls && !d.dry && size > sealrecord) size -= size % sealrecord;
            r = c.tls ? sealsend(c.tls, d.out.data() + d.sent, size)
                      : socksend(c.desc, d.out.data() + d.sent, size, d.cut.left > 0);
            if (r == -1) return scrap(i);
            if (r == sockagain) break;
            d.sent += std::size_t(r);
        } else {
            r = sockfile(c.desc, d.cut.fptr, d.cut.offs, d.cut.left);
            // A file that shrank under its frame: the frame cannot be finished.
            if (r == -1 || r == 0) return scrap(i);
            if (r == sockagain) break;
            d.cut.offs += r;
            d.cut.left -= r;
            piecedone(d);
        }
        *spent += r;
        if ((d.took += r) >= tookleast) {
            d.took = 0;
            c.till = GetTickCount64() + clntpatience;
        }
    }
    duosync(i);
}

void duostop(std::uint64_t i) {
    conn& c = clntconn(i);
    duo& d = *c.two;
    if (d.gone) return;
    d.gone = true;
    d.last = nghttp2_session_get_last_proc_stream_id(d.sess);
    nghttp2_submit_goaway(d.sess, NGHTTP2_FLAG_NONE, d.last, NGHTTP2_NO_ERROR, nullptr, 0);
    duosync(i);
}

std::string duoframes(std::uint64_t i) {
    duo& d = *clntconn(i).two;
    std::string wire;
    for (;;) {
        if (!duogather(d)) break;
        wire += d.out;
        d.sent = d.out.size();
        if (d.cut.left > 0) {
            std::string part(std::size_t(d.cut.left), '\0');
            long got = fileread(d.cut.fptr, d.cut.offs, &part[0], part.size());
            part.resize(got > 0 ? std::size_t(got) : 0);
            wire += part;
            d.cut.left = 0;
            piecedone(d);
        } else if (d.out.empty()) {
            break;
        }
    }
    d.out.clear();
    d.sent = 0;
    duosync(i);
    return wire;
}

long duoquiet(std::uint64_t now) {
    while (!quiet.empty()) {
        conn& c = clntconn(quiet.front().first);
        duo* d = c.two && c.two->serial == quiet.front().second ? c.two.get() : nullptr;
        if (d && d->idle && d->idle + quietafter > now) return long(d->idle + quietafter - now);
        quiet.pop_front();
        if (!d) continue;
        d->queued = false;
        // Still idle since it went: no frame is in the buffer.
        if (!d->idle) continue;
        duomemquiet(d->mem);
        d->framed = false, d->idle = 0;
    }
    return -1;
}
