"""The crowd: tavi --web against nginx (one worker, keepalive_timeout 0,
descriptor limits raised for both) under many connections: wrk with
Connection: close on 1 KiB at -c64, -c256 and -c1000, then a newcomer's
latency and wrk -c64 while idle connections are held, and peak memory."""

import socket
import time

from harness.clients import hold
from harness.procs import say
from harness.rounds import figures, pctl, progress, record
from harness.servers import CROWD_IDLE, NOFILE, pair_up
from harness.tools import run_one

# wrk's connections, each a cell of one pass (no rounds), tavi first.
CELLS = [{"label": f"wrk -c{c}", "conns": c, "unit": "req/s"} for c in (64, 256, 1000)]
HELD = [{"label": "newcomer p99, idle held", "unit": "ms"},
        {"label": "peak RSS, idle held", "unit": "MiB"}]
LIST = CELLS + HELD
NEWCOMERS = 200


def cost(env):
    return len(CELLS) * 2 * (env.secs + 1) + 2 * (env.secs + 5)


def newcomers(port, count):
    """Latencies in ms of count requests, one per connection, one after another."""
    req = b"GET /1k.bin HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"
    took = []
    for _ in range(count):
        t = time.monotonic()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
            c.sendall(req)
            while c.recv(65536):
                pass
        took.append((time.monotonic() - t) * 1000)
        time.sleep(0.005)
    return sorted(took)


def run(env):
    # Fewer idle connections where the hard descriptor limit leaves tavi room
    # for fewer: it keeps a socket and a file for each.
    idle = min(CROWD_IDLE, (NOFILE - 64) // 2 - 100)
    pair = pair_up(env.www, env.ngx, env.template, env.lua, "crowd.conf")
    if pair is None:
        return
    names = [s.name for s in pair]
    try:
        say(f"\n== crowds: 1 KiB, Connection: close, {env.secs} s per run (wrk --timeout 30s);"
            f" descriptors {NOFILE} for all")
        say(f"  {'cell':22s} {'server':11s} {'req/s':>9s} {'p99 ms':>8s}  errors c/r/w/t")
        runs = {}
        for cell in CELLS:
            conns = cell["conns"]
            progress(cell["label"])
            for s in pair:
                res, err = run_one(s, "1k.bin", conns, env.secs, env.lua)
                if res is None:
                    say(f"  wrk -c{conns:<17d} {s.name:11s} FAILED: {err}")
                    continue
                runs[(cell["label"], s.name)] = {0: res}
                say(f"  wrk -c{conns:<17d} {s.name:11s} {res['rps']:9.0f} {res['p99_us'] / 1000:8.1f}"
                    f"  {res['connect']}/{res['read']}/{res['write']}/{res['timeout']}")
            c = record(env, "crowd", cell, figures(runs, cell["label"], names, "rps", 1), *names)
            if c["ratios"]:
                say(f"  {'':22s} tavi/nginx {c['median']:.2f}")
        p99, hwm = {}, {}
        for s in pair:
            progress(f"{s.name}, {idle} idle held")
            held = hold(s.port, idle)
            if held is None:
                continue
            try:
                took = newcomers(s.port, NEWCOMERS)
                res, err = run_one(s, "1k.bin", 64, env.secs, env.lua)
                with_idle = f"{res['rps']:.0f} req/s" if res else err
                base = runs.get(("wrk -c64", s.name), {0: {}})[0].get("rps")
                keep = f" ({res['rps'] / base:.2f} of it without)" if res and base else ""
                p99[s.name], hwm[s.name] = [pctl(took, 0.99)], [s.hwm_kib() / 1024]
                say(f"  {idle} idle held, {s.name:11s} newcomer p50 {took[len(took) // 2]:.2f} ms,"
                    f" p99 {p99[s.name][0]:.2f} ms; wrk -c64 {with_idle}{keep};"
                    f" peak RSS {hwm[s.name][0]:.1f} MiB")
            finally:
                for c in held:
                    c.close()
        if p99:
            record(env, "crowd", HELD[0], {n: p99.get(n, [None]) for n in names}, names[0])
            record(env, "crowd", HELD[1], {n: hwm.get(n, [None]) for n in names}, names[0])
    finally:
        for s in pair:
            s.stop()
