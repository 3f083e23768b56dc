"""The clients the cases share: one GET, the decoders of what comes back,
a fresh headless Chromium, and a newcomer asking at a steady pace."""

import http.client
import shutil
import socket
import subprocess
import tempfile
import time
import zlib

from harness.procs import PYTHON, accepts, debian, say, spawn, which

CHROMIUM = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--virtual-time-budget=10000", "--dump-dom"]
# Newcomers at a steady pace, one request per connection: ms each, -1 failed,
# and when it was sent (time.monotonic(), the same clock in every process).
NEWCOMER_PY = r"""
import socket, sys, time
port, every, count = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
req = b"GET /1k.bin HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"
start = time.monotonic()
for k in range(count):
    time.sleep(max(0, start + k * every - time.monotonic()))
    t, got = time.monotonic(), b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
            c.sendall(req)
            while more := c.recv(65536):
                got += more
        ok = got.startswith(b"HTTP/1.1 200 ") and len(got.split(b"\r\n\r\n", 1)[-1]) == 1024
    except OSError:
        ok = False
    print((time.monotonic() - t) * 1000 if ok else -1, t, flush=True)
"""


def newcomer(port, every, count):
    """NEWCOMER_PY in a process of its own: count requests, every s apart."""
    return spawn([PYTHON, "-c", NEWCOMER_PY, str(port), str(every), str(count)],
                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def get(port, path, ae=None):
    """One GET on its own connection, with Connection: close (and
    Accept-Encoding ae): (status, whether the answer says it closes, the
    Content-Encoding or "identity", the body as sent)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    try:
        conn.request("GET", path, headers={"Connection": "close", **({"Accept-Encoding": ae} if ae else {})})
        r = conn.getresponse()
        closes = r.version == 10 or r.getheader("Connection", "").lower() == "close"
        return r.status, closes, r.getheader("Content-Encoding", "identity"), r.read()
    finally:
        conn.close()


def chromium(top, url, watch=None):
    """One load of url by a fresh headless Chromium, its profile in top:
    ((its run, s taken, connections the server watch accepted by strace, or
    None without watch), ""), or (None, why)."""
    profile = tempfile.mkdtemp(dir=top)
    argv = [which("chromium"), *CHROMIUM, f"--user-data-dir={profile}", url]
    t = time.monotonic()
    try:
        if watch:
            n, r = accepts(watch, top, argv)
            if n is None:
                return None, r
        else:
            n, r = None, subprocess.run(argv, capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return None, "chromium timed out"
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    return (r, time.monotonic() - t, n), ""


def hold(port, count, req=None):
    """count connections, each sending req (if given) and reading its 1 KiB
    answer before the next is made, left open; None (and why, said) when they
    cannot all be made."""
    held = []
    try:
        for _ in range(count):
            held.append(socket.create_connection(("127.0.0.1", port), timeout=10))
            if req is None:
                continue
            held[-1].sendall(req)
            got = b""
            while b"\r\n\r\n" not in got or len(got.split(b"\r\n\r\n", 1)[1]) < 1024:
                more = held[-1].recv(65536)
                if not more:
                    raise OSError("closed by the server after an answer")
                got += more
    except OSError as e:
        say(f"  {len(held)} {'persistent' if req else 'idle'} connections made, then: {e}")
        for c in held:
            c.close()
        return None
    return held


def brotli_module():
    """Debian's python3-brotli, or None."""
    return debian("brotli")


def decode(coding, body):
    """The body as the file's bytes, or None where this process has no decoder
    (zstd; br without python3-brotli) or the body does not decode."""
    try:
        if coding == "identity":
            return body
        if coding == "gzip":
            return zlib.decompress(body, 16 + zlib.MAX_WBITS)
        if coding == "br" and brotli_module():
            return brotli_module().decompress(body)
    except Exception:  # a body that does not decode is told apart from no decoder
        return b"\0does not decode"
    return None


def dechunk(data):
    """A chunked body's bytes, and whether its last chunk came."""
    out, at = bytearray(), 0
    while True:
        end = data.find(b"\r\n", at)
        try:
            size = int(data[at:end].split(b";")[0], 16) if end >= 0 else -1
        except ValueError:
            size = -1
        if size < 0:
            return bytes(out), False
        if size == 0:
            return bytes(out), True
        out += data[end + 2:end + 2 + size]
        at = end + 2 + size + 2

