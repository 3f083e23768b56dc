"""HTTP/2 in --web: the rows of test_web's table as a second wire (curl over
h2c and over TLS, nghttp with every stream on one connection), then frames
written by hand, their fields packed by hpack: malformed requests, hostile
clients, patience, a full server, the GOAWAY after the last request and at a
stop."""
import itertools
import os
import re
import signal
import ssl
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock
from pathlib import Path

try:
    import hpack
except ImportError:  # Debian's python3-hpack (with python3-h2), for an interpreter of another place
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import hpack
    except ImportError:
        hpack = None

import tavi
from sitekit import Log, logline
from tavi import HOST, SLOW, ServerCase
from test_web import CASES, MTIME, TREE

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATE = re.compile(rb"date: [A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT")
H2READY = tavi.H2 and tavi.TARGET.name == "posix"


def fields(head):
    """The status and the fields of an answer's head, as HTTP/2 carries them."""
    lines = head.split(b"\r\n")
    return int(lines[0].split(b" ")[1]), [
        (n.lower(), v) for n, _, v in (line.partition(b": ") for line in lines[1:]) if n.lower() != b"connection"]


def h2row(request):
    """A row's one request as (method, target, fields, body), or None where
    HTTP/2 cannot say it so: several requests, fields of HTTP/1.1's framing,
    a Host that is not the one :authority gives."""
    head, sep, body = request.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ")
    if not sep or len(parts) != 3 or parts[2] != b"HTTP/1.1" or not re.fullmatch(rb"/[!-~]*", parts[1]):
        return None
    named = [(n.lower(), s, v) for n, s, v in (line.partition(b": ") for line in lines[1:])]
    names = [n for n, _, _ in named]
    if (b"host", b": ", b"a") not in named or names.count(b"host") != 1 or any(
            not s or b" " in n or b"\t" in n or n in (b"connection", b"transfer-encoding") for n, s, _ in named):
        return None
    length = dict((n, v) for n, _, v in named).get(b"content-length", b"0")
    if len(body) != int(length) or names.count(b"content-length") > 1:
        return None
    return parts[0], parts[1], [(n, v) for n, _, v in named if n not in (b"host", b"content-length")], body


def curl(url, method, target, extra, body, *flags):
    args = ["curl", "-s", "-i", "--path-as-is", "--max-time", str(10 * SLOW), *flags]
    args += ["-I"] if method == b"HEAD" else ["-X", method.decode()]
    for n, v in extra:
        args += ["-H", n + (b": " + v if v else b";")]
    if body:
        args += ["--data-binary", "@-"]
    got = subprocess.run([*args, url.encode() + target], input=body, capture_output=True, timeout=20 * SLOW).stdout
    head, _, rest = got.partition(b"\r\n\r\n")
    return (*fields(DATE.sub(b"date: *", head)), rest)


@unittest.skipUnless(H2READY and hpack, "HTTP/2: libnghttp2 in the Linux build, python3-hpack")
class Rows(ServerCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = Path(tempfile.mkdtemp(prefix="tavi-h2-"))
        (cls.certs / "a").mkdir()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-days", "2", "-subj", "/CN=localhost", "-keyout", "a/privkey.pem", "-out", "a/fullchain.pem"],
                       cwd=cls.certs, check=True, capture_output=True, timeout=60)

    def setUp(self):
        self.tls = tavi.free_port()
        self.srv = self.serve(TREE, flags=["--web", "--certs", str(self.certs), "--https", str(self.tls), "--plain"])
        for path in self.srv.root.rglob("*"):
            os.utime(path, (MTIME, MTIME))
        os.utime(self.srv.root / "a/ns.txt", ns=(MTIME * 10**9 + 300,) * 2)
        self.log = Log(self.srv)

    def test_each_row_on_both_wires(self):
        rows = [(h2row(request), want, todo) for request, want, *todo in CASES if h2row(request)]
        self.assertGreater(len(rows), 50)
        for wire, url, flags in (("h2c", f"http://{HOST}:{self.srv.port}", ["--http2-prior-knowledge"]),
                                 ("h2", f"https://{HOST}:{self.tls}", ["--http2", "-k"])):
            for (method, target, extra, body), want, todo in rows:
                with self.subTest(wire=wire, target=target, method=method):
                    head, _, wbody = want.partition(b"\r\n\r\n")
                    code, wfields = fields(head.replace(b"Date: *", b"date: *"))
                    self.assertEqual(curl(url, method, target, extra, body, *flags), (code, wfields, wbody))
                    todo = todo[0] if todo else target
                    self.assertEqual(self.log.new(), logline(todo))

    def test_a_wide_window_is_not_filled_at_once(self):
        # A client whose windows take all: the frames are gathered a send's worth at a time, not the whole file.
        (self.srv.root / "a/huge").write_bytes(os.urandom(48 << 20))
        ctx = ssl.create_default_context()
        ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
        ctx.set_alpn_protocols(["h2"])
        before = self.srv.rss_kib()
        with ctx.wrap_socket(socket.create_connection((HOST, self.tls), timeout=20 * SLOW)) as s:
            s.sendall(PREFACE + frame(4, 0, 0, (4).to_bytes(2, "big") + (2**31 - 1).to_bytes(4, "big"))
                      + frame(8, 0, 0, (2**31 - 1 - 65535).to_bytes(4, "big"))
                      + frame(1, 5, 1, hpack.Encoder().encode(ASK[:1] + [(":path", "/huge")] + ASK[2:])))
            got = 0
            for kind, flags, sid, payload in readframes(s):
                got += len(payload) if kind == 0 else 0
                if kind == 0 and flags & 1:
                    break
        self.assertEqual(got, 48 << 20)
        self.assertLess(self.srv.peak_kib() - before, 16 << 10)

    def test_streams_on_one_connection(self):
        paths = [b"/blob", b"/nope", b"/page.html", b"/list", b"/large", b"/docs/", b"/list/"]
        got = subprocess.run(["nghttp", "-v", *(f"https://{HOST}:{self.tls}" + p.decode() for p in paths)],
                             capture_output=True, timeout=20 * SLOW).stdout
        codes = dict(re.findall(rb"recv \(stream_id=(\d+)\) :status: (\d+)", got))
        self.assertEqual([codes.get(b"%d" % (13 + 2 * k)) for k in range(len(paths))],
                         [b"200", b"404", b"200", b"303", b"200", b"200", b"200"])
        self.assertEqual(self.log.new(), b"".join(logline(p) for p in paths))


ASK = [(":method", "GET"), (":path", "/x.txt"), (":scheme", "http"), (":authority", "a")]


def frame(kind, flags, stream, payload=b""):
    return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload


class Session:
    """An h2c client of raw frames, fields packed by hpack: it sends what it is told, checked or not."""

    def __init__(self, port):
        self.sock = opened(port)
        self.frames, self.pack, self.unpack, self.sid = readframes(self.sock), hpack.Encoder(), hpack.Decoder(), -1

    def ask(self, fields=ASK, extra=()):
        """The stream's :status and body, or ("reset", its error code)."""
        self.sid += 2
        block = self.pack.encode(list(fields) + list(extra))
        cuts = [block[k:k + 16384] for k in range(0, len(block), 16384)]  # HEADERS, then CONTINUATION
        self.sock.sendall(b"".join(frame(9 if k else 1, (0 if k else 1) | (4 if k == len(cuts) - 1 else 0),
                                         self.sid, cut) for k, cut in enumerate(cuts)))
        status, body = None, b""
        for kind, flags, sid, payload in self.frames:
            if sid != self.sid:
                continue
            if kind == 3:
                return "reset", int.from_bytes(payload, "big")
            if kind == 1:
                status = int(dict(self.unpack.decode(payload))[":status"])
            body += payload if kind == 0 else b""
            if flags & 1:
                return status, body


@unittest.skipUnless(H2READY and hpack, "HTTP/2: libnghttp2 in the Linux build, python3-hpack")
class Frames(ServerCase):
    tree = {"a/x.txt": b"x", "a/big": os.urandom(4 << 20)}

    def setUp(self):
        if self._testMethodName not in ("test_goaway_at_a_stop_lets_the_stream_finish", "test_full_server"):
            self.srv = self.serve(self.tree, flags=["--web"])

    def test_malformed_requests_are_stream_errors(self):
        c, line = Session(self.srv.port), [(":method", "GET"), (":path", "/x.txt"), (":scheme", "http")]
        for fields_sent in ([(":method", "GET"), (":scheme", "http"), (":authority", "a")],  # no :path
                            line[:1] + line, line + [("X-Up", "1")],
                            *(line + [field] for field in (("connection", "close"), ("keep-alive", "1"),
                                                           ("proxy-connection", "x"), ("transfer-encoding", "chunked"),
                                                           ("upgrade", "h2c"), ("te", "gzip")))):
            with self.subTest(fields_sent):
                self.assertEqual(c.ask(fields_sent), ("reset", 1))  # PROTOCOL_ERROR
        # The connection still serves, TE: trailers among its fields; a header block past 64 KiB gets 431.
        self.assertEqual(c.ask(extra=[("te", "trailers")]), (200, b"x"))
        self.assertEqual(c.ask(extra=[("x-%d" % k, "v" * 1000) for k in range(70)]),
                         (431, b"The request's header is too large."))
        self.assertEqual(Log(self.srv).new(), logline(b"/x.txt") + logline(b"431 The request's header is too large."))

    def test_frames_for_streams_gone(self):
        # A frame for a stream that is gone, or never was, ends the connection with a GOAWAY and its
        # code, unless it crossed the server's reset of that stream.
        def ask(sid, flags=5, fields=ASK):
            return frame(1, flags, sid, hpack.Encoder().encode(fields))
        rows = [("PRIORITY on stream 0", [frame(2, 0, 0, bytes(5))], 1),
                ("a stream below the last", [ask(5) + ask(3)], 1),
                ("a stream closed", [ask(1), ask(1)], 5),
                ("trailers behind the server's reset", [ask(1, 4, ASK + [("X-Up", "1")]), ask(1, 5, [("x-t", "1")])],
                 None)]
        for name, sends, code in rows:
            with self.subTest(name):
                s = opened(self.srv.port)
                self.addCleanup(s.close)
                got = readframes(s)
                for k, data in enumerate(sends):
                    s.sendall(data)
                    if k + 1 < len(sends):  # the stream's end first: its answer or its reset
                        next(f for f in got if (f[0] == 0 and f[1] & 1) or f[0] == 3)
                if code is None:
                    s.sendall(ask(3))
                    self.assertTrue(any(f[0] == 0 and f[1] & 1 and f[2] == 3 for f in itertools.islice(got, 8)))
                else:
                    self.assertEqual(next(f[3][4:8] for f in got if f[0] == 7), code.to_bytes(4, "big"))

    def test_hostile_clients_are_let_go(self):
        # Each floods one connection; it ends (GOAWAY or closed), and a newcomer is served meanwhile.
        opened = frame(1, 4, 1, bytes([0x82, 0x84, 0x86, 0x41, 0x01, ord("a")]))  # HEADERS, no END_STREAM
        floods = {
            "empty DATA": opened + frame(0, 0, 1) * 5000,
            # A body longer than its Content-Length: each stream is reset.
            "resets it is made to send": b"".join(
                frame(1, 4, k, bytes([0x82, 0x84, 0x86, 0x41, 0x01, ord("a"), 0x5c, 0x01, ord("1")]))
                + frame(0, 1, k, b"xx") for k in range(1, 2 * 300, 2)),
            "rapid resets": b"".join(frame(1, 5, k, bytes([0x82, 0x84, 0x86, 0x41, 0x01, ord("a")]))
                                     + frame(3, 0, k, bytes(4)) for k in range(1, 2 * 3000, 2)),
            "CONTINUATION": frame(1, 0, 1, bytes([0x82, 0x84, 0x86])) + frame(9, 0, 1, bytes([0x40, 1, 120, 1, 120])) * 20000,
            "PING": frame(6, 0, 0, bytes(8)) * 200000,
        }
        for name, flood in floods.items():
            with self.subTest(name):
                s = socket.create_connection((HOST, self.srv.port), timeout=10 * SLOW)
                s.sendall(PREFACE + frame(4, 0, 0))
                try:
                    s.sendall(flood)
                except (BrokenPipeError, ConnectionResetError):
                    pass
                self.assertEqual(Session(self.srv.port).ask(), (200, b"x"))
                got, end = b"", time.monotonic() + 10 * SLOW
                while time.monotonic() < end:
                    try:
                        more = s.recv(1 << 20)
                    except (ConnectionResetError, socket.timeout):
                        more = b""
                    if not more:
                        break
                    got += more
                self.assertLess(time.monotonic(), end, "the flooding connection was kept")
                s.close()

    def test_goaway_after_the_last_request(self):
        s = opened(self.srv.port)
        pack, got, seen = hpack.Encoder(), readframes(s), []
        # In rounds within the 128 streams a client may have open.
        for r in range(10):
            s.sendall(b"".join(frame(1, 5, 200 * r + 2 * k + 1, pack.encode(ASK)) for k in range(100)))
            while sum(f[0] == 0 and f[1] & 1 for f in seen) < 100 * (r + 1):
                seen.append(next(got))
        seen += list(got)
        self.assertEqual([f[2] for f in seen if f[0] == 7], [1999])  # GOAWAY, NO_ERROR
        self.assertEqual(sorted(f[2] for f in seen if f[0] == 0 and f[1] & 1), list(range(1, 2000, 2)))

    def test_goaway_at_a_stop_lets_the_stream_finish(self):
        srv = tavi.Server(self.tree, flags=["--web"]).start()
        self.addCleanup(srv.stop)
        s = opened(srv.port)
        s.sendall(frame(1, 5, 1, hpack.Encoder().encode(ASK[:1] + [(":path", "/big")] + ASK[2:])))
        time.sleep(0.2 * SLOW)
        srv.proc.send_signal(signal.SIGTERM)
        seen = frames(s)
        self.assertEqual([f[2] for f in seen if f[0] == 7], [1])
        self.assertEqual(b"".join(f[3] for f in seen if f[0] == 0), self.tree["a/big"])
        self.assertEqual(srv.proc.wait(10 * SLOW), 0)


    @unittest.skipIf(tavi.SANITIZED, "the sanitizers' own heap")
    def test_idle_sessions_hold_no_frames(self):
        # Each session after one answer: its frame buffer's pages, and its table of streams now empty,
        # go back once it has been idle a second.
        before, held = self.srv.rss_kib(), []
        for _ in range(300):
            held.append(opened(self.srv.port))
            self.addCleanup(held[-1].close)
            held[-1].sendall(frame(1, 5, 1, hpack.Encoder().encode(ASK)))
            self.assertTrue(any(f[0] == 0 and f[1] & 1 for f in itertools.islice(readframes(held[-1]), 4)))
        time.sleep(1.5)
        self.assertLess((self.srv.rss_kib() - before) / 300, 10.5)
        # What went back is made again on the next request.
        for s in held[:3]:
            s.sendall(frame(1, 5, 3, hpack.Encoder().encode(ASK)))
            self.assertTrue(any(f[0] == 0 and f[1] & 1 and f[2] == 3 for f in itertools.islice(readframes(s), 6)))

    def test_patience_is_not_bought_a_byte_at_a_time(self):
        # One client opens its window a byte at a time; another, idle, sends PINGs. Each has its 20 s.
        slow = socket.create_connection((HOST, self.srv.port), timeout=30 * SLOW)
        slow.sendall(PREFACE + frame(4, 0, 0, (4).to_bytes(2, "big") + bytes(4))
                     + frame(1, 5, 1, hpack.Encoder().encode(ASK[:1] + [(":path", "/big")] + ASK[2:])))
        idle = opened(self.srv.port)
        start, ends = time.monotonic(), {}
        while len(ends) < 2 and time.monotonic() - start < 30 * SLOW:
            for name, s, more in (("slow", slow, frame(8, 0, 1, (1).to_bytes(4, "big"))),
                                  ("idle", idle, frame(6, 0, 0, bytes(8)))):
                if name in ends:
                    continue
                try:
                    s.sendall(more)
                    s.setblocking(False)
                    while s.recv(65536):
                        pass
                    ends[name] = time.monotonic() - start
                except (BlockingIOError, ssl.SSLWantReadError):
                    pass
                except OSError:
                    ends[name] = time.monotonic() - start
                s.setblocking(True)
            time.sleep(0.1)
        self.assertEqual(sorted(ends), ["idle", "slow"])
        for name, took in ends.items():
            self.assertTrue(19 <= took <= 23 * SLOW, f"{name} ended after {took:.1f} s")

    @unittest.skipIf(tavi.SANITIZED, "the sanitizers' own descriptors")
    def test_full_server(self):
        # Descriptors for 63 connections, all HTTP/2 sessions with nothing open: a newcomer ends the oldest.
        with unittest.mock.patch.object(tavi, "RUNNER", ["prlimit", "--nofile=190"] + tavi.RUNNER):
            srv = self.serve(self.tree, flags=["--web"])
        crowd = []
        for _ in range(63):
            crowd.append(opened(srv.port))
            self.addCleanup(crowd[-1].close)
            crowd[-1].sendall(frame(1, 5, 1, hpack.Encoder().encode(ASK)))
            self.assertTrue(any(f[0] == 0 and f[1] & 1 for f in itertools.islice(readframes(crowd[-1]), 4)))
        asked = time.monotonic()
        self.assertTrue(srv.talk(b"GET /x.txt HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")[0].endswith(b"\r\nx"))
        # At once: an idle session is not an unfinished request, given its 2 s.
        self.assertLess(time.monotonic() - asked, 1.5)
        crowd[0].settimeout(2 * SLOW)
        self.assertEqual(crowd[0].recv(100), b"")



def opened(port):
    """An h2c connection whose windows are as wide as they go: the server may send all it has."""
    s = socket.create_connection((HOST, port), timeout=10 * SLOW)
    s.sendall(PREFACE + frame(4, 0, 0, (4).to_bytes(2, "big") + (2**31 - 1).to_bytes(4, "big"))
              + frame(8, 0, 0, (2**31 - 1 - 65535).to_bytes(4, "big")))
    return s


def readframes(s):
    """The frames the server sends until it closes, as (type, flags, stream,
    payload); a GOAWAY's stream is its last stream id."""
    data, k, end = b"", 0, time.monotonic() + 20 * SLOW
    while time.monotonic() < end:
        while len(data) - k >= 9 and len(data) - k >= 9 + int.from_bytes(data[k:k + 3], "big"):
            size, kind, flags = int.from_bytes(data[k:k + 3], "big"), data[k + 3], data[k + 4]
            sid, payload = int.from_bytes(data[k + 5:k + 9], "big"), data[k + 9:k + 9 + size]
            yield kind, flags, int.from_bytes(payload[:4], "big") if kind == 7 else sid, payload
            k += 9 + size
        more = s.recv(1 << 20)
        if not more:
            return
        data, k = data[k:] + more, 0


def frames(s):
    return list(readframes(s))
