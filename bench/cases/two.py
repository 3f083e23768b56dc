"""HTTP/2: tavi --web against nginx (one worker, listen ... ssl http2 and,
for h2c, listen ... http2; the TLS case's certificate, tickets on,
keepalive_timeout 75s, access log off): h2load over TLS with many streams and
with a crowd of connections, over h2c, and 10 MiB to one client (against
nginx, and against tavi's own HTTP/1.1 over TLS); peak memory with idle h2
connections held; Chromium loading a page of 100 images, a stylesheet and a
script through a relay that adds 50 ms of round trip."""

import asyncio
import os
import random
import re
import ssl
import statistics
import subprocess
import tempfile
import threading
import time

from harness.clients import CHROMIUM
from harness.procs import established, port_free, say, which
from harness.rounds import alternate, figures, fmt, goals_say, median, pctl, progress, record, side_values
from harness.servers import NOFILE, TAVI, kept, pair_up
from harness.tools import h2load

from cases.tls import TLS_BATCH, hold_tls, case_certs, tls_newcomers, tls_template

# h2load's connections end after 1,000 requests on either server: a run is a
# number of requests, a thousand a connection, not a time.
RATES = [{"label": "h2 -c32 -m10", "conns": 32, "streams": 10, "n": 32000, "key": "rps", "unit": "req/s",
          "goals": [("ratio", ">=", 1.3), ("cpu", "<=", 0.8)]},
         {"label": "h2 -c1000 -m1", "conns": 1000, "streams": 1, "n": 100000, "threads": 2, "key": "rps",
          "unit": "req/s",
          "goals": [("ratio", ">=", 1.1)]},
         {"label": "h2c -c32 -m10", "conns": 32, "streams": 10, "n": 32000, "plain": True, "key": "rps",
          "unit": "req/s", "goals": [("ratio", ">=", 1.3)]},
         {"label": "h2 10 MiB -c1", "conns": 1, "streams": 1, "n": 40, "file": "10m.bin", "key": "mbps",
          "unit": "MB/s", "goals": [("ratio", ">=", 1.2)]}]
OWN = [{"label": "h2 10 MiB -c1 against tavi's HTTP/1.1", "unit": "MB/s", "peer": "tavi HTTP/1.1",
        "goals": [("ratio", ">=", 0.9)]}]
IDLE = 10000
HELD = [{"label": "idle h2 connections held: peak RSS", "unit": "MiB", "goals": [("ratio", "<=", 0.9)]},
        {"label": "h2 newcomer p99, idle held", "unit": "ms", "goals": [("value", "<", 50)]}]
PAGE = [{"label": "page, 50 ms RTT: load event", "unit": "ms", "goals": [("ratio", "<=", 0.9)]},
        {"label": "page: h2 against tavi's HTTP/1.1", "unit": "ms", "peer": "tavi HTTP/1.1",
         "goals": [("ratio", "<=", 0.5)]}]
LIST = RATES + OWN + HELD + PAGE
LOADS = 3      # Chromium's loads of the page a server and round
DELAY = 0.025  # the relay's hold each way
# The page writes its load event's time and the protocol it came by into its title.
PAGE_HTML = ('<!doctype html><link rel="stylesheet" href="p/s.css"><script src="p/j.js"></script><body>%s'
             '<script>onload = () => setTimeout(() => { const n = performance.getEntriesByType("navigation")[0];'
             ' document.title = "T" + n.loadEventStart.toFixed(0) + " " + n.nextHopProtocol; })</script>')


def cost(env):
    return 120 + env.rounds * (len(RATES) * 2 * 6 + 3 * LOADS * 3)


def two_template(template, certs, tls):
    """nginx.conf as the TLS case has it, its listen speaking h2 (h2c without tls)."""
    if tls:
        return tls_template(template, certs).replace("listen 127.0.0.1:@PORT@ ssl;", "listen 127.0.0.1:@PORT@ ssl http2;")
    return kept(template).replace("listen 127.0.0.1:@PORT@;", "listen 127.0.0.1:@PORT@ http2;")


def run(env):
    say("\n== HTTP/2: tavi --web against nginx (listen ssl http2, listen http2 for h2c)")
    # A folder of its own: the TLS case may have made its pair already.
    got = case_certs(env, "h2")
    if got is None:
        return
    certs, ca = got
    page_files(env.site)
    plain = port_free()
    tls = pair_up(env.www, env.ngx, two_template(env.template, certs, True), env.lua, "two.conf",
                  tavi=[TAVI, "--web", "--certs", certs, "--https", "@PORT@", str(plain), "127.0.0.1"], https=True)
    if tls is None:
        return
    try:
        held(env, tls, ca)
        rates(env, tls, [c for c in RATES if not c.get("plain")], True)
        own(env, tls[0])
        page(env, tls, certs)
    finally:
        for s in tls:
            s.stop()
    h2c = pair_up(env.www, env.ngx, two_template(env.template, certs, False), env.lua, "two.conf")
    if h2c is None:
        return
    try:
        rates(env, h2c, [c for c in RATES if c.get("plain")], False)
    finally:
        for s in h2c:
            s.stop()
        goals_say(env, "h2", "HTTP/2 goals (value: ratio to nginx, or to tavi's HTTP/1.1, or ms)")


def rates(env, pair, cells, tls):
    byname = {s.name: s for s in pair}

    def one(cell, name):
        return h2load(byname[name], cell.get("file", "1k.bin"), cell["conns"], cell["streams"], None, https=tls,
                      n=cell["n"], threads=cell.get("threads", 1))

    runs, _ = alternate(cells, list(byname), env.rounds, one)
    say(f"\n  {env.rounds} round(s) of h2load (-t1, -c1000: -t2) over {'TLS (ALPN h2)' if tls else 'h2c'}, 1 KiB but 10 MiB;"
        " req/s (10 MiB: MB/s) medians; CPU: the server's a request, pooled over the rounds")
    for cell in cells:
        t, n = runs.get((cell["label"], "tavi --web"), {}), runs.get((cell["label"], "nginx"), {})
        if not t or not n:
            continue
        c = record(env, "h2", cell, figures(runs, cell["label"], list(byname), cell["key"], env.rounds),
                   "tavi --web", "nginx", side_values(t, n))
        fails = sum(x["status"] + x["read"] + x["connect"] for x in t.values())
        say(f"  {cell['label']:18s} {median([x[cell['key']] for x in t.values()]):10.1f}"
            f" {median([x[cell['key']] for x in n.values()]):10.1f} ratio {fmt(c['median'], 5, 2)}"
            f"  CPU ratio {fmt(side_values(t, n)['cpu'], 5, 2)}  failed {fails}  rounds "
            + " ".join(f"{x:.2f}" for x in c["ratios"]))


def own(env, tavi):
    """10 MiB to one client over h2 and over HTTP/1.1, both TLS, from tavi, taking turns."""
    progress("10 MiB: h2 against HTTP/1.1")
    figs = {"tavi --web": [], "tavi HTTP/1.1": []}
    for _ in range(env.rounds):
        for name, h1 in (("tavi --web", False), ("tavi HTTP/1.1", True)):
            res, err = h2load(tavi, "10m.bin", 1, 1, None, https=True, n=40, h1=h1)
            figs[name].append(res["mbps"] if res else None)
    c = record(env, "h2", OWN[0], figs, "tavi --web", "tavi HTTP/1.1")
    say(f"  10 MiB -c1 over TLS, h2 against tavi's HTTP/1.1: ratio {fmt(c['median'], 5, 2)}, rounds "
        + " ".join(f"{x:.2f}" for x in c["ratios"]))


def h2_request():
    """The preface, empty SETTINGS and GET /1k.bin on stream 1 (fields by the static table and literals)."""
    def frame(kind, flags, stream, payload=b""):
        return len(payload).to_bytes(3, "big") + bytes([kind, flags]) + stream.to_bytes(4, "big") + payload
    fields = bytes([0x82, 0x87, 0x44, 7]) + b"/1k.bin" + bytes([0x41, 9]) + b"localhost"
    return b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + frame(4, 0, 0) + frame(1, 5, 1, fields)


def h2_answered(got):
    """The DATA of stream 1 has ended with 1 KiB in all."""
    k, body = 0, 0
    while k + 9 <= len(got):
        size, kind, flags, sid = int.from_bytes(got[k:k + 3], "big"), got[k + 3], got[k + 4], got[k + 8]
        if k + 9 + size > len(got):
            return False
        if kind == 0 and sid == 1:
            body += size
            if flags & 1:
                if body != 1024:
                    raise OSError(f"stream 1 ended after {body} bytes")
                return True
        k += 9 + size
    return False


def held(env, pair, ca):
    """While the servers are fresh: IDLE h2 connections over TLS, each after
    one answer, their peak memory; then newcomers over HTTP/1.1 while they are held."""
    count = min(IDLE, (NOFILE - 64) // 2 - 100)
    say(f"\n  {count} idle h2 connections held over TLS after one answer each ({TLS_BATCH} at a time),"
        " then 200 newcomers, each a full handshake and 1 KiB")
    hwm, p99 = {s.name: [None] for s in pair}, {s.name: [None] for s in pair}
    progress("idle h2 connections held")
    ctx, plain = ssl.create_default_context(cafile=ca), ssl.create_default_context(cafile=ca)
    ctx.set_alpn_protocols(["h2"])
    for s in pair:
        before = s.hwm_kib()
        conns, err = hold_tls(s.port, count, ctx, h2_request(), h2_answered)
        if conns is None:
            say(f"  {s.name:11s} FAILED: {err}")
            continue
        try:
            time.sleep(1)
            still, peak = established(s.port), s.hwm_kib()
            took = sorted(x for x in tls_newcomers(s.port, plain, 200) if x >= 0)
        finally:
            for c in conns:
                c.close()
        hwm[s.name], p99[s.name] = [peak / 1024], [pctl(took, 0.99)]
        say(f"  {s.name:11s} {still} still open; peak RSS {peak / 1024:.1f} MiB ({before / 1024:.1f} before),"
            f" {(peak - before) * 1024 / count:.0f} bytes a connection; newcomer p99 {fmt(p99[s.name][0], 0, 2)} ms")
    record(env, "h2", HELD[0], hwm, pair[0].name, pair[1].name)
    record(env, "h2", HELD[1], p99, pair[0].name)


def page_files(site):
    """The page, its stylesheet, its script and 100 images of 2 to 6 KB, in the site."""
    r = random.Random(9)
    os.makedirs(os.path.join(site, "p"), exist_ok=True)
    imgs = "".join(f'<img src="p/i{k}.png" width=16 height=16>' for k in range(100))
    files = {"page.html": (PAGE_HTML % imgs).encode(), "p/s.css": b"img { margin: 1px }\n" * 300,
             "p/j.js": b"var x = 1;\n" * 400}
    files.update({f"p/i{k}.png": r.randbytes(r.randrange(2000, 6000)) for k in range(100)})
    for name, body in files.items():
        with open(os.path.join(site, name), "wb") as f:
            f.write(body)
        os.chmod(os.path.join(site, name), 0o644)
    os.chmod(os.path.join(site, "p"), 0o755)
    # Older than a second: tavi keeps them in memory, as any site's files.
    old = time.time() - 10
    for name in files:
        os.utime(os.path.join(site, name), (old, old))


def relay(target, delay):
    """A relay on a port of its own that holds each chunk delay s each way: (port, stop)."""
    loop, port, ready = asyncio.new_event_loop(), port_free(), threading.Event()
    # A browser that resets its connections, and pipes still open at the stop, are no news.
    loop.set_exception_handler(lambda loop, context: None)

    async def pipe(reader, writer):
        queue = asyncio.Queue()

        async def feed():
            while data := await reader.read(65536):
                await queue.put((time.monotonic() + delay, data))
            await queue.put((time.monotonic() + delay, b""))

        async def drain():
            while True:
                due, data = await queue.get()
                await asyncio.sleep(max(0, due - time.monotonic()))
                if not data:
                    return writer.close()
                writer.write(data)
                await writer.drain()
        await asyncio.gather(feed(), drain(), return_exceptions=True)

    async def handle(r, w):
        try:
            tr, tw = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            return w.close()
        await asyncio.gather(pipe(r, tw), pipe(tr, w), return_exceptions=True)

    async def serve():
        await asyncio.start_server(handle, "127.0.0.1", port)
        ready.set()
    loop.create_task(serve())
    threading.Thread(target=loop.run_forever, daemon=True).start()
    ready.wait(10)
    return port, lambda: loop.call_soon_threadsafe(loop.stop)


def chrome_load(top, port, spki, h1):
    """ms to the load event of one fresh Chromium's load of the page, and the protocol; None when it failed."""
    profile = tempfile.mkdtemp(dir=top)
    flags = [f for f in CHROMIUM if not f.startswith("--virtual-time")] + (["--disable-http2"] if h1 else [])
    try:
        r = subprocess.run([which("chromium"), *flags, f"--user-data-dir={profile}",
                            f"--ignore-certificate-errors-spki-list={spki}", "--host-resolver-rules=MAP localhost 127.0.0.1",
                            f"https://localhost:{port}/page.html"], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return None
    m = re.search(r"<title>T(\d+) (\S+)</title>", r.stdout)
    return (int(m[1]), m[2]) if m else None


def page(env, pair, certs):
    """Chromium through the relay: tavi over h2, nginx over h2, tavi over HTTP/1.1, taking turns."""
    if not which("chromium"):
        say("  no chromium: no page cells")
        return
    spki = subprocess.run("openssl x509 -pubkey -noout | openssl pkey -pubin -outform der"
                          " | openssl dgst -sha256 -binary | base64", shell=True, capture_output=True, text=True,
                          input=open(os.path.join(certs, "a", "fullchain.pem")).read()).stdout.strip()
    relays = {s.name: relay(s.port, DELAY) for s in pair}
    runs = {"tavi --web": [], "nginx": [], "tavi HTTP/1.1": []}
    try:
        for r in range(env.rounds):
            progress(f"Chromium's page, round {r + 1} of {env.rounds}")
            for name, server, h1 in (("tavi --web", "tavi --web", False), ("nginx", "nginx", False),
                                     ("tavi HTTP/1.1", "tavi --web", True)):
                loads = [chrome_load(env.top, relays[server][0], spki, h1) for _ in range(LOADS)]
                ok = [ms for ms, proto in filter(None, loads) if proto == ("http/1.1" if h1 else "h2")]
                runs[name].append(statistics.median(ok) if ok else None)
    finally:
        for port, stop in relays.values():
            stop()
    c = record(env, "h2", PAGE[0], {k: runs[k] for k in ("tavi --web", "nginx")}, "tavi --web", "nginx")
    d = record(env, "h2", PAGE[1], {k: runs[k] for k in ("tavi --web", "tavi HTTP/1.1")}, "tavi --web",
               "tavi HTTP/1.1")
    say(f"\n  Chromium, {LOADS} loads a server a round through a relay of {2 * DELAY * 1000:.0f} ms round trip,"
        f" the load event's median: " + "; ".join(f"{k} {fmt(median([x for x in v if x]), 0, 0)} ms"
                                                   for k, v in runs.items())
        + f"; against nginx {fmt(c['median'], 4, 2)}, against HTTP/1.1 {fmt(d['median'], 4, 2)}")
