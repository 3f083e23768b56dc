"""Silent connections: tavi --web --certs against nginx (one worker, ssl, the
TLS case's pair and settings): SILENT TCP connections to the HTTPS port that
never send a byte, made with the descriptor limit raised past them; the rise
of RSS over their count while they are held, a newcomer's full handshake
then, and RSS 5 s after they closed against the start."""

import os
import resource
import socket
import ssl
import time

from harness.procs import port_free, say
from harness.rounds import goals_say, progress, record
from harness.servers import NOFILE, TAVI, pair_up

from cases.tls import case_certs, tls_newcomers, tls_template

SILENT = 10000
# Each holds a socket at both ends, and tavi keeps room for a file beside each.
LIMIT = 4 * SILENT + 1000
BATCH = 500
CELLS = [{"label": "silent connections: RSS a connection", "unit": "bytes", "goals": [("value", "<=", 4096)]},
         {"label": "silent connections: RSS 5 s after, over the start", "unit": "MiB",
          "goals": [("value", "<=", 10)]},
         {"label": "silent connections: TLS newcomer p99, held", "unit": "ms",
          "goals": [("failed", "==", 0, "failed")]}]
LIST = CELLS


def cost(env):
    return 60


def limit():
    """The descriptor limit for both servers and this process: LIMIT where
    it may be raised so far (as root), else the hard limit."""
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, LIMIT))
        return LIMIT
    except (ValueError, OSError):
        return NOFILE


def rss_kib(s):
    return s.hwm_kib("VmRSS:")


def silent(s, count):
    """count connections to s's port that send nothing, made BATCH at a time."""
    held = []
    try:
        while len(held) < count:
            for _ in range(min(BATCH, count - len(held))):
                c = socket.socket()
                held.append(c)
                c.connect(("127.0.0.1", s.port))
            time.sleep(0.05)
    except OSError as e:
        say(f"  {s.name:11s} {len(held)} made, then: {e}")
    return held


def run(env):
    say(f"\n== silent connections: {SILENT} TCP connections to the HTTPS port that send nothing")
    got = case_certs(env, "silent")
    if got is None:
        return
    certs, ca = got
    nofile = limit()
    count = min(SILENT, (nofile - 64) // 2 - 100)
    ctx = ssl.create_default_context(cafile=ca)
    pair = pair_up(env.www, env.ngx, tls_template(env.template, certs), env.lua, "silent.conf",
                   tavi=[TAVI, "--web", "--certs", certs, "--https", "@PORT@", str(port_free()), "127.0.0.1"], https=True,
                   nofile=nofile)
    if pair is None:
        return
    say(f"  descriptors {nofile} for all; {count} connections, {BATCH} at a time; RSS by /proc (tavi's alone,"
        " nginx's master and worker); a newcomer: a full TLS 1.3 handshake and 1 KiB, 50 of them while held."
        " Numbers of a shared machine: noisy")
    each, after, p99, failed = ({s.name: [None] for s in pair} for _ in range(4))
    try:
        for s in pair:
            progress(f"{s.name}, {count} silent")
            before = rss_kib(s)
            t = time.monotonic()
            held = silent(s, count)
            made = time.monotonic() - t
            try:
                time.sleep(1.5)
                peak = rss_kib(s)
                took = tls_newcomers(s.port, ctx, 50)
            finally:
                for c in held:
                    c.close()
            closed = time.monotonic()
            trail = []
            while time.monotonic() < closed + 5:
                time.sleep(0.5)
                trail.append(rss_kib(s))
            ok = sorted(x for x in took if x >= 0)
            each[s.name] = [(peak - before) * 1024 / max(1, len(held))]
            after[s.name] = [(trail[-1] - before) / 1024]
            p99[s.name] = [ok[min(len(ok) - 1, int(len(ok) * 0.99))] if ok else None]
            failed[s.name] = [len(took) - len(ok)]
            say(f"  {s.name:11s} {len(held)} made in {made:.1f} s; RSS {before / 1024:.1f} MiB before,"
                f" {peak / 1024:.1f} held ({each[s.name][0]:.0f} bytes a connection), then every 0.5 s after"
                f" they closed: " + " ".join(f"{x / 1024:.1f}" for x in trail)
                + f"; newcomers p99 {p99[s.name][0] if ok else float('nan'):.1f} ms, {failed[s.name][0]} failed")
    finally:
        for s in pair:
            s.stop()
    tavi = pair[0].name
    record(env, "silent", CELLS[0], each, tavi)
    record(env, "silent", CELLS[1], after, tavi)
    record(env, "silent", CELLS[2], p99, tavi, values={"failed": failed[tavi][0]})
    goals_say(env, "silent", "silent connections' goals (value: bytes, MiB or count)")
