"""Keep-alive: tavi --web against nginx keeping connections (keepalive_timeout
75s, keepalive_requests 1000) on 1 KiB: memory with KEEP_HELD persistent
connections held; wrk without Connection: close and pipelined, with one
thread and with two, and ab -k, turn by turn over the rounds, with the
servers' CPU time per request; system calls per request under wrk -c32
(strace); curl, http.client, requests.Session and Chromium, their
connections counted by strace on the server."""

import os
import struct
import time
import zlib

from harness.clients import chromium, hold
from harness.procs import PYTHON, accepts, established, per_request, say, strace_calls, which
from harness.rounds import (alternate, cpu_per_request, figures, fmt, goals_say, median, progress,
                            record, side_values)
from harness.servers import NOFILE, kept, pair_up
from harness.tools import ERRORS, PIPE_DEPTH, WRK_LUA, WRK_PIPE, ab, run_one, wrk

# wrk's connections, each with one thread and with two (no more than its
# connections); ab's count; the page's images and its timed loads; the
# persistent connections held.
KEEP_CONNS = [1, 32, 1000]
KEEP_THREADS = [1, 2]
AB_REQUESTS = 20000
PAGE_IMAGES = 100
CHROME_RUNS = 5
KEEP_HELD = 10000
KEPT_REQ = b"GET /1k.bin HTTP/1.1\r\nHost: a\r\n\r\n"
CELLS = ([{"label": f"wrk -t{th} -c{c}", "conns": c, "threads": th, "unit": "req/s",
           "goals": [("ratio", ">=", 1.0 if c == 1 else 1.1), ("p99", "<=", 2),
                     *([("cpu", "<=", 0.8)] if c == 32 else []), ("errors", "==", 0)]}
          for c in KEEP_CONNS for th in KEEP_THREADS if th <= c]
         + [{"label": f"wrk -t{th} -c32, {PIPE_DEPTH} deep", "conns": 32, "threads": th, "pipe": True,
             "unit": "req/s", "goals": [("ratio", ">=", 1.3), ("p99", "<=", 2)]} for th in KEEP_THREADS]
         + [{"label": f"ab -k -c32 -n{AB_REQUESTS}", "ab": True, "unit": "req/s", "goals": [("errors", "==", 0)]}])
HELD = {"label": "kept connections held: peak RSS", "unit": "MiB", "goals": [("value", "<=", 8)]}
CALLS = {"label": "system calls a request, wrk -c32", "unit": "calls", "goals": [("ratio", "<", 1)]}
REUSE = [{"label": label, "argv": argv, "unit": "connections",
          "goals": [("value", "==", 1), ("ok", "==", 1, "all answered")]}
         for label, argv in (("curl -v URL URL", None), ("http.client, 100 requests", "http.client"),
                             ("requests.Session, 100", "requests"))]
CHROME = [{"label": "Chromium: connections", "unit": "connections", "goals": [("value", "<=", 6)]},
          {"label": "Chromium: load event", "unit": "ms", "goals": [("ratio", "<=", 1)]}]
LIST = [HELD, *CELLS, CALLS, *REUSE, *CHROME]
REUSE_PY = r"""
import sys
port, how = int(sys.argv[1]), sys.argv[2]
if how == "requests":
    import requests
    with requests.Session() as s:
        ok = sum(s.get(f"http://127.0.0.1:{port}/1k.bin").status_code == 200 for _ in range(100))
else:
    import http.client
    c, ok = http.client.HTTPConnection("127.0.0.1", port, timeout=10), 0
    for _ in range(100):
        c.request("GET", "/1k.bin")
        r = c.getresponse()
        ok += r.status == 200 and len(r.read()) == 1024
print(ok)
"""


def cost(env):
    return 35 + env.rounds * ((len(CELLS) - 1) * 2 * (env.secs + 0.5) + 4) + 2 * env.secs


def png(side):
    """A side x side PNG of random pixels: 16 makes one a little under 1 KiB."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + os.urandom(side * 3) for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def page(site):
    """A page of PAGE_IMAGES distinct images that writes into its title the ms
    from navigation to its load event and how many images it shows."""
    img = os.path.join(site, "img")
    os.makedirs(img)
    os.chmod(img, 0o755)
    for i in range(PAGE_IMAGES):
        with open(os.path.join(img, f"{i}.png"), "wb") as f:
            f.write(png(16))
        os.chmod(os.path.join(img, f"{i}.png"), 0o644)
    with open(os.path.join(site, "page.html"), "w") as f:
        f.write("<!doctype html><title>-</title>"
                + "".join(f'<img src="img/{i}.png">' for i in range(PAGE_IMAGES))
                + "<script>onload = () => document.title = 'loaded ' + Math.round(performance.now())"
                " + ' ' + [...document.images].filter(i => i.naturalWidth).length</script>")
    os.chmod(os.path.join(site, "page.html"), 0o644)


def run(env):
    page(env.site)
    pipe = os.path.join(env.top, "pipe.lua")
    with open(pipe, "w") as f:
        f.write(WRK_PIPE + WRK_LUA)
    pair = pair_up(env.www, env.ngx, kept(env.template), env.lua, "keep.conf")
    if pair is None:
        return
    say(f"\n== keep-alive: 1 KiB without Connection: close; nginx keepalive_timeout 75s,"
        f" keepalive_requests 1000; descriptors {NOFILE} for all")
    try:
        held(env, pair)
        rates(env, pair, pipe)
        calls(env, pair)
        reuse(env, pair)
        if not which("chromium"):
            say("\n  no chromium: the page cell is left out")
            return
        loads(env, pair)
    finally:
        for s in pair:
            s.stop()
        goals_say(env, "keep", "keep-alive goals (value: ratio to nginx or count)")


def held(env, pair):
    """First, while the servers are fresh: their peak memory is the held connections'."""
    count = min(KEEP_HELD, NOFILE - 200)
    say(f"  tavi takes (descriptors - 64) / 2 = {(NOFILE - 64) // 2} connections, a socket and a"
        " file each; past that it ends the connection idle longest")
    hwm = {s.name: [None] for s in pair}
    progress("connections held")
    for s in pair:
        conns = hold(s.port, count, KEPT_REQ)
        if conns is None:
            continue
        try:
            time.sleep(1)
            hwm[s.name] = [s.hwm_kib() / 1024]
            say(f"  {count} held after one answer each, {s.name:11s} {established(s.port)}"
                f" still open at the server; peak RSS {hwm[s.name][0]:.1f} MiB, now"
                f" {s.hwm_kib('VmRSS:') / 1024:.1f} MiB")
        finally:
            for c in conns:
                c.close()
    record(env, "keep", HELD, hwm, pair[0].name)


def rates(env, pair, pipe):
    byname = {s.name: s for s in pair}

    def one(cell, name):
        s = byname[name]
        if cell.get("ab"):
            return ab(s.port, AB_REQUESTS)
        res, err = run_one(s, "1k.bin", cell["conns"], env.secs, pipe if cell.get("pipe") else env.lua,
                           close=False, threads=cell["threads"])
        if res is not None:
            res["errors"] = sum(res[k] for k in ERRORS)
        return res, err

    runs, _ = alternate(CELLS, list(byname), env.rounds, one)
    say(f"\n  {env.rounds} round(s), wrk runs of {env.secs} s; req/s and p99: medians; CPU: the server's"
        " utime+stime (all its processes, before and after the run) per request answered, pooled"
        " over the rounds; errors: all kinds of socket error, then non-2xx, summed; pipelined,"
        " p99 is a batch's, - when wrk gave none")
    say(f"  {'cell':24s} {'tavi req/s':>10s} {'nginx':>8s} {'ratio':>5s} {'p99 ms':>7s} {'nginx':>6s}"
        f" {'CPU us/req':>10s} {'nginx':>6s} {'ratio':>5s}  {'errors':>9s} {'nginx':>6s}  ratio by round")
    for cell in CELLS:
        label = cell["label"]
        t, n = runs.get((label, "tavi --web"), {}), runs.get((label, "nginx"), {})
        if not t or not n:
            continue
        c = record(env, "keep", cell, figures(runs, label, list(byname), "rps", env.rounds),
                   "tavi --web", "nginx", side_values(t, n))
        # Pipelined, wrk times each batch but corrects for coordinated omission by
        # the interval between responses: its p99 may come out 0, which is none.
        p99 = [median([x["p99_us"] / 1000 for x in side.values() if x["p99_us"]]) for side in (t, n)]
        us = [cpu_per_request(list(side.values())) * 1e6 if all("cpu" in x for x in side.values())
              else float("nan") for side in (t, n)]
        errs = [(sum(x["errors"] for x in side.values()), sum(x["status"] for x in side.values()))
                for side in (t, n)]
        say(f"  {label:24s} {median([x['rps'] for x in t.values()]):10.0f}"
            f" {median([x['rps'] for x in n.values()]):8.0f} {c['median']:5.2f} {fmt(p99[0], 7, 2)}"
            f" {fmt(p99[1], 6, 2)} {fmt(us[0], 10, 1)} {fmt(us[1], 6, 1)}"
            f" {fmt(us[0] / us[1] if us[1] else float('nan'), 5, 2)}"
            f"  {'%d/%d' % errs[0]:>9s} {'%d/%d' % errs[1]:>6s}  " + " ".join(f"{x:.2f}" for x in c["ratios"])
            + (f"  (kept: {sum(x['kept'] for x in t.values())} / {sum(x['kept'] for x in n.values())})"
               if cell.get("ab") else ""))


def calls(env, pair):
    say(f"\n  system calls per request: strace -c -f on the server's processes over wrk -c32"
        f" keeping connections, {env.secs} s each (strace slows the server: the count matters, not"
        " the rate); calls made under 0.005 times a request are in the total only")
    total = {s.name: [None] for s in pair}
    progress("system calls")
    for s in pair:
        def traced(s=s):
            res, err = wrk(s.port, "1k.bin", 32, env.secs, env.lua, close=False)
            time.sleep(0.2)  # what the server still does for the connections wrk closed
            return (None, "no request answered") if res and not res["requests"] else (res, err)
        got, res = strace_calls(s.pids(), env.top, traced)
        if got is None:
            say(f"  {s.name:11s} FAILED: {res}")
            continue
        done = res["requests"]
        each, ranked = per_request(got, done)
        total[s.name] = [each]
        errs = sum(res[k] for k in (*ERRORS, "status"))
        say(f"  {s.name:11s} {each:5.2f} a request over {done} requests"
            f" ({done / (res['duration_us'] / 1e6):.0f} req/s traced{f', errors {errs}' if errs else ''})")
        say(f"  {'':11s} " + ", ".join(f"{name} {x:.2f}" for name, x in ranked))
    record(env, "keep", CALLS, total, "tavi --web", "nginx")


def reuse(env, pair):
    say("\n  reuse: connections each server accepted (strace on its accepts)")
    progress("reuse")
    found = {cell["label"]: ({s.name: [None] for s in pair}, {}) for cell in REUSE}
    for s in pair:
        url = f"http://127.0.0.1:{s.port}/1k.bin"
        for cell in REUSE:
            label, how = cell["label"], cell["argv"]
            argv = ([PYTHON, "-c", REUSE_PY, str(s.port), how] if how
                    else ["curl", "-sv", "-o", "/dev/null", "-o", "/dev/null", url, url])
            n, r = accepts(s, env.top, argv)
            if n is None:
                say(f"  {s.name:11s} {label:26s} FAILED: {r}")
                continue
            fact = (("says" if "Re-using existing connection" in r.stderr else "does NOT say")
                    + " 'Re-using existing connection'" if not how
                    else f"{r.stdout.strip() or r.stderr.strip()[-200:]} of 100 answered 200")
            say(f"  {s.name:11s} {label:26s} {n} connection(s); {fact}")
            found[label][0][s.name] = [n]
            if s is pair[0]:
                found[label][1]["ok"] = int(fact.startswith(("says", "100 ")))
    for cell in REUSE:
        figs, values = found[cell["label"]]
        record(env, "keep", cell, figs, pair[0].name, values=values)


def loads(env, pair):
    say(f"\n  Chromium (headless, fresh profile each load), a page of {PAGE_IMAGES} images of"
        f" under 1 KiB: one load counting the accepts, then {CHROME_RUNS} timed loads each, in turns")
    progress("Chromium")
    took = {s.name: [] for s in pair}
    conns = {s.name: [None] for s in pair}
    for i in range(CHROME_RUNS + 1):
        for s in pair[i % 2:] + pair[:i % 2]:
            got, err = chromium(env.top, f"http://127.0.0.1:{s.port}/page.html", watch=s if i == 0 else None)
            if got is not None:
                r, wall, n = got
                shown = r.stdout.split("<title>loaded ", 1)[-1].split("<", 1)[0].split()
                if len(shown) != 2 or int(shown[1]) != PAGE_IMAGES:
                    got, err = None, f"the page did not load all its images: {(r.stdout + r.stderr)[-200:]!r}"
            if got is None:
                say(f"  {s.name:11s} load {i}: FAILED: {err}")
            elif i == 0:
                conns[s.name] = [n]
            else:
                took[s.name].append({"wall": wall, "onload": int(shown[0])})
    for s in pair:
        got = took[s.name]
        say(f"  {s.name:11s} {conns[s.name][0] if conns[s.name][0] is not None else '-'} connection(s);"
            f" medians of {len(got)} loads: {median([x['wall'] for x in got]):.2f} s for the whole dump,"
            f" {fmt(median([x['onload'] for x in got]), 0, 0)} ms to the load event")
    record(env, "keep", CHROME[0], conns, pair[0].name)
    onload = {name: [x["onload"] for x in got] for name, got in took.items()}
    t, n = (median(onload[s.name]) for s in pair)
    record(env, "keep", CHROME[1], onload, pair[0].name, pair[1].name,
           {"ratio": t / n if n else float("nan")})
