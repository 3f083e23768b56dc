"""Runs the real tavi binary for the end-to-end tests and talks to it over
loopback TCP. Python standard library only.

Environment:
  TAVI           the binary under test (set by tests/CMakeLists.txt)
  TAVI_SANITIZE  ON when it is built with the address and UB sanitizers
  TAVI_H2        ON when it is built with libnghttp2 (HTTP/2 in --web)
  TAVI_RUNNER    a command prefix that starts it, e.g. "wine" (default none)
  TAVI_TARGET    "posix" or "windows": the system it is built for (default:
                 "windows" when TAVI ends in .exe, else "posix")

How the server's output reads on each system (line ends, the system's texts
of errors) is kept in one place: TARGET, an instance of Posix or Windows below.
"""
import collections
import ctypes
import os
import re
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

HOST = "127.0.0.1"
BINARY = os.environ.get("TAVI", "")
RUNNER = shlex.split(os.environ.get("TAVI_RUNNER", ""))
SANITIZED = os.environ.get("TAVI_SANITIZE", "OFF").upper() in ("ON", "1", "TRUE", "YES")
# Built with libnghttp2: --web speaks HTTP/2.
H2 = os.environ.get("TAVI_H2", "OFF").upper() in ("ON", "1", "TRUE", "YES")
# Time-outs stretch for sanitized or emulated binaries.
SLOW = 3.0 if SANITIZED or RUNNER else 1.0
# The getaddrinfo list is kept until exit by design: not a leak worth a report.
SUPPRESS = Path(__file__).resolve().parent / "lsan.supp"


class Posix:
    """How the server's output reads on a POSIX system."""
    name = "posix"
    native = True  # the started process is the server: /proc describes it
    empty_host_resolves = False  # getaddrinfo("") fails: no name given

    def lines(self, raw):
        """The bytes written to standard output or error, as the program meant them."""
        return raw

    def text(self, raw):
        return self.lines(raw).decode("utf-8", "surrogateescape")

    def perror(self, tag, err):
        return f"{tag}: {os.strerror(err)}\n"

    def slots(self, server):
        """How many clients the server holds at once. A set takes 64 sockets
        and the listening socket is left out when the largest socket is 63:
        here the clients get the descriptors from the first free one to 63."""
        return 64 - server.settle_fds()

    def gai_error(self, host, port):
        try:
            socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, 0, socket.AI_PASSIVE)
        except socket.gaierror as e:
            return f"getaddrinfo error: {e.strerror}\n"
        raise AssertionError(f"{host!r} resolves on this machine")


class Windows(Posix):
    """A Windows build, usually started through TAVI_RUNNER."""
    name = "windows"
    native = False
    # The empty name stands for the machine's own addresses: the server starts.
    empty_host_resolves = True

    def lines(self, raw):
        # The runtime's standard streams are text streams: each line feed is
        # written as CR LF. The program never writes a CR LF of its own there.
        return raw.replace(b"\r\n", b"\n")

    def perror(self, tag, err):
        # The cause is the system's text for a Winsock code: only the tag is fixed.
        return re.compile(re.escape(tag) + r": \S.*\n")

    def slots(self, server):
        # Socket handles are large numbers: 64 clients fill the read set.
        return 64

    def gai_error(self, host, port):
        return re.compile(r"getaddrinfo error: \S.*\n")


_target = os.environ.get("TAVI_TARGET") or ("windows" if BINARY.lower().endswith(".exe") else "posix")
TARGET = {kind.name: kind for kind in (Posix, Windows)}[_target]()

Outcome = collections.namedtuple("Outcome", "code out err")


def _environment():
    env = dict(os.environ)
    lsan = env.get("LSAN_OPTIONS", "")
    env["LSAN_OPTIONS"] = (lsan + ":" if lsan else "") + f"suppressions={SUPPRESS}:print_suppressions=0"
    return env


try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _prctl = None


def _orphan_guard():
    # The server never ends by itself: it must not outlive a killed test run.
    if _prctl:
        _prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def command(args):
    if not BINARY:
        raise unittest.SkipTest("TAVI is not set")
    return RUNNER + [BINARY] + [str(a) for a in args]


def run(args, cwd=None, timeout=30, before=None):
    """Runs the binary to its end (command-line failures): its Outcome."""
    with tempfile.TemporaryDirectory(prefix="tavi-e2e-", ignore_cleanup_errors=True) as tmp:
        def prepare():
            _orphan_guard()
            if before:
                before()
        proc = subprocess.run(command(args), cwd=cwd or tmp, env=_environment(), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout * SLOW, preexec_fn=prepare)
    return Outcome(proc.returncode, TARGET.text(proc.stdout), TARGET.text(proc.stderr))


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def connect(port, timeout=5.0, host=HOST):
    s = socket.create_connection((host, port), timeout=timeout * SLOW)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def reset(sock):
    """Ends the connection with a reset instead of the orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def send(sock, data, bytewise=False, pause=0.001):
    """Sends whole, or one byte per segment; False once the peer is gone."""
    try:
        if not bytewise:
            sock.sendall(data)
        for k in range(len(data) if bytewise else 0):
            sock.sendall(data[k:k + 1])
            time.sleep(pause)
    except (BrokenPipeError, ConnectionResetError):
        return False
    return True


def read_all(sock, timeout=5.0, linger=0.0):
    """Reads until the peer ends the connection: (bytes, "close" or "reset").
    A reset that follows the peer's end of data also counts; linger gives it
    time to arrive."""
    got = bytearray()
    end = time.monotonic() + timeout * SLOW
    while True:
        sock.settimeout(max(end - time.monotonic(), 0.001))
        try:
            data = sock.recv(65536)
        except ConnectionResetError:
            return bytes(got), "reset"
        except socket.timeout:
            raise AssertionError(f"still open after {timeout * SLOW:.0f} s, got {bytes(got)[:200]!r}") from None
        if not data:
            time.sleep(linger)
            failed = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            return bytes(got), "reset" if failed else "close"
        got += data


def exchange(port, data, bytewise=False, half_close=False, timeout=5.0, linger=0.0, host=HOST):
    """Sends a request on a new connection and reads the reply to its end."""
    with connect(port, host=host) as s:
        send(s, data, bytewise)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_all(s, timeout, linger)


class _Stream(type(Path())):
    """A file that holds what the server wrote to its standard output or
    error: it reads as the program meant it (TARGET.lines)."""

    def read_bytes(self):
        return TARGET.lines(super().read_bytes())

    def read_text(self, encoding="utf-8", errors="surrogateescape"):
        return self.read_bytes().decode(encoding, errors)


class _Folder(type(Path())):
    """The server's own folder: its entries "stdout" and "stderr" are _Streams,
    whoever reads them; every other entry is a plain Path."""

    def __truediv__(self, key):
        entry = Path(super().__truediv__(key))
        return _Stream(entry) if key in ("stdout", "stderr") else entry


class Server:
    """The binary serving a fresh folder on a free loopback port.

    tree maps paths under the served folder to file contents; a path that
    ends in "/" is a folder. root is the served folder's own name; flags go
    before the port on the command line."""

    def __init__(self, tree=None, root="root", flags=()):
        self.dir = _Folder(tempfile.mkdtemp(prefix="tavi-e2e-"))
        self.root = self.dir / root
        self.root.mkdir()
        for name, body in (tree or {}).items():
            path = self.root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            if name.endswith("/"):
                path.mkdir(exist_ok=True)
            else:
                path.write_bytes(body)
        self.proc = None
        self.port = None
        self.inherit = ()  # descriptors the server starts with, besides 0 to 2
        self.flags = list(flags)
        self.host = HOST  # the host argument; None for none

    def start(self, spell=str, tries=5):
        """Starts on a free port, written by spell(port), and waits until it
        accepts. Another program may take the port first: then it tries again."""
        for _ in range(tries):
            self.port = free_port()
            with open(self.dir / "stdout", "wb") as out, open(self.dir / "stderr", "wb") as err:
                args = [*self.flags, spell(self.port)] + ([self.host] if self.host else [])
                self.proc = subprocess.Popen(command(args), cwd=self.root, env=_environment(),
                                             stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                             pass_fds=self.inherit, preexec_fn=_orphan_guard)
            end = time.monotonic() + 10 * SLOW
            while self.proc.poll() is None and time.monotonic() < end:
                try:
                    socket.create_connection((self.addr, self.port), timeout=1).close()
                    return self
                except OSError:
                    time.sleep(0.02)
            done = self._halt()
            if done.code != 1 or not done.err.startswith("bind:"):
                raise AssertionError(f"the server did not start: {done}")
        raise AssertionError(f"no free port in {tries} tries")

    @property
    def addr(self):
        """Where its clients reach it: an address given as its host, else HOST."""
        return self.host if self.host and ":" in self.host else HOST

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def _halt(self):
        if self.alive():
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        return Outcome(self.proc.returncode, (self.dir / "stdout").read_text(), (self.dir / "stderr").read_text())

    def stop(self):
        """Ends the server (if it runs), removes its folder, returns its Outcome."""
        try:
            return self._halt()
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def talk(self, data, **options):
        return exchange(self.port, data, host=self.addr, **options)

    def _proc_path(self, name):
        if not TARGET.native:
            raise unittest.SkipTest("the process under test is not the server")
        return Path(f"/proc/{self.proc.pid}/{name}")

    def fds(self):
        """How many descriptors the server holds."""
        return len(os.listdir(self._proc_path("fd")))

    def cpu(self):
        """The seconds of processor time the server has used, its own and the system's for it."""
        fields = self._proc_path("stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_kib(self, field="VmRSS"):
        status = self._proc_path("status").read_text()
        return int(re.search(rf"^{field}:\s+(\d+) kB", status, re.M).group(1))

    def peak_kib(self):
        return self.rss_kib("VmHWM")

    def settle_fds(self, want=None, timeout=10.0):
        """The descriptor count once it reaches want (or stops moving), or
        what it is when the time is up."""
        last, end = self.fds(), time.monotonic() + timeout * SLOW
        while time.monotonic() < end:
            time.sleep(0.05)
            now = self.fds()
            if now == want or (want is None and now == last):
                return now
            last = now
        return last


class ServerCase(unittest.TestCase):
    """Each test starts its own server; at its end the server must still run
    and have written nothing unexpected to stderr."""
    host = HOST  # the host argument of its servers, unless serve is given one

    def serve(self, tree=None, spell=str, stderr="", root="root", inherit=(), flags=(), host=...):
        srv = Server(tree, root, flags)
        srv.host = self.host if host is ... else host
        srv.inherit = inherit
        srv.start(spell)
        self.addCleanup(self._finish, srv, stderr)
        return srv

    def _finish(self, srv, stderr):
        running = srv.alive()
        done = srv.stop()
        self.assertTrue(running, f"the server ended by itself: {done}")
        self.assertMessage(done.err, stderr)

    def assertMessage(self, got, want):
        if isinstance(want, re.Pattern):
            self.assertTrue(want.fullmatch(got), f"{got!r} does not match {want.pattern!r}")
        else:
            self.assertEqual(got, want)


def sixloop():
    """Whether this machine has the IPv6 loopback."""
    six = Path("/proc/net/if_inet6")
    return six.exists() and b"00000000000000000000000000000001" in six.read_bytes()


def onsix(case):
    """The case once more, its servers listening on ::1 alone."""
    six = type(case.__name__ + "Six", (case,), {"host": "::1", "__module__": case.__module__})
    return unittest.skipUnless(sixloop(), "no IPv6 loopback")(six)
