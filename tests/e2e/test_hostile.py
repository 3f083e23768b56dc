"""A hostile-client run against one server: random and mutated requests,
bytes one at a time, half-closed and reset connections, resets in the middle
of a 50 MiB body, slow readers, idle clients, 200 clients at once, files that
are pipes, devices, unreadable, vanishing or growing, and ".." in every
spelling. Afterwards the server answers a plain request byte for byte, has
written nothing unexpected to stderr (a sanitizer report would be there), and
holds as many descriptors as before the run and at most MARGIN_KIB more
resident memory: 1 MiB, or 16 MiB under AddressSanitizer, whose quarantine of
freed blocks is cut to QUARANTINE_MIB for the run (from 256 MiB). Even so the
sanitizer's allocator keeps freed blocks and their shadow pages for reuse (the
7 MB listing alone moves it by several MiB from run to run), so the tight
bound that catches a leak is the release build's."""
import concurrent.futures as futures
import errno
import os
import random
import re
import socket
import subprocess
import threading
import time
import unittest
from unittest import mock

import tavi
from tavi import HOST, SANITIZED, SLOW, TARGET, ServerCase, connect, read_all, reset, send

SEED = 20240
QUARANTINE_MIB = 4
MARGIN_KIB = 16384 if SANITIZED else 1024
MIB = 1 << 20
rng = random.Random(SEED)
BIG = rng.randbytes(50 * MIB)
FILES = {f"a/files/f{k}": rng.randbytes(rng.choice((0, 1, 255, 256, 4000, 70000))) for k in range(6)}
TREE = {"a/hello.txt": b"Hello.\n", "a/docs/index.htm": b"<p>docs</p>\n", "a/space name.txt": b"spaced\n",
        "secret.txt": b"above the site\n", "a/odd/locked.txt": b"x", "a/odd/locked/index.htm": b"x",
        "a/odd/shut/f": b"x", **FILES}
BODIES = set(FILES.values()) | {TREE["a/hello.txt"], TREE["a/docs/index.htm"], TREE["a/space name.txt"]}
BIG_ANSWER = b"HTTP/1.1 200 ok\r\ncontent-length:%d\r\n\r\n" % len(BIG) + BIG
SIX = {name: rng.randbytes(6 * MIB) for name in ("vanish", "swap", "grow")}  # beyond the socket buffers

NOT_FOUND = b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file."
BAD_ONE = b"HTTP/1.1 400 bad_host_one\r\n\r\nHost bad: one."
BAD_REQUEST = b"HTTP/1.1 400 bad_request\r\n"
LISTING = re.compile(rb"HTTP/1\.1 200 ok\r\ncontent-type:text/html\r\ncontent-length:(\d+)\r\n\r\n"
                     rb"(<html><head><title>.*</body></html>\n)", re.S)
FILE = re.compile(rb"HTTP/1\.1 200 ok\r\ncontent-length:(\d+)\r\n\r\n(.*)", re.S)
REDIRECT = re.compile(rb"HTTP/1\.1 303 needs_slash\r\nLocation: (/[ -~]*)\r\n\r\nThis directory needs a trailing "
                      rb"slash\. Redirecting you to <a href=\"([ -~]*)\">\2</a>")


def get(target, host=b"a"):
    # The answer comes at the host line: nothing follows it to meet a closed socket.
    return b"GET " + target + b" HTTP/1.1\r\nAccept: */*\r\nHost: " + host + b"\r\n"


def ok(body):
    return b"HTTP/1.1 200 ok\r\ncontent-length:%d\r\n\r\n" % len(body) + body


def moved(path):
    return (b"HTTP/1.1 303 needs_slash\r\nLocation: " + path + b"\r\n\r\nThis directory needs a trailing slash. "
            b"Redirecting you to <a href=\"" + path + b"\">" + path + b"</a>")


PLAIN = [(get(b"/hello.txt"), ok(b"Hello.\n")), (get(b"/docs"), moved(b"/docs/")),
         (get(b"/docs/"), ok(b"<p>docs</p>\n")), (get(b"/space%20name.txt"), ok(b"spaced\n")),
         (get(b"/files/f1"), ok(FILES["a/files/f1"])), (get(b"/missing"), NOT_FOUND),
         (b"GET / HTTP/1.1\r\nx: y\r\n\r\n", BAD_REQUEST)]
# Every one of these names something above the site or the served folder.
CLIMBS = [b"/..", b"/../secret.txt", b"/../../outside.txt", b"/files/../../secret.txt", b"/files/..",
          b"/%2e%2e/secret.txt", b"/%2E%2E/secret.txt", b"/.%2e/secret.txt", b"/%2e./secret.txt",
          b"/%2E%2e/secret.txt", b"/..%2fsecret.txt", b"/..%2Fsecret.txt", b"/%2e%2e%2fsecret.txt",
          b"/%2e%2e%2f%2e%2e%2foutside.txt", b"/files/%2e%2e/%2e%2e/secret.txt", b"/files/%2E%2e", b"//../secret.txt",
          b"/files//..//..//secret.txt", b"/%2f..%2fsecret.txt", b"/%2F%2E%2E%2Fsecret.txt", b"/..%5csecret.txt",
          b"/%252e%252e/secret.txt", b"/%2e%2e%00/secret.txt", b"/..?/secret.txt", b"/%2e%2e?x=../",
          b"http://a/../secret.txt", b"http://a/%2e%2e/secret.txt", b"http://a/%2e%2e%2fsecret.txt",
          b"http://../secret.txt", b"http://a/files/%2e%2e/../../outside.txt"]
HOST_CLIMBS = [b"..", b".", b"../a", b"a/..", b"a\\..", b"..\\a", b"/"]
# Path segments and hosts to draw from: none names the locked files, whose refusal is counted.
SEGMENTS = [b"..", b".", b"%2e%2e", b"%2E%2e", b".%2e", b"", b"docs", b"files", b"f1", b"f5", b"hello.txt", b"odd",
            b"fifo", b"zero", b"sock", b"loop", b"shut", b"space%20name.txt", b"%2f", b"%5c", b"%00", b"%", b"%zz",
            b"%41", b"index.htm", b"secret.txt", b"~", b"?x=1", b"%2e%2e%2f"]
HOSTS = [b"a", b"A", b"x.a", b"a:8080", b"files", b"b.c", b"docs", b"a."]


def logline(target):
    path = re.sub(rb"^http://[^/]*", b"", target).split(b"?")[0]
    return path[:64].ljust(64) + b"127.000.000.001\n"


def plausible(got):
    """Whether an answer is one the server may give to any request here."""
    if got in (b"", BAD_REQUEST, BAD_ONE, NOT_FOUND):
        return True
    m = REDIRECT.fullmatch(got)
    if m:
        escaped = m[1].replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;")
        return escaped.replace(b'"', b"&quot;").replace(b"'", b"&#39;") == m[2]
    m = LISTING.fullmatch(got) or FILE.fullmatch(got)
    return bool(m) and int(m[1]) == len(m[2]) and (m.re is LISTING or m[2] in BODIES)


def mutate(r, data):
    data = bytearray(data)
    for _ in range(r.randint(1, 4)):
        k, op = r.randrange(len(data) + 1), r.randrange(6)
        if op == 0 and data:
            data[min(k, len(data) - 1)] = r.randrange(256)
        elif op == 1:
            data[k:k] = bytes([r.choice(b"\r\n :/%.?\\\x00\x7f\xff")])
        elif op == 2:
            del data[k:k + r.randint(1, 8)]
        elif op == 3:  # long runs reach past the bound of a line
            data[k:k] = data[k:k + r.randint(1, 40)] * r.randint(1, 400)
        elif op == 4:
            del data[k:]
        else:
            data[k:k] = r.choice([b"\r\n", b"%2e%2e/", b"/..", b"\r\n\r\n", b"Host: b\r\n", b"http://", b"%"])
    return bytes(data)


def hostile_requests(count):
    """(request, where it is cut into pieces, ending): the ending is "half", "reset" or "urgent"."""
    r, bases = random.Random(SEED), [q for q, _ in PLAIN] + [get(t) for t in CLIMBS]
    for _ in range(count):
        kind = r.randrange(10)
        if kind < 4:
            data = mutate(r, r.choice(bases))
        elif kind < 6:
            path = b"/".join(r.choices(SEGMENTS, k=r.randint(0, 5)))
            data = get(b"/" + path + r.choice((b"", b"/")), r.choice(HOSTS))
        elif kind < 8:
            data = bytes(r.choice(b"GET /%.:\r\n ahostx") for _ in range(r.randrange(1, 200)))
        else:
            data = r.randbytes(r.randrange(1, 300))
        cuts = sorted(r.sample(range(1, len(data)), min(r.choice((0, 0, 1, 4)), max(len(data) - 1, 0))))
        yield data, cuts, r.choice(("half",) * 8 + ("reset", "urgent"))


def hostile(port, data, cuts, ending):
    """The answer, read to the end; None when the client gave up on it."""
    with connect(port, timeout=20) as s:
        for a, b in zip([0] + cuts, cuts + [len(data)]):
            if not send(s, data[a:b]):
                break
            time.sleep(0.001 if cuts else 0)
        try:
            if ending == "reset":
                return reset(s)
            if ending == "urgent":  # out-of-band data ends the connection, even in the middle of an answer
                s.send(b"!", socket.MSG_OOB)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        got = read_all(s, timeout=20)[0]
        return got if ending == "half" else None


def narrow(port):
    """A client with a small receive window: the server's sends soon wait on it."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(20 * SLOW)
    s.connect((HOST, port))
    return s


def take(sock, count):
    got = bytearray()
    while len(got) < count:
        data = sock.recv(min(count - len(got), MIB))
        if not data:
            break
        got += data
    return bytes(got)


def download(port, cut=None):
    """Whether the whole 50 MiB answer came, or its first cut bytes before a reset."""
    with connect(port, timeout=20) as s:
        send(s, get(b"/big.bin"))
        if cut is None:
            return read_all(s, timeout=120)[0] == BIG_ANSWER
        got = take(s, cut)
        reset(s)
        return got == BIG_ANSWER[:cut]


def dribble(port, target, stop=None, seconds=3.0):
    """Reads a few bytes four times a second until stop is set (or for some
    seconds), then closes on all it left unread: what it read."""
    with narrow(port) as s:
        send(s, get(target))
        got, end = b"", time.monotonic() + (60 if stop else seconds)
        while time.monotonic() < end and not (stop and stop.is_set()):
            got += take(s, 4)
            time.sleep(0.25)
        return got


def unreadable_prefix():
    """A prefix that starts the server without root's right to read any file."""
    if os.geteuid() != 0:
        return []
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
    subprocess.run(prefix + ["true"], check=True, timeout=10)
    return prefix


@unittest.skipUnless(TARGET.native, "POSIX file kinds, modes and /proc")
class Hostile(ServerCase):
    def test_hostile_clients(self):
        asan = ":".join(filter(None, (os.environ.get("ASAN_OPTIONS"), f"quarantine_size_mb={QUARANTINE_MIB}")))
        with mock.patch.object(tavi, "RUNNER", unreadable_prefix() + tavi.RUNNER), \
                mock.patch.dict(os.environ, ASAN_OPTIONS=asan):
            self.srv = srv = self.serve(TREE, stderr=re.compile(r"((fopen|open 6): Permission denied\n)*"))
        self.port, self.errs, self.seen = srv.port, [], 0
        self.furnish(srv.root / "a")
        self.warm_up()
        fds, rss = srv.settle_fds(), srv.rss_kib()
        self.log()
        idle = [connect(srv.port, timeout=30) for _ in range(8)]
        for s in idle:
            self.addCleanup(s.close)
            send(s, b"GET /hello.txt HTTP/1.1\r\nx: ")  # and no more
        stop = threading.Event()
        with futures.ThreadPoolExecutor(16) as pool:
            held = pool.submit(dribble, srv.port, b"/wide/", stop)
            loads = [pool.submit(download, srv.port, cut) for cut in (None, MIB, 10 * MIB, 25 * MIB)]
            slow = [pool.submit(dribble, srv.port, b"/big.bin") for _ in range(4)]
            try:  # a server stuck in one send of the large listing to its slow reader answers nobody
                time.sleep(1)
                with self.subTest("a plain request is answered while others read slowly"):
                    self.assertEqual(srv.talk(PLAIN[0][0], timeout=5), (PLAIN[0][1], "close"))
            finally:
                stop.set()
            self.logged(len(loads) + len(slow) + 2)
            self.climbs()
            self.odd_files()
            self.changing_files()
            self.connections()
            self.random_requests(pool)
            self.crowd()
            got = held.result(timeout=60)
            self.assertTrue(len(got) >= 4 and b"HTTP/1.1 200 ok\r\ncontent-type:text/html\r\n".startswith(got), got)
            for k, load in enumerate(loads):
                self.assertTrue(load.result(timeout=120 * SLOW), f"big body {k}")
            for k, got in enumerate(future.result(timeout=60) for future in slow):
                self.assertTrue(len(got) >= 12 and BIG_ANSWER.startswith(got), f"slow reader {k}: {got[:50]!r}")
        for k, s in enumerate(idle):  # dropped 20 s after they came, without an answer
            self.assertEqual(read_all(s, timeout=30)[0], b"", k)
        with self.subTest("the log"):
            lines = (srv.dir / "stdout").read_bytes().splitlines(keepends=True)
            where = re.escape(os.path.realpath(srv.root / "a" / "odd").encode())
            odd = [n for n in lines if not re.fullmatch(rb"[ -~]{64}127\.000\.000\.001\n", n)]
            self.assertEqual([n for n in odd if not re.fullmatch(rb"\[" + where + rb"/locked(\.txt|/index\.htm)\]\n",
                                                                n)], [])
            self.assertEqual(len(odd), len(self.errs))
        for request, answer in PLAIN:
            self.assertEqual(srv.talk(request), (answer, "close"))
        self.assertEqual((srv.dir / "stderr").read_text(), "".join(self.errs))
        self.assertEqual(srv.settle_fds(fds), fds)
        self.assertLessEqual(srv.rss_kib() - rss, MARGIN_KIB, f"RSS before: {rss} KiB")

    def furnish(self, site):
        (site / "big.bin").write_bytes(BIG)
        (site.parent.parent / "outside.txt").write_bytes(b"outside the served folder\n")
        for name, body in SIX.items():
            (site / name).write_bytes(body)
        (site / "wide").mkdir()
        for k in range(3500):  # a listing of 7 MB: more than the socket buffers hold
            (site / "wide" / ("&" * 240 + str(k))).touch()
        odd = site / "odd"
        os.mkfifo(odd / "fifo")
        os.symlink("/dev/zero", odd / "zero")
        os.symlink("loop", odd / "loop")
        os.symlink("nowhere", odd / "dangling")
        with socket.socket(socket.AF_UNIX) as unix:
            unix.bind(str(odd / "sock"))
        for name in ("locked.txt", "locked/index.htm", "shut"):
            (odd / name).chmod(0)
            self.addCleanup((odd / name).chmod, 0o755)

    def log(self):
        """What the server has logged since the last look."""
        data = (self.srv.dir / "stdout").read_bytes()
        fresh, self.seen = data[self.seen:], len(data)
        return fresh

    def logged(self, count):
        """Waits until count more requests are in the log."""
        fresh, end = b"", time.monotonic() + 10 * SLOW
        while fresh.count(b"\n") < count and time.monotonic() < end:
            fresh += self.log()
            time.sleep(0.05)

    def warm_up(self):
        """Every kind of answer once, so that what the server keeps for later is there before the count."""
        for request, answer in PLAIN:
            self.assertEqual(self.srv.talk(request), (answer, "close"))
        self.assertTrue(plausible(self.srv.talk(get(b"/wide/"), timeout=30)[0]))
        with connect(self.port) as s:
            send(s, get(b"/wide/"))
            take(s, 10)
            reset(s)
        self.assertEqual(self.srv.talk(get(b"/grow"), timeout=30)[0], ok(SIX["grow"]))
        self.odd_files()
        with futures.ThreadPoolExecutor(70) as pool:  # more clients than slots
            self.assertEqual(set(pool.map(lambda _: self.srv.talk(PLAIN[0][0], timeout=30), range(70))),
                             {(PLAIN[0][1], "close")})

    def climbs(self):
        self.log()
        for target in CLIMBS:
            with self.subTest(target):
                self.assertEqual(self.srv.talk(get(target))[0], NOT_FOUND)
                self.assertEqual(self.log(), logline(target))
        for host in HOST_CLIMBS:
            with self.subTest(host=host):
                self.assertEqual(self.srv.talk(get(b"/secret.txt", host))[0], BAD_ONE)
                self.assertEqual(self.log(), b"")

    def odd_files(self):
        answer = self.srv.talk(get(b"/odd/"))[0]
        for name in (b"fifo", b"zero", b"loop", b"dangling", b"sock", b"locked.txt", b"locked", b"shut"):
            self.assertIn(b'<a href="/odd/%s">%s</a>' % (name, name), answer)
            self.assertEqual(self.srv.talk(get(b"/odd/" + name))[0], moved(b"/odd/%s/" % name)
                             if name in (b"locked", b"shut") else NOT_FOUND, name)
        for target in (b"/odd/fifo/", b"/odd/zero/", b"/odd/locked/", b"/odd/shut/"):
            self.assertEqual(self.srv.talk(get(target))[0], NOT_FOUND, target)
        self.errs += [TARGET.perror("fopen", errno.EACCES), TARGET.perror("open 6", errno.EACCES)]

    def changing_files(self):
        """A file deleted, replaced or grown while it goes out arrives as it was when its answer began."""
        site, readers = self.srv.root / "a", {}
        for name in ("vanish", "vanish", "swap", "grow"):
            s = narrow(self.port)
            self.addCleanup(s.close)
            send(s, get(b"/" + name.encode()))
            readers.setdefault(name, []).append((s, take(s, 1000)))
        os.unlink(site / "vanish")
        (site / "new").write_bytes(b"new")
        os.replace(site / "new", site / "swap")
        with open(site / "grow", "ab") as f:
            f.write(b"more" * 1000)
        self.assertEqual(self.srv.talk(get(b"/vanish"))[0], NOT_FOUND)
        self.assertEqual(self.srv.talk(get(b"/swap"))[0], ok(b"new"))
        for name, pairs in readers.items():
            for s, first in pairs:
                self.assertEqual(first + read_all(s, timeout=60)[0], ok(SIX[name]), name)

    def connections(self):
        """Bytes one at a time, half-closed and reset connections at every stage."""
        for request, answer in PLAIN:
            self.assertEqual(self.srv.talk(request, bytewise=True), (answer, "close"))
            self.assertEqual(self.srv.talk(request, half_close=True), (answer, "close"))
            for cut in (0, 5, 20):  # none reaches the host line
                self.assertEqual(self.srv.talk(request[:cut], half_close=True), (b"", "close"))
                with connect(self.port) as s:
                    send(s, request[:cut])
                    reset(s)
            with connect(self.port) as s:
                send(s, request)
                reset(s)

    def random_requests(self, pool):
        requests = list(hostile_requests(12000))
        answers = pool.map(lambda q: hostile(self.port, *q), requests)
        for (data, cuts, ending), got in zip(requests, answers):
            if got is not None:
                self.assertTrue(plausible(got), f"{data!r} cut at {cuts}: {got[:300]!r}")

    def crowd(self):
        """200 clients at once: more than there are slots, all served in the end."""
        def client(k):
            with connect(self.port, timeout=30) as s:  # a full backlog drops the first tries
                send(s, PLAIN[k % len(PLAIN)][0])
                return read_all(s, timeout=60)
        with futures.ThreadPoolExecutor(200) as pool:
            got = list(pool.map(client, range(200)))
        self.assertEqual(got, [(PLAIN[k % len(PLAIN)][1], "close") for k in range(200)])


if __name__ == "__main__":
    unittest.main()
