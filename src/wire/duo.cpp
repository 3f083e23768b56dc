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

namespace {

// Frames gathered for one send: a few TLS records' worth, full ones.
const std::size_t outmost = 64 * 1024;
// A client that asks for a stream reset again and again (a WINDOW_UPDATE of
// 0, a frame on a closed stream) makes the server spend on each: past this
// many in one connection it is told to calm down and let go.
const int resetsmost = 100;
// Frames that carry nothing and end nothing cost a turn each for no work.
const int emptiesmost = 100;
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

struct duo {
    nghttp2_session* sess = nullptr;
    std::uint64_t slot = 0;  // the entry it is the session of
    std::map<std::int32_t, std::unique_ptr<strm>> strms;
    std::deque<std::int32_t> waiting;  // whole requests not yet answered, in order
    int files = 0;        // answers reading from an open file: one at a time
    std::string out;      // frames on their way
    std::size_t sent = 0; // of out
    std::int64_t took = 0;  // bytes the client took since its patience began again
    int resets = 0, empties = 0;
    bool gone = false;    // GOAWAY submitted
};

namespace {

void fileend(duo& d, strm& s) {
    if (s.r.fptr == filenone) return;
    if (fileshut(s.r.fptr) != 0) {
        perror("close 3");
        exit(1);
    }
    s.r.fptr = filenone;
    --d.files;
}

void duofree(duo* d) {
    if (d->sess) nghttp2_session_del(d->sess);
    for (auto& k : d->strms) fileend(*d, *k.second);
    delete d;
}

// The body, pulled as the windows open: from memory, or from the file at the
// stream's offset. A file that shrank resets its stream: its length is said.
ssize_t duopull(nghttp2_session*, std::int32_t, std::uint8_t* buf, std::size_t length, std::uint32_t* flags,
                nghttp2_data_source* source, void* user) {
    duo& d = *static_cast<duo*>(user);
    strm& s = *static_cast<strm*>(source->ptr);
    std::size_t most = std::size_t(s.r.left) < length ? std::size_t(s.r.left) : length;
    long got;
    if (s.r.fptr != filenone) {
        got = fileread(s.r.fptr, s.r.offs, reinterpret_cast<char*>(buf), most);
        if (got <= 0) {
            fileend(d, s);
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        }
    } else {
        memcpy(buf, s.r.text.data() + s.r.offs, most);
        got = long(most);
    }
    s.r.offs += got;
    s.r.left -= got;
    if (s.r.left == 0) {
        *flags |= NGHTTP2_DATA_FLAG_EOF;
        fileend(d, s);
    }
    return got;
}

// The request line HTTP/1.1 would have sent, and its fields, read as
// HTTP/1.1 reads them: the same sites, paths and refusals.
void strmasks(const strm& s, asks* a) {
    askspart(*a, s.meth + " " + s.path + " HTTP/1.1");
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
    // A kept body may give way to the next one kept: the stream has its own.
    if (s.r.kept) s.r.text.assign(*s.r.kept, std::size_t(s.r.offs), std::size_t(s.r.left)), s.r.kept = nullptr;
    if (s.r.fptr == filenone) s.r.left = std::int64_t(s.r.text.size()), s.r.offs = 0;
    else ++d.files;
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
    }
}

// Answers the whole requests in order while no answer holds a file: a
// connection holds its socket and one file at most, as over HTTP/1.1.
void duopump(duo& d) {
    while (!d.waiting.empty() && d.files == 0) {
        auto k = d.strms.find(d.waiting.front());
        d.waiting.pop_front();
        if (k != d.strms.end()) duoanswer(d, *k->second);
    }
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

int onsent(nghttp2_session* sess, const nghttp2_frame* f, void* user) {
    duo& d = *static_cast<duo*>(user);
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
        nghttp2_session_callbacks_set_on_stream_close_callback(made, onclose);
        return made;
    }();
    return cbs;
}

// What the record says of the session: frames to send, streams open; a
// session with nothing more to read or write ends its connection.
void duosync(std::uint64_t i) {
    conn& c = clntconn(i);
    duo& d = *c.two;
    bool out = d.sent < d.out.size();
    c.pend = out || nghttp2_session_want_write(d.sess);
    c.busy = std::int32_t(d.strms.size());
    // An idle connection keeps no frames' buffer.
    if (!out && c.busy == 0) std::string().swap(d.out), d.sent = 0;
    if (!c.pend && !nghttp2_session_want_read(d.sess)) linger(i, "close 2");
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
    if (nghttp2_session_server_new(&d->sess, cbs, d.get()) != 0) return false;
    const nghttp2_settings_entry set[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, duostreams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, std::uint32_t(blockmost)},
        // Streams are scheduled by the priority field browsers send (RFC 9218).
        {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1},
    };
    if (nghttp2_submit_settings(d->sess, NGHTTP2_FLAG_NONE, set, sizeof set / sizeof set[0]) != 0) return false;
    c.two = std::move(d);
    c.pend = true;
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
        if (d.sent == d.out.size()) {
            d.out.clear();
            d.sent = 0;
            duopump(d);
            // Each answer's log line leaves before its first byte.
            logflush();
            while (d.out.size() < outmost) {
                const std::uint8_t* p = nullptr;
                ssize_t k = nghttp2_session_mem_send(d.sess, &p);
                if (k < 0) return scrap(i);
                if (k == 0) break;
                d.out.append(reinterpret_cast<const char*>(p), std::size_t(k));
            }
            if (d.out.empty()) break;
        }
        std::size_t size = d.out.size() - d.sent;
        long r = c.tls ? sealsend(c.tls, d.out.data() + d.sent, size) : socksend(c.desc, d.out.data() + d.sent, size, false);
        if (r == -1) return scrap(i);
        if (r == sockagain) break;
        d.sent += std::size_t(r);
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
    nghttp2_submit_goaway(d.sess, NGHTTP2_FLAG_NONE, nghttp2_session_get_last_proc_stream_id(d.sess),
                          NGHTTP2_NO_ERROR, nullptr, 0);
    duosync(i);
}
