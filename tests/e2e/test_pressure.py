"""Connections under pressure: an upload still gets its whole answer, a
client the server cannot watch yet keeps its patience, descriptors running
out cost no spin, a full server makes room for a newcomer by ending the most
silent request, a newcomer is watched at once, a log that cannot be written
holds back every answer, resets before the accept pass,
the deadlines end only clients that stopped, --web holds crowds, and it
stops without cutting a download."""
import contextlib
import hashlib
import os
import random
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from unittest import mock

import tavi
from sitekit import NOT_FOUND, get, listed, logline, ok
from tavi import HOST, SANITIZED, SLOW, TARGET, ServerCase, connect, read_all, send

FILE = random.Random(4).randbytes(100000)
BIG = random.Random(5).randbytes(45 << 20)
BIG_SUM = hashlib.sha256(ok(BIG)[0]).digest()
REQUEST = b"GET /missing HTTP/1.1\r\nHost: a\r\n"
TRICKLE = b"GET /slow HTTP/1.1\r\nx-slow: " + b"z" * 100  # never a whole request
CROWD = 64
WAVE = random.Random(6).randbytes(4 << 20)  # more than one turn's sending


def nofile(need):
    """Raises this process's descriptor limit to what the test needs."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < need:
        raise unittest.SkipTest(f"the hard descriptor limit {hard} is below {need}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, need) if soft != resource.RLIM_INFINITY else soft, hard))


def ended(sock, wait=0.0):
    """Whether the server has ended the connection (or sent anything)."""
    poll = select.poll()
    poll.register(sock, select.POLLIN)
    return bool(poll.poll(wait * 1000))


def body(answer):
    return answer.split(b"\r\n\r\n", 1)[1]


def download(port, pace, result, key):
    """Reads a whole answer, sleeping pace seconds after each 256 KiB, and
    leaves its digest, length and how it ended in result[key]."""
    digest, size = hashlib.sha256(), 0
    try:
        with connect(port, timeout=30) as s:
            send(s, get(b"/big"))
            while True:
                data = s.recv(256 << 10)
                if not data:
                    break
                digest.update(data)
                size += len(data)
                time.sleep(pace)
        result[key] = (digest.digest(), size, "close")
    except OSError as e:
        result[key] = (digest.digest(), size, repr(e))


class Pressure(ServerCase):
    def test_uploads_keep_their_answer(self):
        if not shutil.which("curl"):
            self.skipTest("curl is not installed")
        srv = self.serve({"a/f": FILE, "a/d/x": b"x"})
        listing = listed(b"/d/", b"Directory of [/d/]", [(b"/d/..", b".."), (b"/d/x", b"x")])[0]
        work = tempfile.mkdtemp(prefix="tavi-upload-")
        self.addCleanup(shutil.rmtree, work, True)
        for size, runs in ((1 << 20, 20), (50 << 20, 20)):
            body = os.path.join(work, "body")
            with open(body, "wb") as f:
                f.write(random.Random(size).randbytes(size))
            for target, want in ((b"/f", ok(FILE)[0]), (b"/d/", listing), (b"/missing", NOT_FOUND[0])):
                for k in range(runs):
                    with self.subTest(size=size, target=target, run=k):
                        done = subprocess.run(["curl", "-sS", "-i", "--max-time", str(int(20 * SLOW)),
                                               "--data-binary", "@" + body,
                                               f"http://{HOST}:{srv.port}" + target.decode()],
                                              capture_output=True, timeout=60 * SLOW)
                        self.assertEqual((done.returncode, done.stderr), (0, b""))
                        self.assertTrue(done.stdout == want, done.stdout[:200])

    @unittest.skipUnless(TARGET.native, "long runs of many clients: the Linux build only")
    def test_long_lived_connections(self):
        # Descriptors 3 to 99 taken: the listening socket is 100 and the
        # clients come above it, as socket handles do on Windows.
        held = []
        while not held or held[-1] < 99:
            held.append(os.open(os.devnull, os.O_RDONLY))
        self.addCleanup(lambda: [os.close(fd) for fd in held])
        srv = self.serve({"a/big": BIG, "a/f": FILE}, inherit=held[:97])
        start = time.monotonic()
        # 70 downloads: the first 64 fill what a wait can watch for writing
        # and take 22 s or more, reading without pause; the rest wait their
        # turn and must not lose their patience meanwhile.
        result, threads = {}, []
        for k in range(70):
            pace = 0.125 if k < CROWD else 0
            threads.append(threading.Thread(target=download, args=(srv.port, pace, result, k), daemon=True))
            threads[-1].start()
            time.sleep(0.01)
        # Idle and trickling clients are cut at 20 s, no sooner.
        idle = [connect(srv.port, timeout=40) for _ in range(2)]
        slow = [connect(srv.port, timeout=40) for _ in range(2)]
        # An upload that never ends: its answer arrives, then it is cut at
        # the lingering close's bound.
        endless = connect(srv.port, timeout=40)
        send(endless, get(b"/f").replace(b"\r\n\r\n", b"\r\ncontent-length: 999999999999\r\n\r\n"))
        for s in idle + slow + [endless]:
            self.addCleanup(s.close)
        answer, cut, tick = b"", None, 0
        while time.monotonic() - start < 45 and (cut is None or idle or slow):
            now = time.monotonic() - start
            if now >= tick:
                for s in slow:
                    send(s, TRICKLE[tick:tick + 1])
                tick += 1
            for group in (idle, slow):
                for s in [s for s in group if select.select([s], [], [], 0)[0]]:
                    self.assertGreater(now, 15, "ended before its time")
                    self.assertEqual(read_all(s)[0], b"")
                    group.remove(s)
            if cut is None:
                try:
                    endless.sendall(b"u" * 1000)
                    if select.select([endless], [], [], 0)[0]:
                        answer += endless.recv(1 << 20)
                except (BrokenPipeError, ConnectionResetError):
                    cut = now
            time.sleep(0.1)
        self.assertEqual((idle, slow), ([], []), "still open after 45 s")
        self.assertTrue(answer.startswith(ok(FILE)[0]), answer[:100])
        self.assertTrue(cut and 28 < cut < 40, f"the endless upload was cut at {cut}")
        for t in threads:
            t.join(60 * SLOW)
        for k in range(70):
            with self.subTest(client=k):
                self.assertEqual(result.get(k, (None, 0, "running"))[1:], (len(ok(BIG)[0]), "close"))
                self.assertEqual(result[k][0], BIG_SUM)
        self.assertGreater(time.monotonic() - start, 22)

    @unittest.skipUnless(TARGET.native, "descriptor limits of the process")
    @unittest.skipIf(SANITIZED, "the sanitizers need descriptors of their own to check memory")
    def test_no_spin_when_descriptors_run_out(self):
        limit = ["prlimit", "--nofile=8"]
        shortage = os.strerror(24)
        with mock.patch.object(tavi, "RUNNER", limit + tavi.RUNNER):
            srv = self.serve({"a/f": FILE}, stderr=re.compile(f"(accept: {shortage}\\n)*"))
        holders = [connect(srv.port) for _ in range(8 - srv.settle_fds())]
        waiting = connect(srv.port)
        send(waiting, get(b"/f"))
        before = srv.cpu()
        time.sleep(2)
        lines = (srv.dir / "stderr").read_text().count("\n")
        self.assertLessEqual(lines, 40)
        self.assertGreater(lines, 0)
        self.assertLess(srv.cpu() - before, 0.1)
        holders.pop().close()  # one descriptor for the socket, one for the file
        holders.pop().close()
        freed = time.monotonic()
        self.assertEqual(read_all(waiting), ok(FILE))
        self.assertLess(time.monotonic() - freed, 1.5)
        for s in holders:
            s.close()
        self.assertEqual(srv.talk(get(b"/f")), ok(FILE))

    def test_a_full_server_makes_room(self):
        srv = self.serve({"a/f": FILE})
        for kind in ("idle", "trickling"):
            with self.subTest(kind):
                crowd = []
                for _ in range(CROWD):
                    s = socket.create_connection((HOST, srv.port), timeout=10 * SLOW,
                                                 source_address=("127.0.0.2", 0))
                    self.addCleanup(s.close)
                    crowd.append(s)
                asked, tick = time.monotonic(), 0
                with connect(srv.port) as newcomer:
                    send(newcomer, get(b"/f"))
                    while not select.select([newcomer], [], [], 0.1)[0]:
                        self.assertLess(time.monotonic() - asked, 3, "the newcomer got no place")
                        if kind == "trickling" and time.monotonic() - asked >= tick:
                            for s in crowd:  # a byte a second from each
                                send(s, TRICKLE[tick:tick + 1])
                            tick += 1
                    self.assertEqual(read_all(newcomer), ok(FILE))
                for s in crowd:
                    s.close()

    def test_newcomer_watched_at_once(self):
        # A wave of downloads ends together and leaves more lingering closes
        # than the sets have places to read; a newcomer that sends its
        # request a moment after it connects is answered all the same.
        for flags in ((), ("--web",)):
            with self.subTest(flags=flags):
                srv = self.serve({"a/w": WAVE, "a/f": FILE}, flags=flags)
                wave = [connect(srv.port, timeout=20) for _ in range(70)]
                for s in wave:
                    self.addCleanup(s.close)
                    send(s, get(b"/w"))
                for s in wave:
                    got = b""
                    while not got.endswith(WAVE):
                        data = s.recv(1 << 20)
                        self.assertTrue(data, got[:100])
                        got += data
                with connect(srv.port) as newcomer:
                    time.sleep(0.3)
                    asked = time.monotonic()
                    send(newcomer, get(b"/f"))
                    self.assertTrue(body(read_all(newcomer)[0]) == FILE)
                    self.assertLess(time.monotonic() - asked, 2 * SLOW)

    @unittest.skipUnless(TARGET.name == "posix", "a named pipe for standard output")
    def test_log_before_answers(self):
        # The log lines of a turn leave before its answers, a large one's
        # too: while the log's pipe is full, no answer has a byte out; once
        # it is read, each line is there when its answer's first byte comes.
        srv = tavi.Server({"a/w": WAVE, "a/f": FILE}, flags=["--web"])
        log, seen = srv.dir / "stdout", bytearray()
        os.mkfifo(log)
        pipe = os.open(log, os.O_RDONLY | os.O_NONBLOCK)

        def read():
            with contextlib.suppress(BlockingIOError):
                while more := os.read(pipe, 1 << 16):
                    seen.extend(more)
        self.addCleanup(os.close, pipe)
        self.addCleanup(srv.stop)
        # What the server logged, in a file again for its stop to read.
        self.addCleanup(lambda: (read(), log.unlink(), log.write_bytes(seen.replace(b"-", b""))))
        srv.start()
        fill = os.open(log, os.O_WRONLY | os.O_NONBLOCK)
        with contextlib.suppress(BlockingIOError):
            for _ in range(1000):
                os.write(fill, b"-" * 4096)
        os.close(fill)
        clients = [connect(srv.port) for _ in range(2)]
        for s, path in zip(clients, (b"/w", b"/f")):
            self.addCleanup(s.close)
            send(s, get(path))
        self.assertFalse(any(ended(s, 0.5) for s in clients), "an answer left before its log line")
        read()
        for s, path, want in zip(clients, (b"/w", b"/f"), (WAVE, FILE)):
            self.assertTrue(ended(s, 5 * SLOW))
            read()
            self.assertIn(logline(path), seen)
            self.assertTrue(body(read_all(s)[0]) == want)
        self.assertTrue(srv.alive())
        self.assertEqual((srv.dir / "stderr").read_text(), "")

    def test_resets_before_accept_pass(self):
        # Under Winsock a client reset while it waits to be taken makes
        # accept fail for it alone.
        for flags in ((), ("--web",)):
            with self.subTest(flags=flags):
                srv = self.serve({"a/f": FILE}, flags=flags, stderr=re.compile(r"(accept: \S.*\n)*"))
                for _ in range(200):
                    tavi.reset(connect(srv.port))
                self.assertEqual(body(srv.talk(get(b"/f"))[0]), FILE)

    def test_eviction_ends_the_most_silent_request(self):
        # The places full: one download the client does not read, a request
        # begun first and then silent, and requests begun later. A newcomer
        # ends the first silent one: not a later one, not the download.
        modes = [((), CROWD - 1)]
        if TARGET.native and not SANITIZED:
            # --web with descriptors for 63 connections (an eighth of them the reserve)
            modes.append((("--web",), CROWD - 2))
        for flags, crowd in modes:
            with self.subTest(flags=flags):
                with mock.patch.object(tavi, "RUNNER", ["prlimit", "--nofile=190"] + tavi.RUNNER if flags else tavi.RUNNER):
                    srv = self.serve({"a/w": WAVE, "a/f": FILE}, flags=flags)
                stalled = socket.socket()
                stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                stalled.settimeout(30 * SLOW)
                stalled.connect((HOST, srv.port))
                send(stalled, get(b"/w"))
                quiet = connect(srv.port)
                send(quiet, b"GET /f HTTP/1.1\r\n")
                time.sleep(0.2)
                others = []
                for k in range(crowd - 1):
                    others.append(connect(srv.port))
                    send(others[-1], b"GET /f HTTP/1.1\r\n")
                for s in [stalled, quiet] + others:
                    self.addCleanup(s.close)
                time.sleep(2.5)
                with connect(srv.port) as newcomer:
                    send(newcomer, get(b"/f"))
                    self.assertEqual(body(read_all(newcomer)[0]), FILE)
                self.assertTrue(ended(quiet, 2 * SLOW), "the most silent request is still open")
                self.assertEqual([(k, s.recv(100)) for k, s in enumerate(others) if ended(s)], [])
                self.assertEqual(body(read_all(stalled, timeout=30)[0]), WAVE)


class Crowds(ServerCase):
    """--web holds connections by the thousand: idle ones cost the others
    nothing, and every download moves at once."""
    idle = 2000 if TARGET.native else 1000
    downloads = 300 if TARGET.native else 100

    def test_idle_crowd(self):
        nofile(self.idle + 100)
        srv = self.serve({"a/f": FILE}, flags=["--web"])
        crowd = []
        for _ in range(self.idle):
            crowd.append(connect(srv.port, timeout=20))
            self.addCleanup(crowd[-1].close)
        asked = time.monotonic()
        self.assertEqual(body(srv.talk(get(b"/f"))[0]), FILE)
        self.assertLess(time.monotonic() - asked, SLOW)
        for s in (crowd[0], crowd[-1]):  # the first and the last still held
            self.assertFalse(ended(s))
            send(s, get(b"/f"))
            self.assertEqual(body(read_all(s)[0]), FILE)

    def test_downloads_move_together(self):
        # Each reads in turn, a little at a time: when the first is done the
        # slowest has a quarter of its file, where the sets would have left
        # all but 64 at the MiB a first turn sends. (Wine takes the
        # connections slowly: the first ones have a head start.)
        nofile(self.downloads + 100)
        big = random.Random(8).randbytes((8 if TARGET.native else 16) << 20)
        srv = self.serve({"a/big": big}, flags=["--web"])
        socks, got = [], []
        for _ in range(self.downloads):
            s = socket.socket()
            self.addCleanup(s.close)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
            s.connect((HOST, srv.port))
            send(s, get(b"/big"))
            s.setblocking(False)
            socks.append(s)
            got.append(bytearray())
        done, least, end = set(), None, time.monotonic() + 120 * SLOW
        while len(done) < len(socks):
            self.assertLess(time.monotonic(), end, f"{len(done)} done")
            for k in select.select([s for k, s in enumerate(socks) if k not in done], [], [], 1)[0]:
                k = socks.index(k)
                data = socks[k].recv(32768)
                got[k] += data
                if not data:
                    done.add(k)
                    least = least or min(len(g) for g in got)
        self.assertGreater(least, len(big) // 4)
        for k, g in enumerate(got):
            self.assertTrue(body(bytes(g)) == big, f"download {k} differs")


class Stop(unittest.TestCase):
    """SIGTERM (Ctrl+C for tavi.exe) lets --web finish the answers on their
    way and exit 0; a second one, or one without --web, ends it at once."""
    sig = signal.SIGINT if TARGET.name == "windows" else signal.SIGTERM

    def begin(self, flags, pace=0.01):
        srv, got = tavi.Server({"a/big": BIG}, flags=flags).start(), bytearray()
        idle, reader = connect(srv.port), threading.Thread(target=self.fetch, args=(srv.port, got, pace))
        reader.start()
        for end in (reader.join, idle.close, srv.stop):
            self.addCleanup(end)
        time.sleep(0.5 * SLOW)
        srv.proc.send_signal(self.sig)
        return srv, idle, reader, got

    def fetch(self, port, got, pace):
        with connect(port, timeout=30) as s, contextlib.suppress(OSError):
            send(s, get(b"/big").replace(b"Connection: close\r\n", b"") * 2)  # kept, and another behind
            while data := s.recv(128 << 10):
                got += data
                time.sleep(pace)

    def test_answers_finish(self):
        srv, idle, reader, got = self.begin(["--web"])
        self.assertEqual(read_all(idle, 0.5), (b"", "close"))
        self.assertRaises(ConnectionRefusedError, connect, srv.port)
        self.assertEqual(srv.proc.wait(7), 0)  # not at the bound: the kept connection ends with its answer
        reader.join()
        self.assertTrue(body(bytes(got)) == BIG, len(got))
        self.assertEqual((srv.dir / "stderr").read_text(), "")
        self.assertEqual((srv.dir / "stdout").read_bytes(), b"/big".ljust(64) + b"127.000.000.001\n")

    def test_slow_reader_cut_at_the_bound(self):
        # Each byte it takes does not put the bound off.
        srv, idle, reader, got = self.begin(["--web"], pace=0.2)
        self.assertEqual(srv.proc.wait(15 * SLOW), 0)
        reader.join()
        self.assertLess(len(got), len(BIG))

    def test_at_once(self):
        for flags, signals in ((["--web"], 2), ([], 1)):
            with self.subTest(flags=flags):
                srv, idle, reader, got = self.begin(flags)
                if signals == 2:
                    read_all(idle, 0.5)
                    self.assertTrue(srv.alive())
                    srv.proc.send_signal(self.sig)
                code = srv.proc.wait(SLOW)
                reader.join()
                self.assertLess(len(got), len(BIG), "the download was not cut")
                if TARGET.native:
                    self.assertEqual(code, -self.sig)


if __name__ == "__main__":
    unittest.main()
