"""The slow downloads: tavi --web, then nginx (as in the crowds), each serving
SLOW_DOWNLOADS downloads of 10 MiB read at SLOW_RATE through a small receive
buffer by one process of paced non-blocking reads, every body checked by its
digest, while another process sends a newcomer for 1 KiB every SLOW_EVERY s."""

import hashlib
import heapq
import os
import selectors
import socket
import subprocess
import time

from harness.clients import newcomer
from harness.procs import HZ, say
from harness.rounds import fmt, goals_say, median, pctl, progress, record
from harness.servers import NOFILE, pair_up

# How many, each read at SLOW_RATE bytes/s every SLOW_TICK s through a receive
# buffer of SLOW_RCVBUF; a newcomer every SLOW_EVERY s.
SLOW_DOWNLOADS = 1000
SLOW_SIZE = 10 * 1024 * 1024
SLOW_RATE = 200 * 1024
SLOW_RCVBUF = 64 * 1024
SLOW_TICK = 0.1
SLOW_EVERY = 0.5
CELLS = [{"label": "downloads byte-exact", "unit": "downloads",
          "goals": [("value", "==", SLOW_DOWNLOADS)]},
         {"label": "longest stall", "unit": "s", "goals": [("value", "<=", 1)]},
         {"label": "newcomer p99", "unit": "ms", "goals": [("value", "<", 50)]},
         {"label": "newcomers failed", "unit": "newcomers", "goals": [("value", "==", 0)]}]
LIST = CELLS


def cost(env):
    return 2 * (SLOW_SIZE / SLOW_RATE + 2)


class Download:
    """One paced download of the large file and what it has seen so far."""

    def __init__(self, sock, began):
        self.sock, self.began = sock, began
        self.got = 0  # bytes read, header included
        self.head = b""  # until the blank line; then None
        self.body = 0
        self.digest = hashlib.sha256()
        self.last = None  # the last read that got data
        self.first = None  # s from the request to its first data
        self.stall = 0.0
        self.ended = None
        self.fault = ""
        self.waiting = False  # registered with the selector


def slow_read(d, now, buf, want):
    """One read as d's pace allows: "data", "empty", "early" or "ended"."""
    # At most 1 s of catching up after a stall, so a stall costs time.
    budget = int(min(SLOW_RATE * (now - d.began) - d.got, SLOW_RATE))
    if budget < 1:
        return "early"
    try:
        n = d.sock.recv_into(buf, min(budget, len(buf)))
    except BlockingIOError:
        return "empty"
    except OSError as e:
        d.fault, d.ended = f"{type(e).__name__}: {e}", now
        return "ended"
    if n == 0:
        d.ended = now
        if d.head is not None:
            d.fault = "closed before the header's end"
        elif d.body != want[0]:
            d.fault = f"{d.body} of {want[0]} bytes"
        elif d.digest.digest() != want[1]:
            d.fault = "digest differs"
        return "ended"
    if d.last is None:
        d.first = now - d.began
    else:
        d.stall = max(d.stall, now - d.last)
    d.last = now
    d.got += n
    if d.head is None:
        d.digest.update(buf[:n])
        d.body += n
        return "data"
    d.head += bytes(buf[:n])
    if b"\r\n\r\n" in d.head:
        head, rest = d.head.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 200 "):
            d.fault, d.ended = head.split(b"\r\n", 1)[0].decode(errors="replace"), now
            return "ended"
        d.head = None
        d.digest.update(rest)
        d.body = len(rest)
    return "data"


def slow_run(port, want):
    """SLOW_DOWNLOADS paced downloads of 10m.bin in this process, a newcomer
    every SLOW_EVERY s from another: (downloads, newcomers' ms, newcomers
    failed, this process's worst lateness in s, its CPU s)."""
    req = f"GET /10m.bin HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode()
    sel = selectors.DefaultSelector()
    buf = memoryview(bytearray(65536))
    downloads, due = [], []
    cpu = time.process_time()
    comer, socks = None, []
    try:
        for _ in range(SLOW_DOWNLOADS):
            socks.append(socket.socket())
            # Before connect: the window is agreed in the handshake.
            socks[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SLOW_RCVBUF)
            socks[-1].settimeout(10)
            socks[-1].connect(("127.0.0.1", port))
        # The requests go together once all are connected, each download's pace from its own.
        for i, c in enumerate(socks):
            c.sendall(req)
            c.setblocking(False)
            downloads.append(Download(c, time.monotonic()))
            heapq.heappush(due, (downloads[-1].began + SLOW_TICK, i))
        comer = newcomer(port, SLOW_EVERY, int(SLOW_SIZE / SLOW_RATE / SLOW_EVERY))
        left, late = len(downloads), 0.0
        give_up = time.monotonic() + 3 * SLOW_SIZE / SLOW_RATE
        while left and time.monotonic() < give_up:
            wait = min(due[0][0] - time.monotonic(), 0.5) if due else 0.5
            ready = [key.data for key, _ in sel.select(max(wait, 0))]
            now = time.monotonic()
            while due and due[0][0] <= now:
                when, i = heapq.heappop(due)
                late = max(late, now - when)
                ready.append(i)
            for i in ready:
                d = downloads[i]
                if d.waiting:
                    sel.unregister(d.sock)
                    d.waiting = False
                got = slow_read(d, now, buf, want)
                if got == "ended":
                    left -= 1
                    d.sock.close()
                elif got == "empty":  # read as soon as something comes
                    sel.register(d.sock, selectors.EVENT_READ, i)
                    d.waiting = True
                else:
                    heapq.heappush(due, (now + SLOW_TICK, i))
        out, _ = comer.communicate(timeout=60)
        got = [float(ln.split()[0]) for ln in out.splitlines() if ln.strip()]
        return (downloads, sorted(x for x in got if x >= 0), sum(x < 0 for x in got), late,
                time.process_time() - cpu)
    finally:
        if comer is not None and comer.poll() is None:
            comer.kill()
            comer.wait()
        sel.close()
        for c in socks:
            c.close()


def run(env):
    """tavi --web and nginx, one after the other, each serving SLOW_DOWNLOADS
    slow readers of 10 MiB and a newcomer every SLOW_EVERY s."""
    with open(os.path.join(env.site, "10m.bin"), "rb") as f:
        data = f.read()
    want = (len(data), hashlib.sha256(data).digest())
    del data
    pair = pair_up(env.www, env.ngx, env.template, env.lua, "slow.conf")
    if pair is None:
        return
    figs = [{s.name: [None] for s in pair} for _ in CELLS]
    say(f"\n== slow downloads: {SLOW_DOWNLOADS} x 10 MiB, each read at {SLOW_RATE // 1024} KiB/s"
        f" through a {SLOW_RCVBUF // 1024} KiB receive buffer (one process, paced reads every"
        f" {SLOW_TICK * 1000:.0f} ms); a newcomer (1 KiB) every {SLOW_EVERY} s from another;"
        f" nginx as in the crowds; descriptors {NOFILE} for all")
    say("  stall: the longest time between two reads of a download that got data; lateness:"
        " how late this process itself came to a read")
    try:
        for s in pair:
            progress(f"{s.name}'s downloads")
            before, t = s.ticks(), time.monotonic()
            try:
                downloads, took, failed, late, cpu = slow_run(s.port, want)
            except (OSError, subprocess.SubprocessError) as e:
                say(f"  {s.name:11s} FAILED: {type(e).__name__}: {e}")
                continue
            wall = time.monotonic() - t
            done = [d for d in downloads if d.ended and not d.fault]
            faults = {}
            for d in downloads:
                if d.fault or not d.ended:
                    faults.setdefault(d.fault or "unfinished", []).append(d)
            stalls = sorted(d.stall for d in downloads)
            firsts = sorted(d.first for d in downloads if d.first is not None)
            ends = sorted(d.ended - d.began for d in done)
            p99 = pctl(took, 0.99)
            say(f"  {s.name:11s} {len(done)} of {len(downloads)} byte-exact in {wall:.1f} s"
                f" (each took {fmt(median(ends), 0, 1)} s median, {fmt(pctl(ends, 1), 0, 1)} s"
                f" at most); stall p50 {stalls[len(stalls) // 2]:.2f} s, p99"
                f" {stalls[int(len(stalls) * 0.99)]:.2f} s, longest {stalls[-1]:.2f} s,"
                f" {sum(x > 1 for x in stalls)} over 1 s; first data after {fmt(median(firsts), 0, 2)} s"
                f" median, {fmt(pctl(firsts, 1), 0, 2)} s at most")
            say(f"  {'':11s} newcomers: {len(took)} answered, {failed} failed; p50"
                f" {fmt(median(took), 0, 2)} ms, p99 {fmt(p99, 0, 2)} ms, longest"
                f" {fmt(pctl(took, 1), 0, 2)} ms; server CPU"
                f" {(s.ticks() - before) / HZ:.1f} s, peak RSS {s.hwm_kib() / 1024:.1f} MiB;"
                f" this process: CPU {cpu:.1f} s, lateness up to {late * 1000:.0f} ms")
            for why, ds in sorted(faults.items(), key=lambda kv: -len(kv[1])):
                say(f"  {'':11s} {len(ds)} {why}")
            for fig, value in zip(figs, (len(done), stalls[-1], p99, failed)):
                fig[s.name] = [value]
    finally:
        for s in pair:
            s.stop()
        for cell, fig in zip(CELLS, figs):
            record(env, "slow", cell, fig, "tavi --web")
        goals_say(env, "slow", "slow-download goals, tavi --web")
