"""--log combined and vcombined: each kind of answer, hostile fields and lines, refusals, HTTP/2; --proxy-protocol:
PROXY headers v1 and v2, LOCAL, malformed, missing, split, before TLS, h2c and h2, and HAProxy in front."""
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import tavi
from sitekit import Log
from tavi import HOST, SLOW, ServerCase, free_port, read_all
from test_tls import issue, openssl

TREE = {"a/x.txt": b"hello\n", "b/y.txt": b"y"}
V1, V2 = b"PROXY TCP4 127.0.0.5 127.0.0.1 5555 80\r\n", b"\r\n\r\n\0\r\nQUIT\n"
SIX = V2 + b"\x21\x21\0\x27\x20\x01\x0d\xb8" + bytes(11) + b"\x05" + bytes(20) + b"\x04\0\0"  # 2001:db8::5, a TLV


def ask(line=b"GET /x.txt HTTP/1.1", *fields, host=b"a"):
    return line + b"\r\nHost: " + host + b"\r\nConnection: close\r\n" + b"".join(f + b"\r\n" for f in fields) + b"\r\n"


OK = b'"GET /x.txt HTTP/1.1" 200 6 "-" "-"\n'
LINES = [  # what is sent, what is logged behind the address and time
    (ask(b"GET /x.txt?q HTTP/1.1", b"Referer: http://r/", b"User-Agent: ua"), b'"GET /x.txt?q HTTP/1.1" 200 6 "http://r/" "ua"'),
    (ask(b"HEAD /x.txt HTTP/1.1"), b'"HEAD /x.txt HTTP/1.1" 200 0 "-" "-"'),
    (ask(b"GET /x.txt HTTP/1.1", b"Range: bytes=1-2"), b'"GET /x.txt HTTP/1.1" 206 2 "-" "-"'),
    (ask(b"GET /x.txt HTTP/1.1", b"If-None-Match: *"), b'"GET /x.txt HTTP/1.1" 304 0 "-" "-"'),
    (ask(b"GET /none HTTP/1.1"), b'"GET /none HTTP/1.1" 404 13 "-" "-"'),
    (ask(b"POST /x.txt HTTP/1.1"), b'"POST /x.txt HTTP/1.1" 405 0 "-" "-"'),
    (ask(b"GET /x.txt HTTP/1.1", b'Referer: "q"', b'User-Agent: a"b\\c\xff\t\xc3\xa9 z'),
     b'"GET /x.txt HTTP/1.1" 200 6 "\\x22q\\x22" "a\\x22b\\x5Cc\\xFF\\x09\\xC3\\xA9 z"'),
    (ask(b'GET /a"b\x01\x1b[2J HTTP/1.1'), b'"GET /a\\x22b\\x01\\x1B[2J HTTP/1.1" 400 25 "-" "-"'),
    (ask(b"GET /x.txt HTTP/3.0"), b'"GET /x.txt HTTP/3.0" 505 38 "-" "-"'), (b"GET /" + b"x" * 70000, b'"-" 431 34 "-" "-"'),
    # Without --proxy-protocol a header is a malformed request, and its address is not believed.
    (V1 + ask(), b'"PROXY TCP4 127.0.0.5 127.0.0.1 5555 80" 400 23 "-" "-"'), (SIX + ask(), b'"\\x00" 400 23 "-" "-"'),
]
HEADERS = [  # sent a part at a time; the address logged, or None: closed without an answer
    ([V1 + ask()], b"127.0.0.5"), ([V1[:7], V1[7:30], V1[30:], ask()], b"127.0.0.5"),
    ([SIX[:14], SIX[14:20], SIX[20:] + ask()], b"2001:db8::5"), ([V2 + b"\x20\0\0\0" + ask()], b"127.0.0.1"),
    ([ask()], None), ([V1[:-4] + b"\r\n" + ask()], None),
]


class Lines(ServerCase):
    def logged(self, log):
        return re.sub(rb"\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\]", b"[*]", log.new())

    def test_combined(self):
        srv = self.serve(TREE, flags=["--web", "--log", "combined"])
        log = Log(srv)
        for request, want in LINES:
            with self.subTest(request=request[:60]):
                srv.talk(request)
                self.assertEqual(self.logged(log), b"127.0.0.1 - - [*] " + want + b"\n")

    def test_vcombined(self):
        srv = self.serve(TREE, flags=["--web", "--log", "vcombined"])
        log = Log(srv)
        srv.talk(ask(b"GET /y.txt HTTP/1.1", host=b"b"))
        srv.talk(ask(host=b"x."))
        self.assertEqual(self.logged(log), b'b:%d 127.0.0.1 - - [*] "GET /y.txt HTTP/1.1" 200 1 "-" "-"\n-:%d 127.0.0.1 - -'
                         b' [*] "GET /x.txt HTTP/1.1" 400 14 "-" "-"\n' % (srv.port, srv.port))

    def test_proxy_headers(self):
        srv = self.serve(TREE, flags=["--web", "--proxy-protocol", "--log", "combined"])
        log = Log(srv)
        for parts, addr in HEADERS:
            with self.subTest(parts=parts), tavi.connect(srv.port) as s:
                for part in parts:
                    tavi.send(s, part)
                    time.sleep(0.05)
                want = (b"HTTP/1.1 200 OK", addr + b" - - [*] " + OK) if addr else (b"", b"")
                self.assertEqual((read_all(s)[0][:15], self.logged(log)), want)

    @unittest.skipUnless(shutil.which("openssl") and tavi.TARGET.name == "posix", "HTTPS: openssl, the Linux build")
    def test_tls_http2_and_haproxy(self):
        ca = Path(tempfile.mkdtemp(prefix="tavi-ca-"))
        self.addCleanup(shutil.rmtree, ca, True)
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=ca",
                "-keyout", "ca.key", "-out", "ca.pem", cwd=ca)
        issue(ca, ca / "live/a", "a.test")
        tls = free_port()
        srv = self.serve(TREE, flags=["--web", "--certs", ca / "live", "--https", tls, "--plain", "--proxy-protocol",
                                      "--log", "vcombined"])
        log = Log(srv)
        # curl's header names curl's own address: that it is answered at all shows the header read first.
        runs = [("--http1.1", tls, "https", b"1.1")] + [("--http2", tls, "https", b"2.0"),
                                                       ("--http2-prior-knowledge", srv.port, "http", b"2.0")] * tavi.H2
        for flag, port, scheme, two in runs:
            got = subprocess.run(["curl", "-skA", "ua", "--haproxy-protocol", flag, f"{scheme}://{HOST}:{port}/x.txt"],
                                 capture_output=True, timeout=20 * SLOW)
            want = b'a:%d 127.0.0.1 - - [*] "GET /x.txt HTTP/%s" 200 6 "-" "ua"\n' % (port, two)
            self.assertEqual((got.stdout, self.logged(log)), (b"hello\n", want))
        if not shutil.which("haproxy"):
            self.skipTest("no haproxy")
        front = [free_port(), free_port()]
        (ca / "h.cfg").write_text("defaults\n mode tcp\n timeout connect 5s\n timeout client 9s\n timeout server 9s\n"
                                  + "".join(f"listen l{port}\n bind {HOST}:{front[k]}\n server t {HOST}:{port} "
                                            "send-proxy-v2\n" for k, port in enumerate([srv.port, tls])))
        proxy = subprocess.Popen(["haproxy", "-db", "-f", ca / "h.cfg"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proxy.wait, 10)
        self.addCleanup(proxy.terminate)
        ctx = ssl.create_default_context(cafile=str(ca / "ca.pem"))
        ctx.check_hostname = False
        for _ in range(100):  # until it listens
            try:
                socket.create_connection((HOST, front[1]), 5).close()
                break
            except ConnectionRefusedError:
                time.sleep(0.05)
        for k, wrap in enumerate([lambda raw: raw, ctx.wrap_socket]):
            with wrap(socket.create_connection((HOST, front[k]), 5, source_address=("127.0.0.5", 0))) as s:
                s.sendall(ask())
                read_all(s)
        self.assertEqual(self.logged(log), b"a:%d 127.0.0.5 - - [*] %sa:%d 127.0.0.5 - - [*] %s" % (srv.port, OK, tls, OK))

if __name__ == "__main__":
    unittest.main()
