"""File bodies arrive whole, for one client and for many at once; entries
that are no plain file, or cannot be opened, get the 404 and the server goes
on."""
import collections
import concurrent.futures
import errno
import os
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import time
import unittest
from unittest import mock

import tavi
from sitekit import NOT_FOUND, OK, Log, get, logline, ok
from tavi import SLOW, TARGET, ServerCase, connect, read_all, send

BIN = b"\r\n\0\r\r\n\n\0\0" + random.Random(1).randbytes((1 << 20) - 9)  # 1 MiB, CR LF NUL among it
BIG = random.Random(2).randbytes(10 << 20)
SIZES = (0, 1, 254, 255, 256, 509, 510, 511, 4096)  # a chunk carries 255 bytes
TREE = {**{f"a/{n}": BIN[-n:] if n else b"" for n in SIZES}, "a/bin": BIN, "a/big": BIG, "a/f": b"still here"}
STILL_HERE = ok(b"still here")


def receive(sock, count, timeout=10.0):
    """At least count bytes, or what came before the peer closed."""
    got, end = bytearray(), time.monotonic() + timeout * SLOW
    while len(got) < count and time.monotonic() < end:
        sock.settimeout(max(end - time.monotonic(), 0.001))
        data = sock.recv(65536)
        if not data:
            break
        got += data
    return bytes(got)


class Bodies(ServerCase):
    def setUp(self):
        self.srv = self.serve(TREE)

    def assertWhole(self, got, body, end="close"):
        want = OK % len(body) + body
        if got != (want, end):
            where = next((k for k, (x, y) in enumerate(zip(got[0], want)) if x != y), None)
            self.fail(f"{len(got[0])} bytes of {len(want)}, first difference at {where}, ended by {got[1]}")

    def test_sizes(self):
        for name, body in [(str(n), BIN[-n:] if n else b"") for n in SIZES] + [("bin", BIN)]:
            with self.subTest(name):
                self.assertWhole(self.srv.talk(get(b"/" + name.encode()), timeout=20), body)

    def test_forty_clients_at_once(self):
        socks = [connect(self.srv.port) for _ in range(40)]
        for s in socks:
            self.addCleanup(s.close)
            send(s, get(b"/bin"))
        with concurrent.futures.ThreadPoolExecutor(len(socks)) as pool:
            got = list(pool.map(lambda s: read_all(s, timeout=30), socks))
        for k, answer in enumerate(got):
            with self.subTest(client=k):
                self.assertWhole(answer, BIN)
        self.assertEqual(Log(self.srv).new(), logline(b"/bin") * 40)

    def test_unread_request_body_ends_in_an_orderly_close(self):
        head, more = b"POST /big HTTP/1.1\r\nHost: a\r\nContent-Length: 20480\r\n\r\n", b"m" * 20480
        with self.subTest("sent with the request"):
            self.assertWhole(self.srv.talk(head + more, timeout=20, linger=0.2), BIG)
        with self.subTest("sent while the file goes out"), connect(self.srv.port) as s:
            send(s, head)
            got = receive(s, 1 << 16)
            for k in range(0, len(more), 1024):
                send(s, more[k:k + 1024])
                got += receive(s, 4096)
            rest, end = read_all(s, timeout=20, linger=0.2)
            self.assertWhole((got + rest, end), BIG)

    def test_size_beyond_four_gib(self):
        size = (6 << 30) + 7
        with open(self.srv.root / "a" / "huge", "wb") as f:
            f.truncate(size)  # sparse: takes no room
        with connect(self.srv.port) as s:
            send(s, get(b"/huge"))
            head = b"HTTP/1.1 200 ok\r\ncontent-length:%d\r\n\r\n" % size
            self.assertEqual(receive(s, len(head) + 4096)[:len(head) + 4096], head + bytes(4096))
        self.assertEqual(self.srv.talk(get(b"/f")), STILL_HERE)


HUGE = random.Random(3).randbytes(64 << 20)


def paced(sock, count, piece, pause, timeout=120.0):
    """Reads count bytes, piece bytes at a time with a pause after each."""
    got, end = bytearray(), time.monotonic() + timeout * SLOW
    while len(got) < count and time.monotonic() < end:
        data = receive(sock, min(piece, count - len(got)), timeout=30)
        if not data:
            break
        got += data
        time.sleep(pause)
    return bytes(got)


class Pacing(ServerCase):
    """A body leaves as fast as its client takes it, no faster, and never at
    the cost of another client."""

    def setUp(self):
        self.srv = self.serve({"a/huge": HUGE, "a/f": b"still here"})
        self.head = OK % len(HUGE)

    def test_a_reader_that_takes_nothing_stalls_itself_alone(self):
        with connect(self.srv.port, timeout=60) as idle:
            send(idle, get(b"/huge"))
            time.sleep(0.3)  # the server has filled what the socket holds
            self.assertEqual(self.srv.talk(get(b"/f")), STILL_HERE)
            fast = self.srv.talk(get(b"/huge"), timeout=60)
            self.assertTrue(fast == (self.head + HUGE, "close"), f"fast reader: {len(fast[0])} bytes")
            slow = paced(idle, len(self.head) + len(HUGE), 1 << 20, 0.02)
            self.assertTrue(slow == self.head + HUGE, f"slow reader: {len(slow)} bytes")
            self.assertEqual(receive(idle, 1), b"")

    def test_a_large_body_leaves_in_large_pieces(self):
        if not shutil.which("strace"):
            self.skipTest("strace is not installed")
        srv, trace = self.serve({"a/big": BIG}), self.srv.dir / "trace"
        # Attached to the running process: under Wine that is the program too.
        tracer = subprocess.Popen(["strace", "-f", "-s", "0", "-e", "trace=sendto,sendmsg,sendfile,write,writev",
                                   "-o", str(trace), "-p", str(srv.proc.pid)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            if b"attached" not in tracer.stderr.readline():
                self.skipTest("strace cannot attach here")
            self.assertEqual(srv.talk(get(b"/big"), timeout=60), ok(BIG))
        finally:
            tracer.send_signal(signal.SIGINT)
            tracer.wait(20)
            tracer.stderr.close()
        moved = collections.defaultdict(list)  # bytes of each call, by descriptor
        for line in trace.read_text(errors="replace").splitlines():
            m = re.match(r"\d+\s+(?:sendto|sendmsg|sendfile|writev?)\((\d+),.*\)\s+=\s+(\d+)$", line)
            if m:
                moved[m.group(1)].append(int(m.group(2)))
        if not moved:
            self.skipTest("strace cannot follow the server here")
        pieces = max(moved.values(), key=sum)
        self.assertGreaterEqual(sum(pieces), len(BIG))
        self.assertLessEqual(len(pieces), len(BIG) // (16 << 10) + 2, f"{len(pieces)} sends")

    def test_a_file_that_shrinks_ends_its_body_there(self):
        # A kept connection ends too: the next answer would read as the rest of the body.
        web = self.serve({"a/huge": HUGE, "a/f": b"still here"}, flags=["--web"])
        kept = get(b"/huge").replace(b"Connection: close\r\n", b"") + get(b"/f")
        for srv, request in ((self.srv, get(b"/huge")), (web, kept)):
            with self.subTest(srv.flags), connect(srv.port, timeout=30) as s:
                send(s, request)
                first = receive(s, 1 << 16)
                os.truncate(srv.root / "a" / "huge", 16 << 20)  # beyond what the sockets hold
                rest, end = read_all(s, timeout=30)
                head = self.head if srv is self.srv else first[:first.index(b"\r\n\r\n") + 4]
                self.assertEqual(end, "close")
                self.assertTrue(first + rest == head + HUGE[:16 << 20], f"{len(first + rest)} bytes")


def _without_read_override():
    """A prefix that starts the server without root's right to read any file."""
    if os.geteuid() != 0:
        return []
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
    try:
        done = subprocess.run(prefix + ["true"], capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        done = None
    if done is None or done.returncode != 0:
        raise unittest.SkipTest("run as root, and root's right to read any file cannot be dropped here")
    return prefix


@unittest.skipUnless(TARGET.native, "POSIX file kinds and modes")
class Unopenable(ServerCase):
    def test_pipes_sockets_and_devices_are_not_opened(self):
        srv = self.serve({"a/f": b"still here"})
        os.mkfifo(srv.root / "a" / "pipe")
        unix = socket.socket(socket.AF_UNIX)
        self.addCleanup(unix.close)
        unix.bind(str(srv.root / "a" / "sock"))
        os.symlink("/dev/zero", srv.root / "a" / "zero")
        for target in (b"/pipe", b"/pipe/", b"/sock", b"/sock/", b"/zero", b"/zero/"):
            with self.subTest(target):
                self.assertEqual(srv.talk(get(target)), NOT_FOUND)
                self.assertEqual(srv.talk(get(b"/f")), STILL_HERE)

    def test_files_that_cannot_be_read(self):
        prefix = _without_read_override()
        tree = {"a/locked": b"x", "a/shut/index.htm": b"x", "a/closed/inner": b"x", "a/f": b"still here"}
        with mock.patch.object(tavi, "RUNNER", prefix + tavi.RUNNER):
            srv = self.serve(tree, stderr=TARGET.perror("fopen", errno.EACCES) +
                             TARGET.perror("open 6", errno.EACCES))
        where = os.path.realpath(srv.root / "a").encode()
        for name in ("locked", "shut/index.htm", "closed"):
            path = srv.root / "a" / name
            mode = stat.S_IMODE(path.stat().st_mode)
            path.chmod(0)
            self.addCleanup(path.chmod, mode)
        log = Log(srv)
        cases = [(b"/locked", logline(b"/locked") + b"[" + where + b"/locked]\n"),
                 (b"/shut/", logline(b"/shut/") + b"[" + where + b"/shut/index.htm]\n"),
                 (b"/closed/", logline(b"/closed/"))]
        for target, logged in cases:
            with self.subTest(target):
                self.assertEqual(srv.talk(get(target)), NOT_FOUND)
                self.assertEqual(log.new(), logged)
                self.assertEqual(srv.talk(get(b"/f")), STILL_HERE)
                log.new()


if __name__ == "__main__":
    unittest.main()
