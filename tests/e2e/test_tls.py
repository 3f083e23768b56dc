"""HTTPS in --web: a test CA made by the openssl command, pairs per site
picked by the name the client sends, TLS 1.2 and 1.3 only, the plain port's
308 and its ACME path, --plain, files and ranges from disk, close_notify
after a refusal, handshakes waited for without cost, a broken connection
failing alone, a renewal picked up while a connection stays, a broken one
kept out, the graceful stop with a TLS download on its way, and headless
Chromium loading a page with its stylesheet and image over HTTPS (HTTP/2
where it is served)."""
import contextlib
import random
import re
import resource
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

import tavi
from tavi import HOST, SLOW, TARGET, ServerCase, free_port, read_all
from test_browser import CHROMIUM, Chromium, logline

# More than the TLS buffer of a body holds, in bytes that show where each came from.
BIG = random.Random(9).randbytes(300 << 10)
TREE = {"a/x.txt": b"x", "a/.well-known/acme-challenge/tok": b"tok", "b.test/x.txt": b"b"}
# Once loaded, the page writes into its title its image's width and the colour its stylesheet gave.
PAGE = {
    "page.html": b'<!doctype html><link rel="stylesheet" href="style.css"><title>-</title><p id="p">p</p>'
                 b'<img id="pic" src="pic.gif"><script>onload = () => '
                 b'{ document.title = pic.naturalWidth + " " + getComputedStyle(p).color + " " + '
                 b'performance.getEntriesByName(pic.src)[0].nextHopProtocol; };</script>',
    "style.css": b"p { color: rgb(1, 2, 3) }\n",
    "pic.gif": b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00\x00"
               b",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
}


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


def issue(ca, folder, name, kind="ec"):
    """A pair for name (CN and SAN, with its subdomains), signed by the CA."""
    folder.mkdir(parents=True, exist_ok=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"] if kind == "ec" else ["-newkey", "rsa:2048"]
    openssl("req", "-new", *key, "-nodes", "-subj", f"/CN={name}", "-keyout", folder / "privkey.pem",
            "-out", folder / "csr.pem", cwd=ca)
    (folder / "ext").write_text(f"subjectAltName=DNS:{name},DNS:*.{name},DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", folder / "csr.pem", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", folder / "ext", "-out", folder / "fullchain.pem", cwd=ca)


@unittest.skipUnless(shutil.which("openssl") and TARGET.name == "posix", "HTTPS: openssl, and the Linux build")
class Https(Chromium, ServerCase):
    @classmethod
    def setUpClass(cls):
        cls.ca = Path(tempfile.mkdtemp(prefix="tavi-ca-"))
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=tavi test CA", "-keyout", "ca.key", "-out", "ca.pem", cwd=cls.ca)
        issue(cls.ca, cls.ca / "live/a", "a.test")
        issue(cls.ca, cls.ca / "live/b.test", "b.test", "rsa")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.ca, ignore_errors=True)

    def start(self, *more, stderr="", watched=True):
        """A server of TREE with a copy of the CA's pairs; watched: it must
        still run at the end, with stderr as its only message."""
        self.certs = Path(tempfile.mkdtemp(prefix="tavi-certs-"))
        self.addCleanup(shutil.rmtree, self.certs, True)
        shutil.copytree(self.ca / "live", self.certs, dirs_exist_ok=True)
        self.tls = free_port()
        flags = ["--web", "--certs", str(self.certs), "--https", str(self.tls), *more]
        if watched:
            return self.serve(TREE, flags=flags, stderr=stderr)
        srv = tavi.Server(TREE, flags=flags).start()
        self.addCleanup(srv.stop)
        return srv

    def client(self, name=None, version=None, alpn=("http/1.1",)):
        """A client that takes an end of the stream without close_notify for a cut answer."""
        ctx = ssl.create_default_context(cafile=str(self.ca / "ca.pem"))
        ctx.check_hostname = False
        ctx.set_alpn_protocols(list(alpn))
        if version:
            ctx.minimum_version = ctx.maximum_version = version
        raw = socket.create_connection((HOST, self.tls), timeout=5 * SLOW)
        return ctx.wrap_socket(raw, server_hostname=name, suppress_ragged_eofs=False)

    def ask(self, s, path=b"/x.txt", fields=b"", behind=b""):
        """Sends a request, and the requests behind in the same write; reads an answer to each."""
        s.sendall(b"GET " + path + b" HTTP/1.1\r\nHost: a\r\n" + fields + b"\r\n" + behind)
        return self.answers(s, 1 + behind.count(b"\r\n\r\n"))

    def answers(self, s, count=1):
        """What arrives until count answers are whole, by their Content-Length."""
        got, start = b"", 0
        for _ in range(count):
            while True:
                head = got.find(b"\r\n\r\n", start)
                if head >= 0:
                    end = head + 4 + int(re.search(rb"\r\nContent-Length: (\d+)\r\n", got[start:head + 2])[1])
                    if len(got) >= end:
                        break
                if not (more := s.recv(65536)):
                    return got
                got += more
            start = end
        return got

    def names(self, s):
        return dict(x[0] for x in s.getpeercert()["subject"])["commonName"]

    def test_sites_protocols_and_the_plain_port(self):
        srv = self.start()
        # The name picks the pair as the sites are found, "a" for no name or no match; ECDSA and RSA.
        for name, want in (("b.test", "b.test"), ("X.B.test", "b.test"), ("c.test", "a.test"), (None, "a.test")):
            with self.subTest(name=name), self.client(name) as s:
                self.assertEqual(self.names(s), want)
                self.assertTrue(self.ask(s).endswith(b"\r\n\r\nx"))
                self.assertEqual(s.selected_alpn_protocol(), "http/1.1")
        # The server's order decides: h2 first, where it is served.
        with self.client(alpn=("http/1.1", "h2")) as s:
            self.assertEqual(s.selected_alpn_protocol(), "h2" if tavi.H2 else "http/1.1")
        with self.assertRaises(ssl.SSLError):
            self.client(version=ssl.TLSVersion.TLSv1_1)
        # A TLS 1.3 client uses a ticket once: a resumed connection gets a new one.
        ctx, session, seen = ssl.create_default_context(cafile=str(self.ca / "ca.pem")), None, []
        for _ in range(3):
            with ctx.wrap_socket(socket.create_connection((HOST, self.tls), timeout=5 * SLOW),
                                 server_hostname="localhost", session=session) as s:
                self.assertTrue(self.ask(s).endswith(b"x"))
                session = s.session
                seen.append((s.session_reused, session.id))
        self.assertEqual([reused for reused, _ in seen], [False, True, True])
        self.assertEqual(len({sid for _, sid in seen}), 3)
        got = subprocess.run(["curl", "-s", "--cacert", str(self.ca / "ca.pem"), "--resolve",
                              f"localhost:{self.tls}:127.0.0.1", f"https://localhost:{self.tls}/x.txt"],
                             capture_output=True, timeout=30 * SLOW)
        self.assertEqual(got.stdout, b"x")
        moved = srv.talk(b"GET /x.txt?q HTTP/1.1\r\nHost: Site:80\r\nConnection: close\r\n\r\n")[0]
        self.assertIn(b"HTTP/1.1 308 Permanent Redirect\r\n", moved)
        self.assertIn(b"\r\nLocation: https://site:%d/x.txt?q\r\n" % self.tls, moved)
        # A challenge is known by the path served, once decoded and its dot segments gone: one that climbs
        # out of the challenges' folder is moved as any other.
        for target, status in ((b"/.well-known/acme-challenge/../../x.txt", b"308 Permanent Redirect"),
                               (b"/.well-known/acme-challenge/%2e%2E/..%2f/x.txt", b"308 Permanent Redirect"),
                               (b"/.well-known/acme-challenge/tok", b"200 OK"),
                               (b"/.well-known/%61cme-challenge/./tok", b"200 OK")):
            got = srv.talk(b"GET " + target + b" HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")[0]
            self.assertTrue(got.startswith(b"HTTP/1.1 " + status + b"\r\n"), got)
            self.assertTrue(got.endswith(b"\r\n\r\ntok") if status == b"200 OK" else
                            b"\r\nLocation: https://a:%d%s\r\n" % (self.tls, target) in got, got)

    def test_files_from_disk(self):
        # A file too large to be kept in memory leaves through the TLS buffer
        # refill after refill, and a range of it from where it begins to where
        # it ends: the kept connection then reads its next request. A short
        # answer gathered with the file's in one send goes first.
        srv = self.start()
        (srv.root / "a/big").write_bytes(BIG)
        with self.client() as s:
            head, _, body = self.ask(s, b"/big").partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n") and body == BIG, (head, len(body)))
            head, _, body = self.ask(s, b"/big", b"Range: bytes=1000-70000\r\n").partition(b"\r\n\r\n")
            self.assertIn(b"\r\nContent-Range: bytes 1000-70000/%d\r\n" % len(BIG), head)
            self.assertTrue(body == BIG[1000:70001], len(body))
            self.assertTrue(self.ask(s).endswith(b"\r\n\r\nx"))
            missing, _, rest = self.ask(s, b"/nope", behind=b"GET /big HTTP/1.1\r\nHost: a\r\n\r\n").partition(
                b"\r\n\r\nNo such file.")
            self.assertTrue(missing.startswith(b"HTTP/1.1 404 Not Found\r\n"), missing)
            self.assertTrue(rest.startswith(b"HTTP/1.1 200 OK\r\n") and rest.endswith(b"\r\n\r\n" + BIG), rest[:200])

    def test_refusals_end_with_close_notify(self):
        # A refused request is answered and the connection closed, closed as
        # TLS closes: a client that does not forgive a cut stream reads the
        # answer to its end, after a refusal (the lingering close) and after
        # an answer that asked to close.
        self.start()
        for asked, status in ((b"GET /x.txt HTTP/1.1\r\n\r\n", b"400 Bad Request"),
                              (b"PUT /x.txt HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nxx", b"405 Method Not Allowed"),
                              (b"POST /x.txt HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", b"405 Method Not Allowed")):
            with self.subTest(asked), self.client() as s:
                s.sendall(asked)
                try:
                    got = read_all(s)
                except ssl.SSLEOFError:
                    self.fail("the stream ended without close_notify")
                self.assertTrue(got[0].startswith(b"HTTP/1.1 " + status + b"\r\n") and got[1] == "close", got)

    def test_waiting_handshakes_cost_nothing(self):
        # A client that connected and says nothing, and one that stopped
        # halfway through its hello, are waited for, not polled. A thousand
        # silent ones have no TLS made for them, and a newcomer is served.
        srv = self.start()
        into, out = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.assertRaises(ssl.SSLWantReadError, ssl.create_default_context().wrap_bio(into, out).do_handshake)
        hello = out.read()
        with socket.create_connection((HOST, self.tls), timeout=5 * SLOW), \
                socket.create_connection((HOST, self.tls), timeout=5 * SLOW) as half:
            half.sendall(hello[:len(hello) // 2])
            time.sleep(0.2)
            before = srv.cpu()
            time.sleep(1.5)
            self.assertLess(srv.cpu() - before, 0.2)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard < 2200:
            self.skipTest(f"{hard} descriptors do not hold 1,000 connections")
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1100), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        before = srv.rss_kib()
        with contextlib.ExitStack() as held:
            for _ in range(1000):
                held.enter_context(socket.create_connection((HOST, self.tls), timeout=5 * SLOW))
            time.sleep(0.5)
            grown = srv.rss_kib() - before
            with self.client() as s:
                self.assertTrue(self.ask(s).endswith(b"\r\n\r\nx"))
        self.assertLess(grown, 8000, f"{grown} KiB for 1,000 silent connections")

    def test_plain_too(self):
        srv = self.start("--plain")
        got = srv.talk(b"GET /x.txt HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")[0]
        self.assertTrue(got.startswith(b"HTTP/1.1 200 OK\r\n") and got.endswith(b"\r\n\r\nx"), got)

    def records(self):
        """A connection whose records the test makes and sends itself: (the
        socket, the TLS, what it reads, what it wrote), the handshake done but
        for its last flight, still in what it wrote."""
        into, out = ssl.MemoryBIO(), ssl.MemoryBIO()
        ctx = ssl.create_default_context(cafile=str(self.ca / "ca.pem"))
        ctx.check_hostname = False
        tls = ctx.wrap_bio(into, out)
        raw = socket.create_connection((HOST, self.tls), timeout=5 * SLOW)
        self.addCleanup(raw.close)
        for _ in range(10):
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                raw.sendall(out.read())
                into.write(raw.recv(65536))
        return raw, tls, into, out

    def drain(self, raw, tls, into):
        """What the TLS reads until the server ends the connection."""
        got = b""
        for _ in range(1000):
            try:
                more = tls.read(65536)
                got += more
            except ssl.SSLWantReadError:
                into.write(more := raw.recv(65536))
            except ssl.SSLZeroReturnError:
                more = b""
            if not more:
                break
        return got

    def segment(self, pads, size):
        """The answers to requests (padded by pads, the last closing) sent in
        one segment, in records of size bytes, behind the handshake's end, and
        the bytes asked."""
        asked = b"".join(b"GET /x.txt HTTP/1.1\r\nHost: a\r\nX-Pad: " + b"p" * pad + b"\r\n\r\n" for pad in pads)
        asked = asked[:-2] + b"Connection: close\r\n\r\n"
        raw, tls, into, out = self.records()
        for k in range(0, len(asked), size):
            tls.write(asked[k:k + size])
        raw.sendall(out.read())
        return self.drain(raw, tls, into).count(b"HTTP/1.1 200 OK\r\n"), len(asked)

    def test_broken_records_fail_alone(self):
        # A connection that sends what is not TLS, for its hello or behind
        # its handshake, leaves nothing of its failure to another: there a
        # record that arrives in two parts is still waited for and read.
        self.start()
        for junk in ("hello", "record"):
            with self.subTest(junk):
                raw, tls, into, out = self.records()
                raw.sendall(out.read())
                into.write(raw.recv(65536))  # the ticket: the handshake is done
                if junk == "hello":
                    bad = socket.create_connection((HOST, self.tls), timeout=5 * SLOW)
                    bad.sendall(b"GET /x.txt HTTP/1.1\r\nHost: a\r\n\r\n")
                else:
                    with self.client() as s:
                        bad = socket.fromfd(s.fileno(), socket.AF_INET, socket.SOCK_STREAM)
                    bad.sendall(b"\x17\x03\x03\x00\x20" + b"\x00" * 32)
                with bad:
                    read_all(bad)
                tls.write(b"GET /x.txt HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
                record = out.read()
                raw.sendall(record[:20])
                time.sleep(0.1)
                raw.sendall(record[20:])
                got = self.drain(raw, tls, into)
                self.assertTrue(got.startswith(b"HTTP/1.1 200 OK\r\n") and got.endswith(b"\r\n\r\nx"), got)

    def test_records_in_one_segment(self):
        # Records that arrive together are all read, though the socket has
        # nothing more to announce: three short ones, and two whole ones of
        # 32768 bytes, one more than a read takes.
        self.start()
        self.assertEqual(self.segment([1, 1, 1], 50)[0], 3)
        self.assertEqual(self.segment([16000, 16667], 16384), (2, 32768))

    def test_renewal(self):
        # A new pair is picked up by new handshakes while a kept connection
        # goes on with its own; a broken one leaves the last good one serving.
        self.start(stderr=re.compile(r"[^\n]*b\.test/privkey\.pem[^\n]*\n"))
        kept = self.client("b.test")
        self.addCleanup(kept.close)
        self.assertTrue(self.ask(kept).endswith(b"x"))
        issue(self.ca, self.ca / "next", "next.b.test")
        for name in ("fullchain.pem", "privkey.pem"):
            shutil.copy(self.ca / "next" / name, self.certs / "b.test" / name)
        for _ in range(40):
            with self.client("b.test") as s:
                shown = self.names(s)
            if shown == "next.b.test":
                break
            time.sleep(0.1)
        self.assertEqual(shown, "next.b.test")
        self.assertTrue(self.ask(kept).endswith(b"x"))
        shutil.copy(self.ca / "live/a/privkey.pem", self.certs / "b.test/privkey.pem")
        time.sleep(2.5)
        with self.client("b.test") as s:
            self.assertEqual(self.names(s), "next.b.test")

    def test_browser(self):
        if not CHROMIUM:
            self.skipTest("chromium is not installed")
        srv = self.start()
        for name, body in PAGE.items():
            (srv.root / "a" / name).write_bytes(body)
        # Chromium trusts the leaf by the SHA-256 of its public key.
        spki = subprocess.run("openssl x509 -pubkey -noout | openssl pkey -pubin -outform der"
                              " | openssl dgst -sha256 -binary | base64", shell=True, check=True, capture_output=True,
                              input=(self.certs / "a/fullchain.pem").read_bytes(), timeout=30).stdout.decode().strip()
        dom = self.dump(f"https://localhost:{self.tls}/page.html", f"--ignore-certificate-errors-spki-list={spki}",
                        f"--host-resolver-rules=MAP localhost {HOST}", "--virtual-time-budget=10000")
        # The image came over HTTP/2 where it is served, as its resource timing says.
        self.assertIn("<title>1 rgb(1, 2, 3) %s</title>" % ("h2" if tavi.H2 else "http/1.1"), dom)
        log = (srv.dir / "stdout").read_bytes()
        for name in PAGE:
            self.assertIn(logline(b"/" + name.encode()), log)

    def test_stop_with_a_download(self):
        srv = self.start(watched=False)
        big = srv.root / "a/big"
        big.write_bytes(b"z" * (8 << 20))
        got, s = bytearray(), self.client()
        s.sendall(b"GET /big HTTP/1.1\r\nHost: a\r\n\r\n")
        got += s.recv(65536)
        srv.proc.send_signal(signal.SIGTERM)
        reader = threading.Thread(target=lambda: got.extend(read_all(s, timeout=15)[0]))
        reader.start()
        self.assertEqual(srv.proc.wait(15 * SLOW), 0)
        reader.join()
        s.close()
        self.assertTrue(bytes(got).endswith(b"\r\n\r\n" + b"z" * (8 << 20)), len(got))


if __name__ == "__main__":
    unittest.main()
