"""The --web mode: the header of each kind of answer, HEAD, 405, 304, byte
ranges, hidden names, index.html and the listing's folder links, byte for byte
(the Date for its form); then real clients: curl, wget and aria2c resume a
50 MB download, wget -N skips what it has, wget -r mirrors a tree of listings
and Python's http.client asks twice on one connection object."""
import email.utils
import gzip
import hashlib
import http.client
import os
import random
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from sitekit import Log, logline, page
from tavi import HOST, SANITIZED, SLOW, TARGET, ServerCase, connect, read_all, sixloop

MTIME = 784111777  # every file's modification time
STAMP = b"Sun, 06 Nov 1994 08:49:37 GMT"
BLOB = random.Random(12).randbytes(10000)
LARGE = BLOB * 110  # more than a turn may send
TREE = {
    "a/page.html": "<p>café</p>\n".encode(), "a/app.mjs": b"export const x = 1;\n",
    "a/pic.svg": b"<svg xmlns='http://www.w3.org/2000/svg'/>", "a/add.wasm": b"\0asm\1\0\0\0",
    "a/blob": BLOB, "a/empty.txt": b"", "a/docs/index.htm": b"htm", "a/docs/index.html": b"html",
    "a/site/index.html": b"<p>site</p>", "a/list/b.txt": b"b", "a/list/sub/x": b"x", "a/list/zed/": None,
    "a/list/.hidden": b"h", "a/list/.dot/": None, "a/.git/config": b"h", "a/.env": b"h",
    "a/.well-known/acme": b"token", "a/.well-known/.x": b"h", "a/ns.txt": b"ns", "b/x": b"bx",
    "a/large": LARGE, "c/index.html": b"c",
}
HTML, TEXT = b"text/html; charset=utf-8", b"text/plain; charset=utf-8"
DATE = re.compile(rb"\r\nDate: ([A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT)\r\n")


def tag(body):
    return b'"%x-%x"' % (MTIME, len(body))


PRESSED = (b"text/", b"application/json", b"application/xml", b"application/xhtml", b"application/manifest",
           b"image/svg", b"application/wasm", b"image/x-icon")


def answer(status, body=b"", kind=None, file=None, span=b"", after=b"", bare=False, link=b"", vary=None):
    """An answer as it must arrive, its Date written "*". file: the bytes of
    the file served, whose size and time make its tag; bare: the answer to a
    HEAD, whose Content-Length is the body's that GET gets; vary: it says it
    depends on Accept-Encoding, as a file of a type worth compressing does."""
    if vary is None:
        vary = file is not None and (kind or b"").startswith(PRESSED)
    head = b"HTTP/1.1 " + status + b"\r\n"
    if not status.startswith(b"304"):
        head += (b"Content-Type: " + kind + b"\r\n" if kind else b"") + b"Content-Length: %d\r\n" % len(body)
    head += span
    if file is not None:
        head += b"Last-Modified: " + STAMP + b"\r\nETag: " + tag(file) + b"\r\nAccept-Ranges: bytes\r\n"
    head += after + (b"Vary: Accept-Encoding\r\n" if vary else b"") + b"Date: *\r\n" + (b"Connection: " + link + b"\r\n" if link else b"") + b"\r\n"
    return head + (b"" if bare or status.startswith(b"304") else body)


def served(body, kind, **options):
    return answer(b"200 OK", body, kind, file=body, **options)


def part(first, last, kind=b"application/octet-stream"):
    return answer(b"206 Partial Content", BLOB[first:last + 1], kind, file=BLOB,
                  span=b"Content-Range: bytes %d-%d/%d\r\n" % (first, last, len(BLOB)))


def ask(target, *fields, method=b"GET"):
    """A request whose fields come after its Host line."""
    return method + b" " + target + b" HTTP/1.1\r\nHost: a\r\n" + b"".join(f + b"\r\n" for f in fields) + b"\r\n"


MISSING = answer(b"404 Not Found", b"No such file.", TEXT)
REFUSED = answer(b"405 Method Not Allowed", after=b"Allow: GET, HEAD\r\n")
FRESH = answer(b"304 Not Modified", file=BLOB)
WHOLE = served(BLOB, b"application/octet-stream")
LISTING = page(b"/list/", b"Directory of [/list/]", [(b"/list/../", b"../"), (b"/list/b.txt", b"b.txt"),
                                                     (b"/list/sub/", b"sub/"), (b"/list/zed/", b"zed/")])
def refused(why, status=b"400 Bad Request"):
    return answer(status, why, TEXT, link=b"close"), status[:3] + b" " + why


HELD = answer(b"412 Precondition Failed", b"Precondition failed.", TEXT)
TO_LIST = b'This directory needs a trailing slash. Redirecting you to <a href="/list/">/list/</a>'
CASES = [
    # request, answer
    (ask(b"/page.html"), served(TREE["a/page.html"], HTML)),
    (ask(b"/app.mjs"), served(TREE["a/app.mjs"], b"text/javascript; charset=utf-8")),
    (ask(b"/pic.svg"), served(TREE["a/pic.svg"], b"image/svg+xml; charset=utf-8")),
    (ask(b"/add.wasm"), served(TREE["a/add.wasm"], b"application/wasm")),
    (ask(b"/empty.txt"), served(b"", TEXT)),
    (ask(b"/blob"), WHOLE),
    (ask(b"/page.html", method=b"HEAD"), served(TREE["a/page.html"], HTML, bare=True)),
    (ask(b"/docs/"), served(b"htm", HTML)),
    (ask(b"/site/"), served(TREE["a/site/index.html"], HTML)),
    (ask(b"/list/"), answer(b"200 OK", LISTING, HTML)),
    (ask(b"/list/", method=b"HEAD"), answer(b"200 OK", LISTING, HTML, bare=True)),
    (ask(b"/list"), answer(b"303 See Other", TO_LIST, HTML, after=b"Location: /list/\r\n")),
    (ask(b"/nope"), MISSING),
    (ask(b"/nope", method=b"HEAD"), answer(b"404 Not Found", b"No such file.", TEXT, bare=True)),
    (ask(b"/page.html", method=b"POST"), REFUSED),
    (ask(b"/list/", method=b"DELETE"), REFUSED),
    (ask(b"/nope", method=b"get"), REFUSED),
    (b"PUT /page.html HTTP/1.1\r\nHost: a\r\nContent-Length: 9\r\n\r\nuploaded!",
     answer(b"405 Method Not Allowed", after=b"Allow: GET, HEAD\r\n", link=b"close")),
    # The tag first: a date that matches does not count beside a tag that does not.
    (ask(b"/blob", b'If-None-Match: "x", ' + tag(BLOB)), FRESH),
    (ask(b"/blob", b"If-None-Match: *"), FRESH),
    (ask(b"/blob", b'If-None-Match: "x"', b"If-Modified-Since: " + STAMP), WHOLE),
    (ask(b"/blob", b"If-Modified-Since: " + STAMP), FRESH),
    (ask(b"/blob", b"If-Modified-Since: Sun, 06 Nov 1994 08:49:36 GMT"), WHOLE),
    (ask(b"/blob", b"Range: bytes=2-5"), part(2, 5)),
    (ask(b"/blob", b"Range: bytes=9990-"), part(9990, 9999)),
    (ask(b"/blob", b"Range: bytes=-3"), part(9997, 9999)),
    (ask(b"/page.html", b"Range: bytes=0-0"), answer(b"206 Partial Content", b"<", HTML, file=TREE["a/page.html"],
                                                    span=b"Content-Range: bytes 0-0/13\r\n")),
    (ask(b"/blob", b"Range: bytes=10000-"), answer(b"416 Range Not Satisfiable", file=BLOB,
                                                   span=b"Content-Range: bytes */10000\r\n")),
    (ask(b"/blob", b"Range: bytes=0-1,4-5"), WHOLE),
    (ask(b"/blob", b"Range: bytes=5-2"), WHOLE),
    (ask(b"/blob", b"Range: bytes=2-5", b"If-Range: " + tag(BLOB)), part(2, 5)),
    (ask(b"/blob", b"Range: bytes=2-5", b'If-Range: "x"'), WHOLE),
    (ask(b"/blob", b"Range: bytes=2-5", b"If-None-Match: " + tag(BLOB)), FRESH),
    (ask(b"/.git/config"), MISSING), (ask(b"/.env"), MISSING), (ask(b"/list/.hidden"), MISSING),
    (ask(b"/%2egit/config"), MISSING), (ask(b"/.well-known/.x"), MISSING), (ask(b"/list/.dot/"), MISSING),
    (ask(b"/.well-known/acme"), served(b"token", b"application/octet-stream")),
    # Field values as browsers send them; bare LF line ends; HTTP/1.0 needs no Host.
    (ask(b"/blob", b"Cookie: greeting=caf\xc3\xa9", b"Range:\tbytes=2-5 ", b"X-Empty:"), part(2, 5)),
    (b"GET /blob HTTP/1.1\nHost: a\nRange: bytes=2-5\n\n", part(2, 5)),
    (b"\r\nGET /empty.txt HTTP/1.0\r\n\r\n", served(b"", TEXT, link=b"close")),
    # A connection stays unless the request says otherwise; requests behind one another are answered in turn.
    (b"GET /empty.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", served(b"", TEXT, link=b"keep-alive")),
    (ask(b"/empty.txt", b"Connection: close"), served(b"", TEXT, link=b"close")),
    (ask(b"/empty.txt") + ask(b"/nope") + ask(b"/page.html", method=b"HEAD"),
     served(b"", TEXT) + MISSING + served(TREE["a/page.html"], HTML, bare=True),
     (b"/empty.txt", b"/nope", b"/page.html")),
    (ask(b"/large") + ask(b"/empty.txt"), served(LARGE, b"application/octet-stream") + served(b"", TEXT),
     (b"/large", b"/empty.txt")),
    (ask(b"/nope") + ask(b"/large"), MISSING + served(LARGE, b"application/octet-stream"), (b"/nope", b"/large")),
    (ask(b"/x", b"Transfer-Encoding: gzip"), *refused(b"Transfer coding not implemented.", b"501 Not Implemented")),
    (ask(b"/x", b"Transfer-Encoding: gzip", b" chunked"), *refused(b"Folded field line.")),
    (ask(b"/x", b"Content-Length: 3", b"Content-Length: 4") + b"abc", *refused(b"Bad Content-Length.")),
    # A request inside a chunked body is not the next one: the connection closes.
    (ask(b"/empty.txt", b"Transfer-Encoding: chunked") + b"1f\r\n" + ask(b"/nope") + b"\r\n0\r\n\r\n",
     served(b"", TEXT, link=b"close")),
    (b"GET http://c HTTP/1.1\r\nHost: a\r\n\r\n", served(b"c", HTML), b"c/"),
    (b"GET http://B/x HTTP/1.1\r\nHost: a\r\n\r\n", served(b"bx", b"application/octet-stream"), b"b/x"),
    (b"CONNECT a:443 HTTP/1.1\r\nHost: a:443\r\n\r\n", REFUSED),
    (b"OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", REFUSED),
    (ask(b"/blob", b"Host : b"), *refused(b"Whitespace before a field's colon.")),
    (ask(b"/blob", b"X: a", b" b"), *refused(b"Folded field line.")),
    (ask(b"/blob", b"Host: b"), *refused(b"More than one Host.")),
    (b"GET / HTTP/1.1\r\nHost: a:99999\r\n\r\n", *refused(b"Bad Host.")),
    (b"GET / HTTP/1.1\r\nHost:\r\n\r\n", *refused(b"Host bad: one.")),
    (b"GET / HTTP/1.1\r\n\r\n", *refused(b"No Host.")),
    (b"GET http://../ HTTP/1.1\r\nHost: a\r\n\r\n", *refused(b"Bad host in the request target.")),
    (b"GET / RTSP/1.1\r\nHost: a\r\n\r\n", *refused(b"Malformed request line.")),
    (b"GET /a\x01 HTTP/1.1\r\nHost: a\r\n\r\n", *refused(b"Malformed request target.")),
    (b"GET / HTTP/2.0\r\nHost: a\r\n\r\n", *refused(b"Only HTTP/1.0 and HTTP/1.1 are served.",
                                                       b"505 HTTP Version Not Supported")),
    # Dot segments go before the hidden names are looked for; none may climb.
    (ask(b"/./empty.txt"), served(b"", TEXT)), (ask(b"/list/sub/.."), answer(b"200 OK", LISTING, HTML)),
    (ask(b"/list/%2e%2e/%2e%2e/blob"), *refused(b"The path climbs above the site.")),
    (ask(b"/empty.txt/"), MISSING),
    (ask(b"/list?x=1"), answer(b"303 See Other", TO_LIST.replace(b"/list/", b"/list/?x=1"), HTML,
                               after=b"Location: /list/?x=1\r\n"), b"/list"),
    # Preconditions, tags byte for byte, a range for GET only, If-Range's date.
    (ask(b"/blob", b'If-Match: "x", W/' + tag(BLOB)), HELD),
    (ask(b"/blob", b"If-Unmodified-Since: Sun, 06 Nov 1994 08:49:36 GMT"), HELD),
    (ask(b"/blob", b"If-Unmodified-Since: " + STAMP), WHOLE),
    (ask(b"/blob", b"If-Match: " + tag(BLOB), b"If-Unmodified-Since: " + STAMP), WHOLE),
    (ask(b"/blob", b"If-None-Match: " + tag(BLOB).upper()), WHOLE),
    (ask(b"/blob", b"Range: bytes=2-5", method=b"HEAD"), served(BLOB, b"application/octet-stream", bare=True)),
    (ask(b"/blob", b"Range: bytes=2-5", b"If-Range: " + STAMP), part(2, 5)),
    (ask(b"/blob", b"Range: bytes=2-5", b"If-Range: Sun, 06 Nov 1994 08:49:38 GMT"), WHOLE),
    (ask(b"/ns.txt", b'If-None-Match: "%x-2"' % MTIME),
     served(b"ns", TEXT).replace(tag(b"ns"), b'"%x.12c-2"' % MTIME)),
]


class Answers(ServerCase):
    def setUp(self):
        self.srv = self.serve(TREE, flags=["--web"])
        for path in self.srv.root.rglob("*"):
            os.utime(path, (MTIME, MTIME))
        # A part of a second makes a tag of its own (Windows keeps 100 ns steps).
        os.utime(self.srv.root / "a/ns.txt", ns=(MTIME * 10**9 + 300,) * 2)
        self.log = Log(self.srv)

    def talk(self, request, **options):
        """The answers with their Date, which must be now, written "*". The
        request is followed by the client's end: a kept connection closes then."""
        got, end = self.srv.talk(request, half_close=True, **options)
        dates = DATE.findall(got)
        self.assertTrue(dates, got[:300])
        for date in dates:
            self.assertLess(abs(email.utils.parsedate_to_datetime(date.decode()).timestamp() - time.time()), 600)
            got = got.replace(b"Date: " + date, b"Date: *", 1)
        return got, end

    def test_each_kind_of_answer(self):
        for request, want, *todo in CASES:
            with self.subTest(request[:60]):
                got = self.talk(request)
                todo = todo[0] if todo else request.split(b" ")[1].replace(b"http://B", b"")
                todo = b"".join(map(logline, todo)) if isinstance(todo, tuple) else logline(todo)
                self.assertEqual((got, self.log.new()), ((want, "close"), todo))

    def test_fixed_answers(self):
        # Split anywhere, a request reads the same; one without Host is answered as always.
        self.assertEqual(self.talk(ask(b"/blob", b"Range: bytes=2-5"), bytewise=True), (part(2, 5), "close"))
        self.assertEqual(self.talk(b"GET / HTTP/1.1\r\nHost: a.\r\n\r\n"),
                         (answer(b"400 Bad Request", b"Host bad: one.", TEXT, link=b"close"), "close"))
        self.assertEqual(self.log.new(), logline(b"/blob") + logline(b"400 Host bad: one."))

    def test_time_zero(self):
        # A file last changed at the epoch has its date and tag as any other.
        os.utime(self.srv.root / "a/blob", (0, 0))
        epoch = b"Thu, 01 Jan 1970 00:00:00 GMT"
        for fields, want in (((), WHOLE), ((b"If-Modified-Since: " + epoch,), FRESH)):
            got, end = self.talk(ask(b"/blob", *fields))
            want = want.replace(STAMP, epoch).replace(tag(BLOB), b'"0-%x"' % len(BLOB))
            self.assertEqual((got.partition(b"\r\n\r\n")[0], end), (want.partition(b"\r\n\r\n")[0], "close"))
            self.assertTrue(got == want)

    def test_kept_connection(self):
        # The next request may begin in the packet of the one before; the
        # thousandth closes; an idle connection closes once its 20 s are up.
        with connect(self.srv.port) as s:
            s.sendall(ask(b"/empty.txt") + ask(b"/blob")[:9])
            time.sleep(0.2)
            s.sendall(ask(b"/blob")[9:] + ask(b"/empty.txt") * 999)
            got, end = read_all(s, timeout=10)
        self.assertEqual((got.count(b"HTTP/1.1 200 OK"), got.count(b"Connection: close"), end), (1000, 1, "close"))
        self.assertIn(b"Connection: close\r\n\r\n", got[-200:])
        self.assertEqual(self.log.new(), logline(b"/empty.txt") + logline(b"/blob") + logline(b"/empty.txt") * 998)
        with connect(self.srv.port) as s:
            s.sendall(ask(b"/empty.txt"))
            began = time.monotonic()
            self.assertEqual(read_all(s, timeout=30)[1], "close")
            self.assertGreater(time.monotonic() - began, 19)

    def test_small_file_rewritten(self):
        # Rewritten with the same size between two requests on one connection,
        # a file is answered with its new bytes: one just written, and one
        # old enough to be kept whose time is put back (its change time tells).
        path = self.srv.root / "a/w.txt"
        with connect(self.srv.port) as s:
            for old in (False, True):
                for text in (b"one", b"two", b"six"):
                    path.write_bytes(text)
                    if old:
                        os.utime(path, (MTIME, MTIME))
                    s.sendall(ask(b"/w.txt"))
                    got = b""
                    while len(got.partition(b"\r\n\r\n")[2]) < 3 and (more := s.recv(4096)):
                        got += more
                    self.assertTrue(got.endswith(b"\r\n\r\n" + text), (old, text, got))

    def test_header_block_bound(self):
        # 64 KiB of request line and header lines are read; a byte more is refused.
        lines = [b"GET /empty.txt HTTP/1.1\r\n", b"Host: a\r\n"]
        while sum(map(len, lines)) + 8000 <= 65536:
            lines.append(b"x: " + b"v" * 7995 + b"\r\n")
        rest = 65536 - sum(map(len, lines))
        full = b"".join(lines) + b"y: " + b"v" * (rest - 5) + b"\r\n"
        self.assertEqual(len(full), 65536)
        self.assertEqual(self.talk(full + b"\r\n"), (served(b"", TEXT), "close"))
        too = refused(b"The request's header is too large.", b"431 Request Header Fields Too Large")[0]
        self.assertEqual(self.talk(full[:-2] + b"v\r\n"), (too, "close"))
        # No bound of its own on a line: a target of 9,000 bytes, a Cookie line of 50,000.
        cookie = b"Cookie: " + b"; ".join(b"k%d=%s" % (k, b"v" * 100) for k in range(470))
        self.assertEqual(self.talk(ask(b"/empty.txt?" + b"q" * 9000, cookie)), (served(b"", TEXT), "close"))


WORDS = random.Random(7).choices([b"tavi", b"serves", b"text", b"<p>", b"files", b"\n", b"folder"], k=60000)
PAGE = b" ".join(WORDS)[:8000]
# The codings the program compresses to, first ranked first: tavi.exe has gzip alone.
MADE = ("br", "zstd", "gzip") if TARGET.name != "windows" else ("gzip",)
SCRIPT = b" ".join(WORDS)[:300000]


class Codings(ServerCase):
    """Text sent compressed: the coding the client ranks first, a sibling made
    in advance sent as it is, one compressed once and kept, identity for a
    range, 406 only when nothing the client takes can be made."""

    def setUp(self):
        tree = {"a/page.html": PAGE, "a/page.html.gz": gzip.compress(PAGE, mtime=0), "a/old.css": PAGE,
                "a/old.css.gz": b"stale", "a/app.js": SCRIPT, "a/tiny.txt": b"tiny"}
        tree.update({f"a/lib{k}.js": SCRIPT[k * 1000:][:100000] for k in range(6)})
        # Siblings of the file's second: made before it was rewritten, and of a system of whole seconds.
        tree.update({f"a/{name}.css{gz}": body for name in ("same", "flat")
                     for gz, body in (("", PAGE.upper()), (".gz", gzip.compress(PAGE)))})
        self.srv = self.serve(tree, flags=["--web"])
        for path in self.srv.root.rglob("*"):
            os.utime(path, (MTIME, MTIME))
        os.utime(self.srv.root / "a/old.css.gz", (MTIME - 1, MTIME - 1))
        os.utime(self.srv.root / "a/page.html.gz", (MTIME + 1, MTIME + 1))
        for name, at in (("same.css", 600), ("same.css.gz", 100)):
            os.utime(self.srv.root / "a" / name, ns=(MTIME * 10**9 + at * 10**6,) * 2)

    def get(self, path, *fields, method=b"GET"):
        head, _, body = self.srv.talk(ask(path, *fields, method=method), half_close=True)[0].partition(b"\r\n\r\n")
        return dict(line.split(b": ", 1) for line in head.split(b"\r\n")[1:]), body, head.split(b"\r\n")[0]

    def curl(self, path, coding):
        return subprocess.run(["curl", "-s", "--compressed", "-H", f"Accept-Encoding: {coding}",
                               f"http://{HOST}:{self.srv.port}{path}"], capture_output=True, timeout=30).stdout

    def test_choice_and_headers(self):
        # The sibling as it is, for gzip; another coding made and kept; a stale sibling passed over.
        fields, body, _ = self.get(b"/page.html", b"Accept-Encoding: gzip")
        self.assertEqual((fields[b"Content-Encoding"], fields[b"Vary"], body), (b"gzip", b"Accept-Encoding",
                                                                               gzip.compress(PAGE, mtime=0)))
        for coding, want in (("br", "br"), ("zstd", "zstd"), ("gzip;q=0.5, br;q=0.9, zstd;q=0.1", "br"), ("*", "br")):
            want = want if want in MADE else "gzip" if "gzip" in coding or coding == "*" else None
            with self.subTest(coding=coding):
                fields, body, _ = self.get(b"/page.html", b"Accept-Encoding: " + coding.encode())
                self.assertEqual(fields.get(b"Content-Encoding"), want and want.encode())
                self.assertLess(len(body), len(PAGE) // 2 if want else len(PAGE) + 1)
                self.assertEqual(self.curl("/page.html", coding), PAGE)
        fields, body, _ = self.get(b"/old.css", b"Accept-Encoding: gzip")
        self.assertEqual((fields[b"Content-Encoding"], gzip.decompress(body)), (b"gzip", PAGE))
        for name in (b"/same.css", b"/flat.css"):
            fields, body, _ = self.get(name, b"Accept-Encoding: gzip")
            self.assertEqual((fields[b"Content-Encoding"], gzip.decompress(body)), (b"gzip", PAGE.upper()), name)
        # Tags differ by coding; each answers If-None-Match; HEAD mirrors GET.
        tags = {c: self.get(b"/page.html", b"Accept-Encoding: " + c)[0][b"ETag"] for c in (b"br", b"gzip", b"x")}
        self.assertEqual(len(set(tags.values())), 3 if "br" in MADE else 2)
        fields, _, status = self.get(b"/page.html", b"Accept-Encoding: br", b"If-None-Match: " + tags[b"br"])
        self.assertEqual((status, fields[b"Vary"]), (b"HTTP/1.1 304 Not Modified", b"Accept-Encoding"))
        undated = [{k: v for k, v in self.get(b"/page.html", b"Accept-Encoding: br", method=m)[0].items()
                    if k != b"Date"} for m in (b"HEAD", b"GET")]
        self.assertEqual(undated[0], undated[1])
        # A range is of the file as it is; a name asked for is what it is.
        fields, body, _ = self.get(b"/page.html", b"Accept-Encoding: br", b"Range: bytes=0-9")
        self.assertEqual((b"Content-Encoding" in fields, fields[b"Vary"], body), (False, b"Accept-Encoding", PAGE[:10]))
        fields, body, _ = self.get(b"/page.html.gz", b"Accept-Encoding: gzip")
        self.assertEqual((fields[b"Content-Type"], b"Content-Encoding" in fields), (b"application/gzip", False))
        # Identity refused: compressed if it may be, else 406.
        for refused in (b"identity;q=0", b"*;q=0"):
            fields, _, status = self.get(b"/tiny.txt", b"Accept-Encoding: " + refused)
            self.assertEqual((status, fields.get(b"Vary")), (b"HTTP/1.1 406 Not Acceptable", b"Accept-Encoding"))
        self.assertEqual(self.get(b"/tiny.txt", b"Accept-Encoding: br")[0].get(b"Content-Encoding"), None)

    def test_large_and_changed(self):
        # A large file is answered as it is while it is compressed over the
        # turns, then compressed; rewritten, it is never answered from before.
        top = MADE[0].encode()
        first = self.get(b"/app.js", b"Accept-Encoding: " + top)
        self.assertEqual((first[0].get(b"Content-Encoding"), first[1]), (None, SCRIPT))
        for _ in range(100):
            if self.get(b"/app.js", b"Accept-Encoding: " + top)[0].get(b"Content-Encoding") == top:
                break
            time.sleep(0.05)
        self.assertEqual(self.curl("/app.js", MADE[0]), SCRIPT)
        # More at once than are compressed at once wait their turn, unasked again.
        burst = self.srv.talk(b"".join(ask(b"/lib%d.js" % k, b"Accept-Encoding: " + top) for k in range(6)),
                              half_close=True, timeout=30)[0]
        self.assertEqual((burst.count(b"HTTP/1.1 200 OK"), burst.count(b"Content-Encoding")), (6, 0))
        time.sleep(1)
        self.assertEqual([self.get(b"/lib%d.js" % k, b"Accept-Encoding: " + top)[0].get(b"Content-Encoding")
                          for k in range(6)], [top] * 6)
        page = self.srv.root / "a/page.html"
        self.assertEqual(self.curl("/page.html", "zstd"), PAGE)
        page.write_bytes(PAGE.upper())
        os.utime(page, (MTIME, MTIME))
        self.assertEqual(self.curl("/page.html", "zstd"), PAGE.upper())

    def test_small_bound(self):
        # A crowd of files, each larger than what one br compressor may hold
        # within 1 MiB: gzip alone is made, and all stays within the bound.
        words = sorted(set(WORDS) - {b"\n"})
        files = {f"a/s{k}.js": b" ".join(random.Random(k).choices(words, k=50000))[:200000] for k in range(40)}
        srv = self.serve(files, flags=["--web", "--zcache", "1"])
        for path in srv.root.rglob("*"):
            os.utime(path, (MTIME, MTIME))
        idle = srv.rss_kib() if TARGET.native else 0
        packed = 0
        for _ in range(4):
            socks = [connect(srv.port, timeout=30) for _ in files]
            for s, name in zip(socks, files):
                s.sendall(b"GET /%s HTTP/1.1\r\nHost: a\r\nAccept-Encoding: br, gzip\r\nConnection: close\r\n\r\n"
                          % name[2:].encode())
            for s, name in zip(socks, files):
                with s:
                    head, _, body = read_all(s, timeout=30)[0].partition(b"\r\n\r\n")
                coded = b"\r\nContent-Encoding: gzip\r\n" in head
                packed += coded
                self.assertEqual(gzip.decompress(body) if coded else body, files[name], name)
            time.sleep(0.3)
        self.assertGreater(packed, 0)
        if TARGET.native and not SANITIZED:
            self.assertLess(srv.peak_kib() - idle, 1024 + 8192)


class Families(ServerCase):
    def test_both_families(self):
        # Bare, the IPv6 wildcard takes IPv4 too; "localhost" is both loopbacks.
        if not sixloop():
            self.skipTest("no IPv6 loopback")
        for host in (None, "localhost"):
            srv = self.serve({"a/x": b"x"}, flags=["--web"], host=host)
            log = Log(srv)
            for family, addr, shown in ((socket.AF_INET6, "::1", b"::1"), (socket.AF_INET, HOST, b"127.000.000.001")):
                # The harness saw the server ready on 127.0.0.1; ::1 may come a moment later.
                for _ in range(50):
                    with socket.socket(family) as probe:
                        if probe.connect_ex((addr, srv.port)) == 0:
                            break
                    time.sleep(0.05)
                with self.subTest(host=host, addr=addr), socket.create_connection((addr, srv.port), 5 * SLOW) as s:
                    s.sendall(ask(b"/x", b"Connection: close"))
                    self.assertTrue(read_all(s)[0].endswith(b"\r\n\r\nx"), (host, addr))
                self.assertEqual(log.new(), b"/x".ljust(64) + shown + b"\n")


def tool(name, args, cwd=None):
    if not shutil.which(name):
        raise unittest.SkipTest(f"{name} is not installed")
    return subprocess.run([name] + args, cwd=cwd, capture_output=True, timeout=120 * SLOW)


MIB = 1 << 20
BIG = random.Random(50).randbytes(50 * MIB)
MIRROR = {"a/tree/a.txt": b"a", "a/tree/one/b.txt": b"b", "a/tree/one/two/c.txt": b"c",
          "a/tree/one/two/three/": None, "a/tree/.hidden": b"h"}


class Clients(ServerCase):
    def setUp(self):
        self.srv = self.serve({"a/big.bin": BIG, "a/stamp.txt": b"first\n", **MIRROR}, flags=["--web"])
        self.url = f"http://{HOST}:{self.srv.port}"
        self.out = Path(tempfile.mkdtemp(prefix="tavi-web-"))
        self.addCleanup(shutil.rmtree, self.out, True)

    def test_downloads_resume(self):
        runs = [
            ("curl", ["-sS", "-C", "-", "-o", "big.bin", self.url + "/big.bin"]),
            ("wget", ["-q", "-c", self.url + "/big.bin"]),
            ("aria2c", ["-q", "-c", "--allow-overwrite=false", "--auto-file-renaming=false", self.url + "/big.bin"]),
        ]
        for (name, args), cut in zip(runs, (1, 20 * MIB + 7, 33 * MIB + 3)):
            with self.subTest(name):
                # The part already there is marked: fetched again, it would
                # lose the mark. aria2c fetches again from the start of its
                # last whole piece.
                (self.out / "big.bin").write_bytes(b"\xff" * cut)
                done = tool(name, args, cwd=self.out)
                self.assertEqual((done.returncode, done.stderr), (0, b""), done.stdout[-500:])
                got = (self.out / "big.bin").read_bytes()
                kept = min(len(got) - len(got.lstrip(b"\xff")), cut)
                self.assertGreater(kept, cut - MIB)
                self.assertTrue(got[kept:] == BIG[kept:], f"{len(got)} bytes, {kept} kept")
                (self.out / "big.bin").unlink()

    def test_wget_timestamps(self):
        # A copy that wget finds current stays as it is, though its bytes
        # differ; once the file changes, it is fetched again.
        served = self.srv.root / "a" / "stamp.txt"
        os.utime(served, (MTIME, MTIME))
        args = ["-q", "-N", self.url + "/stamp.txt"]
        copy = self.out / "stamp.txt"
        self.assertEqual(tool("wget", args, cwd=self.out).returncode, 0)
        self.assertEqual((copy.read_bytes(), copy.stat().st_mtime), (b"first\n", MTIME))
        copy.write_bytes(b"other\n")
        os.utime(copy, (MTIME, MTIME))
        self.assertEqual(tool("wget", args, cwd=self.out).returncode, 0)
        self.assertEqual(copy.read_bytes(), b"other\n")
        os.utime(served, (MTIME + 3600, MTIME + 3600))
        self.assertEqual(tool("wget", args, cwd=self.out).returncode, 0)
        self.assertEqual(copy.read_bytes(), b"first\n")

    def test_wget_mirrors_listings(self):
        done = tool("wget", ["-r", "-np", "-nH", "-e", "robots=off", "--tries=1", f"--timeout={int(10 * SLOW)}",
                             "-q", self.url + "/tree/"], cwd=self.out)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        got = sorted(str(p.relative_to(self.out)) for p in self.out.rglob("*") if p.is_file())
        pages = ["tree/index.html", "tree/one/index.html", "tree/one/two/index.html", "tree/one/two/three/index.html"]
        self.assertEqual(got, sorted(pages + ["tree/a.txt", "tree/one/b.txt", "tree/one/two/c.txt"]))
        for name in pages:
            title = "/" + name[:-len("index.html")]
            self.assertTrue((self.out / name).read_bytes().startswith(b"<html><head><title>" + title.encode()), name)

    def test_apt_flat_repository(self):
        # "deb ... ./" asks for /./Release, /./Packages and /./NAME.deb.
        (self.out / "pkg/DEBIAN").mkdir(parents=True)
        control = "Package: tavi-probe\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@t>\nDescription: x\n"
        (self.out / "pkg/DEBIAN/control").write_text(control)
        deb = self.srv.root / "a/tavi-probe.deb"
        self.assertEqual(tool("dpkg-deb", ["--build", self.out / "pkg", deb]).returncode, 0)
        listed = control + f"Filename: ./tavi-probe.deb\nSize: {deb.stat().st_size}\nSHA256: " \
            f"{hashlib.sha256(deb.read_bytes()).hexdigest()}\n\n"
        (self.srv.root / "a/Packages").write_text(listed)
        digest = hashlib.sha256(listed.encode()).hexdigest()
        (self.srv.root / "a/Release").write_text(f"Date: {email.utils.formatdate(usegmt=True)}\nSHA256:\n "
                                                 f"{digest} {len(listed)} Packages\n")
        (self.out / "sources.list").write_text(f"deb [trusted=yes] {self.url}/ ./\n")
        [(self.out / part).mkdir(parents=True) for part in ("lists/partial", "archives/partial")]
        where = [f"-oDir::Etc::SourceList={self.out}/sources.list", "-oDir::Etc::SourceParts=/dev/null",
                 f"-oDir::State::Lists={self.out}/lists", f"-oDir::Cache={self.out}", "-oDebug::NoLocking=1",
                 f"-oDir::Cache::Archives={self.out}/archives", "-oAPT::Sandbox::User=root", "-q"]
        for args in (["update"], ["install", "-y", "--download-only", "tavi-probe"]):
            done = tool("apt-get", where + args)
            self.assertEqual((done.returncode, done.stderr), (0, b""), done.stdout)
        self.assertEqual((self.out / "archives/tavi-probe_1.0_all.deb").read_bytes(), deb.read_bytes())

    def test_http_client_asks_twice(self):
        conn = http.client.HTTPConnection(HOST, self.srv.port, timeout=10 * SLOW)
        self.addCleanup(conn.close)
        conn.request("GET", "/stamp.txt")
        first = conn.getresponse()
        self.assertEqual((first.status, first.read()), (200, b"first\n"))
        conn.request("GET", "/big.bin", headers={"Range": "bytes=-5"})
        second = conn.getresponse()
        self.assertEqual((second.status, second.read()), (206, BIG[-5:]))


if __name__ == "__main__":
    unittest.main()
