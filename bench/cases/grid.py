"""The default mode's grid: tavi, nginx, lighttpd, busybox httpd and Python's
http.server (and the static tavi, where it is built) serve the same random files, each checked byte for byte first;
wrk loads them with one request per connection (Connection: close), the
servers taking turns run by run. Then each server's peak memory and CPU time,
tavi's system calls per request (strace) and its binary's size."""

import os
import socket
import subprocess
import time

from harness.procs import Server, interrupt, per_request, port_free, say, spawn, strace_calls, which
from harness.rounds import alternate, cpu_per_request, figures, fmt, goals_say, median, record
from harness.servers import LABEL, TAVI, apt_install, check, start_all
from harness.tools import ERRORS, run_one, wrk

UNIT = {"rps": "req/s", "mbps": "MB/s"}
# Cells run in this order within a round, so the first 1 KiB x 32 run comes
# before any load of a larger file. Small files are judged by req/s, the large
# one by MB/s, where a run ends with responses half sent.
CELLS = [{"label": f"{LABEL[f]} x{c}", "file": f, "conns": c, "key": key, "unit": UNIT[key],
          "goals": [("ratio", ">=", least)]}
         for f, c, key, least in (("1k.bin", 1, "rps", 0.9), ("1k.bin", 32, "rps", 1.0),
                                  ("64k.bin", 8, "rps", 0.8), ("10m.bin", 1, "mbps", 0.8),
                                  ("10m.bin", 4, "mbps", 0.8))]
# The default mode is a small server's: it should hold no more memory than
# lighttpd, the smallest of the peers that serves without a process per client.
TOTALS = [{"label": "peak RSS under 1 KiB x32", "unit": "MiB", "peer": "lighttpd",
           "goals": [("ratio", "<=", 1.0)]},
          {"label": "CPU s per 1,000 1 KiB requests", "unit": "CPU s", "goals": [("ratio", "<=", 1.0)]},
          {"label": "CPU s per GB of 10 MiB", "unit": "CPU s", "goals": [("ratio", "<=", 2.5)]},
          {"label": "system calls per 1 KiB request", "unit": "calls"}]
LIST = CELLS + TOTALS
STRACE_REQUESTS = 2000


def cost(env):
    return env.rounds * len(CELLS) * (3 * env.secs + 2 * env.slow_secs + 2.5) + 25


def run(env):
    servers = env.servers
    try:
        start_all(servers, env.top)
        check(servers, env.site)
        if next(s for s in servers if s.name == "tavi").broken:
            say("tavi failed the check: nothing to measure")
            return
        live = [s for s in servers if not s.broken]
        t = time.monotonic()
        runs, failed, hwm_32 = load(env, live)
        say(f"\nload runs took {time.monotonic() - t:.0f} s")
        report(env, live, runs, failed, hwm_32)
        if env.profile:
            say("\n== where tavi's time goes, 1 KiB x32 (perf record -e cpu-clock, self time)")
            profile(servers, env)
    finally:
        for s in servers:
            s.stop()
    calls(env)
    size = os.path.getsize(TAVI)
    say(f"\n== tavi's binary: {size} bytes ({size / 1024:.1f} KiB), {TAVI}")
    if which("size"):
        r = subprocess.run(["size", TAVI], capture_output=True, text=True)
        for ln in r.stdout.splitlines():
            say("  " + ln)
    goals_say(env, "grid", "tavi's targets")


def load(env, live):
    byname = {s.name: s for s in live}
    hwm_32 = {}
    # A short warm-up, not counted: first runs of a fresh process pay for
    # page faults and caches.
    for s in live:
        wrk(s.port, "1k.bin", 4, 1, env.lua)

    def one(cell, name):
        s = byname[name]
        res, err = run_one(s, cell["file"], cell["conns"], env.slow_secs if s.slow else env.secs, env.lua)
        if res is None:
            return None, err
        errs = res["connect"] + res["read"] + res["write"] + res["timeout"] + res["status"]
        say(f"  {cell['label']:>10s} {s.name:11s} {res['rps']:9.1f} req/s "
            f"{res['mbps']:8.1f} MB/s  cpu {res['cpu']:5.2f} s" + (f"  errors {errs}" if errs else ""))
        if cell["label"] == "1 KiB x32" and name not in hwm_32:
            hwm_32[name] = s.hwm_kib()
        return res, ""

    runs, failed = alternate(CELLS, list(byname), env.rounds, one)
    return runs, failed, hwm_32


def report(env, live, runs, failed, hwm_32):
    names = [s.name for s in live]
    say("\n== medians per cell (MB = 10^6 bytes read, headers included; CPU pooled over"
        " the cell's runs)")
    say("   req/s and MB/s: medians of the runs; sock errors: connect/read/write/timeout,"
        " summed")
    for cell in CELLS:
        conns = cell["conns"]
        say(f"\n{LABEL[cell['file']]} x {conns} connection{'s' if conns > 1 else ''}"
            f" (wrk -t{min(2, conns)} -c{conns})")
        say(f"  {'server':11s} {'req/s':>9s} {'MB/s':>8s} {'CPU s/1k req':>12s} {'CPU s/GB':>9s}"
            f" {'runs':>4s} {'non-2xx':>7s}  sock errors")
        for name in names:
            got = list(runs.get((cell["label"], name), {}).values())
            byt = sum(x["bytes"] for x in got)
            per_gb = sum(x["cpu"] for x in got) / (byt / 1e9) if byt else float("nan")
            e = [sum(x[k] for x in got) for k in ERRORS]
            say(f"  {name:11s} {fmt(median([x['rps'] for x in got]), 9, 1)}"
                f" {fmt(median([x['mbps'] for x in got]), 8, 1)} {fmt(cpu_per_request(got) * 1000, 12, 3)}"
                f" {fmt(per_gb, 9, 1)} {len(got):4d} {sum(x['status'] for x in got):7d}  {'/'.join(map(str, e))}")
        figs = figures(runs, cell["label"], names, cell["key"], env.rounds)
        c = record(env, "grid", cell, figs, "tavi", "nginx")
        say(f"  tavi/nginx ({c['unit']}) by round: " + " ".join(f"{x:.2f}" for x in c["ratios"])
            + f"  -> median {fmt(c['median'], 0, 2)}")

    say("\n== per server: peak resident memory (VmHWM; nginx: master + worker) and CPU time"
        " (utime+stime of the server processes)")
    say(f"  {'server':11s} {'HWM after 1KiB x32':>18s} {'HWM at end':>10s}"
        f" {'CPU s/1k 1KiB req':>17s} {'CPU s/GB 10MiB':>14s}")
    per_k, per_gb = {}, {}
    for s in live:
        small, big = ([x for c in CELLS if c["file"] == f for x in runs.get((c["label"], s.name), {}).values()]
                      for f in ("1k.bin", "10m.bin"))
        per_k[s.name] = [cpu_per_request(small) * 1000]
        byt = sum(x["bytes"] for x in big)
        per_gb[s.name] = [sum(x["cpu"] for x in big) / (byt / 1e9) if byt else float("nan")]
        say(f"  {s.name:11s} {hwm_32.get(s.name, 0) / 1024:14.2f} MiB {s.hwm_kib() / 1024:6.2f} MiB"
            f" {fmt(per_k[s.name][0], 17, 3)} {fmt(per_gb[s.name][0], 14, 1)}")
    for s in live:
        if s.note:
            say(f"  {s.name}: {s.note}")
    if env.slow_secs != env.secs:
        say(f"  busybox and python are slow to answer: their runs last {env.slow_secs} s"
            f" instead of {env.secs} s")
    if failed:
        say("\n== failed runs")
        for f in failed:
            say("  " + f)
    record(env, "grid", TOTALS[0], {n: [hwm_32.get(n, 0) / 1024] for n in names}, "tavi", "lighttpd")
    record(env, "grid", TOTALS[1], per_k, "tavi", "nginx")
    record(env, "grid", TOTALS[2], per_gb, "tavi", "nginx")


def calls(env):
    """tavi's system calls per 1 KiB request: strace -c -f attached to a fresh
    tavi over STRACE_REQUESTS sequential requests, one per connection."""
    say(f"\n== tavi's system calls per 1 KiB request (strace -c -f, "
        f"{STRACE_REQUESTS} sequential requests, one per connection)")
    port = port_free()
    s = Server("tavi-strace", [TAVI, "@PORT@", "127.0.0.1"], env.www)
    req = (f"GET /1k.bin HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
           "Connection: close\r\n\r\n").encode()

    def sequential():
        deadline = time.monotonic() + 120
        done = 0
        for _ in range(STRACE_REQUESTS):
            if time.monotonic() > deadline:
                break
            with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
                c.sendall(req)
                got = 0
                while True:
                    b = c.recv(65536)
                    if not b:
                        break
                    got += len(b)
            if got < 1024:
                return None, f"short response ({got} bytes)"
            done += 1
        return done, ""

    try:
        if not s.start(port, env.top):
            say("  tavi did not start")
            return
        got, done = strace_calls([s.proc.pid], env.top, sequential)
    finally:
        s.stop()
    if got is None:
        say("  " + done)
        return
    total, ranked = per_request(got, done)
    say(f"  {total:.2f} calls per request over {done} requests:")
    for name, x in ranked:
        say(f"    {name:16s} {x:6.2f}")
    record(env, "grid", TOTALS[3], {"tavi": [total]}, "tavi")


def profile(servers, env):
    """Where tavi's time goes under 1 KiB x 32: perf, sampling tavi alone."""
    if not which("perf"):
        apt_install(["linux-perf"], check=False)
    perf = which("perf")
    tavi = next((s for s in servers if s.name == "tavi" and not s.broken), None)
    if not perf or not tavi:
        say("  perf or tavi not available")
        return
    data = os.path.join(env.top, "perf.data")
    rec = spawn([perf, "record", "-e", "cpu-clock", "-F", "2000", "-o", data, "-p", str(tavi.proc.pid)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        res, err = run_one(tavi, "1k.bin", 32, env.secs, env.lua)
        say(f"  during the recording: {res['rps']:.0f} req/s" if res else f"  wrk: {err}")
    finally:
        interrupt(rec, 30)
    for fields, lines in (("overhead,dso", 8), ("overhead,dso,sym", 30)):
        r = subprocess.run([perf, "report", "-i", data, "--stdio", "--no-children",
                            "-F", fields, "--percent-limit", "0.5"],
                           capture_output=True, text=True, timeout=120)
        rows = [ln for ln in r.stdout.splitlines() if ln.strip() and not ln.startswith("#")]
        for ln in rows[:lines]:
            say("  " + ln.rstrip())
        say()
