"""The cold crowd of the compression case: files none has asked for yet,
every one at once, on fresh servers, while a newcomer asks at a steady pace;
and what tavi holds for it, and spends, when its bound is small or none."""

import concurrent.futures
import hashlib
import http.client
import math
import os
import random
import re
import selectors
import socket
import subprocess
import time
import urllib.parse

from harness.clients import brotli_module, dechunk, decode, get, newcomer
from harness.procs import HZ, Server, port_free, say
from harness.rounds import fmt, median, pctl, record
from harness.servers import TAVI, pair_up

# The manual served, and the page whose words the generated text is made of.
DOC = "/usr/share/doc/python3.11/html"
DOC_PAGE = "library/functions.html"
# The files and their size, the Accept-Encoding asked with, how often the
# newcomer asks, the pause between rounds and how long rounds go on at most.
COLD_FILES = 200
COLD_SIZE = 1 << 20
COLD_AE = "br, gzip"
COLD_EVERY = 0.02
COLD_GAP = 1.0
COLD_LIMIT = 120
CELL = {"label": "cold crowd: newcomer p99", "unit": "ms",
        "goals": [("value", "<", 50), ("failed", "==", 0, "failed")]}
# What tavi holds and spends: the rounds until all its answers are
# compressed; its peak RSS over its idle one under the crowd with the
# default bound (64 MiB), and with --zcache 16 after every compressible file
# of the manual once; its CPU with --zcache 0 over its CPU when the crowd
# asks for nothing compressed.
ROUNDS = {"label": "cold crowd: rounds until all compressed", "unit": "rounds", "goals": [("value", "<=", 3)]}
HELD = {"label": "cold crowd: peak RSS over idle, --zcache 64", "unit": "MiB", "goals": [("value", "<=", 64 + 16)]}
SMALL = {"label": "manual, then crowd: peak RSS over idle, --zcache 16", "unit": "MiB",
         "goals": [("value", "<=", 16 + 16)]}
NONE = {"label": "crowd, --zcache 0: CPU over no compression's", "unit": "ratio", "goals": [("value", "<=", 1.1)]}
BOUND_CELLS = [ROUNDS, HELD, SMALL, NONE]
# The rounds of the crowd where not all can be compressed; the turns of
# --zcache 0 and of no compression, their rounds and the pause between them:
# enough for their CPU to be some tens of clock ticks.
BOUND_ROUNDS = 3
BOUND_TURNS = 3
CPU_ROUNDS = 8
CPU_GAP = 0.2
# What the manual holds worth compressing.
DOC_TYPES = (".html", ".css", ".js", ".txt", ".svg", ".json", ".xml")


def aged(paths):
    """Sets the times of paths a minute back: tavi compresses no file modified
    within the last second, and a file from a package or a deploy is older."""
    back = time.time() - 60
    for path in paths:
        os.utime(path, (back, back))
        os.chmod(path, 0o644)


def js_pool(size, seed):
    """size bytes of JavaScript-like text (functions, classes, objects, calls
    and comments), its names and strings made of the words of the manual's
    page, picked at random."""
    with open(os.path.join(DOC, DOC_PAGE), "rb") as f:
        words = sorted(set(re.findall(r"[a-z]{3,12}", f.read().decode(errors="replace"))))
    rnd = random.Random(seed)
    w = lambda: rnd.choice(words)

    def ident():
        b = w()
        return w() + b[:1].upper() + b[1:]

    def some(lo, hi):
        return " ".join(w() for _ in range(rnd.randrange(lo, hi)))

    out, n = [], 0
    while n < size:
        f, a, b, x = ident(), w(), w(), ident()
        kind = rnd.randrange(6)
        if kind == 0:
            t = (f"export function {f}({a}, {b}) {{\n  const {x} = {a}.{w()}({b}, {rnd.randrange(1000)});\n"
                 f"  if ({x} > {rnd.randrange(100)}) {{\n    return {x} * {rnd.randrange(1, 64)};\n  }}\n"
                 f"  return \"{some(2, 9)}\";\n}}\n\n")
        elif kind == 1:
            t = f"// {some(5, 16)}.\n"
        elif kind == 2:
            t = (f"const {x} = {{ {a}: {rnd.randrange(10000)}, {b}: \"{w()}\", {w()}: ["
                 + ", ".join(str(rnd.randrange(256)) for _ in range(rnd.randrange(1, 8))) + "] };\n")
        elif kind == 3:
            t = (f"class {f[:1].upper() + f[1:]} extends {w().capitalize()} {{\n  constructor({a}) {{\n"
                 f"    super({a});\n    this.{b} = {a}?.{w()} ?? null;\n  }}\n\n  {ident()}() {{\n"
                 f"    for (let i = 0; i < this.{b}.length; i++) this.{w()}(this.{b}[i]);\n  }}\n}}\n\n")
        elif kind == 4:
            t = (f"document.querySelectorAll(\".{a}-{b}\").forEach(({x}) => {x}.addEventListener(\""
                 f"{rnd.choice(['click', 'input', 'change', 'keydown'])}\", {f}));\n")
        else:
            t = f"  {x} = await fetch(`/{a}/${{{b}}}/{w()}`).then((r) => r.json());\n"
        out.append(t)
        n += len(t)
    return "".join(out).encode()[:size]


def cold_files(site):
    """COLD_FILES files of COLD_SIZE bytes under press/js, each its own
    stretch of a pool of JavaScript-like text (8 files' worth) behind a line
    with its name: {path: sha256}."""
    pool = js_pool(8 * COLD_SIZE, 1)
    rnd = random.Random(2)
    folder = os.path.join(site, "press", "js")
    os.makedirs(folder)
    os.chmod(folder, 0o755)
    digests, paths = {}, []
    for i in range(COLD_FILES):
        head = f"// {i}.js\n".encode()
        at = rnd.randrange(len(pool) - COLD_SIZE)
        data = head + pool[at:at + COLD_SIZE - len(head)]
        paths.append(os.path.join(folder, f"{i}.js"))
        with open(paths[-1], "wb") as f:
            f.write(data)
        digests[f"/press/js/{i}.js"] = hashlib.sha256(data).digest()
    aged(paths)
    return digests


def cold_round(port, names, ae=COLD_AE):
    """Every name asked for at once, each on its own connection (all connected
    first) with Accept-Encoding ae (none when None): for each {status, coding,
    body (as sent), took (s from the requests' going to its last byte),
    complete}."""
    socks, sel = [], selectors.DefaultSelector()
    try:
        for _ in names:
            socks.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        t = time.monotonic()
        for i, (c, name) in enumerate(zip(socks, names)):
            c.sendall(f"GET {name} HTTP/1.1\r\nHost: a\r\n{f'Accept-Encoding: {ae}' + chr(13) + chr(10) if ae else ''}"
                      "Connection: close\r\n\r\n".encode())
            c.setblocking(False)
            sel.register(c, selectors.EVENT_READ, i)
        got, took, left = [bytearray() for _ in names], [None] * len(names), len(names)
        deadline = t + 120
        while left and time.monotonic() < deadline:
            for key, _ in sel.select(1):
                i = key.data
                try:
                    more = socks[i].recv(1 << 18)
                except BlockingIOError:
                    continue
                except OSError:
                    more = b""
                if more:
                    got[i] += more
                    continue
                took[i] = time.monotonic() - t
                sel.unregister(socks[i])
                left -= 1
    finally:
        sel.close()
        for c in socks:
            c.close()
    out = []
    for i in range(len(names)):
        head, _, body = bytes(got[i]).partition(b"\r\n\r\n")
        first, *lines = head.split(b"\r\n")
        status = first.split(b" ")[1] if first.count(b" ") >= 1 else b""
        fields = {k.strip().lower(): v.strip() for k, _, v in (ln.partition(b":") for ln in lines)}
        length = fields.get(b"content-length", b"")
        if fields.get(b"transfer-encoding", b"").lower() == b"chunked":  # nginx compressing as it sends
            body, whole = dechunk(body)
        else:
            whole = length.isdigit() and int(length) == len(body)
        out.append({"status": int(status) if status.isdigit() else 0,
                    "coding": fields.get(b"content-encoding", b"identity").decode(errors="replace"),
                    "body": body, "took": took[i], "complete": took[i] is not None and whole})
    return out


def cold_run(s, digests, ae=COLD_AE, most=None, gap=COLD_GAP):
    """The cold crowd against s: a newcomer for 1 KiB every COLD_EVERY s from
    another process while rounds of every file at once go on, gap s apart,
    until one comes back all compressed, COLD_LIMIT s have passed or most
    rounds are done."""
    names = list(digests)
    comer = newcomer(s.port, COLD_EVERY, int((COLD_LIMIT + 150) / COLD_EVERY))
    try:
        time.sleep(0.5)  # the newcomer's Python is up and asking
        idle = s.hwm_kib("VmRSS:")
        before, t0 = s.ticks(), time.monotonic()
        rounds, kept = [], {}
        while True:
            began = time.monotonic() - t0
            got = cold_round(s.port, names, ae)
            ended = time.monotonic() - t0
            ok = [x for x in got if x["status"] == 200 and x["complete"]]
            packed = sum(x["coding"] != "identity" for x in ok)
            rounds.append({"began": began, "ended": ended, "ok": len(ok), "packed": packed,
                           "codings": sorted({x["coding"] for x in ok}),
                           "took": sorted(x["took"] for x in ok)})
            if len(rounds) == 1:
                kept["first"] = got
            if packed == len(names) or ended > COLD_LIMIT or len(rounds) == most:
                kept["last"] = got
                break
            time.sleep(gap)
        window = time.monotonic()
        cpu = (s.ticks() - before) / HZ
        time.sleep(0.3)
    finally:
        comer.terminate()
        out, _ = comer.communicate(timeout=20)
    sent = [tuple(map(float, ln.split())) for ln in out.splitlines() if len(ln.split()) == 2]
    within = [ms for ms, at in sent if t0 <= at <= window]
    # Those sent while a round was under way, and those sent between rounds.
    busy = [any(r["began"] <= at - t0 <= r["ended"] for r in rounds) for _, at in sent]
    split = [sorted(ms for (ms, at), b in zip(sent, busy) if t0 <= at <= window and ms >= 0 and b == side)
             for side in (True, False)]
    # The bodies, checked once the clock has stopped.
    checked = differ = unchecked = 0
    for key in ("first", "last") if kept["first"] is not kept["last"] else ("first",):
        for name, x in zip(names, kept[key]):
            if x["status"] != 200 or not x["complete"]:
                continue
            plain = decode(x["coding"], x["body"])
            if plain is None:
                unchecked += 1
            else:
                checked += 1
                differ += hashlib.sha256(plain).digest() != digests[name]
    last = kept["last"]
    packed_bytes = sum(len(x["body"]) for x in last if x["coding"] != "identity" and x["complete"])
    return {"rounds": rounds, "newcomers": sorted(ms for ms in within if ms >= 0), "split": split,
            "failed": sum(ms < 0 for ms in within), "cpu": cpu, "hwm": s.hwm_kib(), "idle": idle,
            "checked": checked, "differ": differ, "unchecked": unchecked,
            "packed_bytes": packed_bytes, "packed_n": sum(x["coding"] != "identity" for x in last)}


def press_cold(env, text, summary):
    """The cold crowd: fresh servers, COLD_FILES files of COLD_SIZE none has
    yet been asked for, every one at once."""
    say(f"\n  cold crowd: {COLD_FILES} files of {COLD_SIZE >> 20} MiB of generated JavaScript-like"
        f" text; fresh servers; {COLD_FILES} connections made, then each asks for its own file at once"
        f" ('Accept-Encoding: {COLD_AE}', Connection: close; one process reading them all);"
        f" more such rounds {COLD_GAP:.0f} s apart until one comes back all compressed (at most"
        f" {COLD_LIMIT} s); meanwhile a newcomer (1 KiB, another process) every"
        f" {COLD_EVERY * 1000:.0f} ms, its p99 over those sent from the first round's start to the"
        " last round's end; the bodies of the first and the last round are checked against the files"
        " afterwards" + ("" if brotli_module() else " (br unchecked: no python3-brotli here)"))
    t = time.monotonic()
    digests = cold_files(env.site)
    summary["digests"] = digests
    say(f"  files made in {time.monotonic() - t:.1f} s")
    pair = pair_up(env.www, env.ngx, text, env.lua, "cold.conf")
    if pair is None:
        return
    p99s, failed = {s.name: [None] for s in pair}, {}
    try:
        for s in pair:
            try:
                got = cold_run(s, digests)
            except (OSError, subprocess.SubprocessError) as e:
                say(f"  {s.name:11s} FAILED: {type(e).__name__}: {e}")
                continue
            first, last = got["rounds"][0], got["rounds"][-1]
            took = got["newcomers"]
            p99 = pctl(took, 0.99)
            all_in = last["packed"] == COLD_FILES
            say(f"  {s.name:11s} round 1: {first['ok']} of {COLD_FILES} answered whole in"
                f" {first['ended'] - first['began']:.1f} s (each {fmt(median(first['took']), 0, 2)} s"
                f" median), {first['packed']} compressed, {first['ok'] - first['packed']} identity;"
                + (f" all {COLD_FILES} compressed in round {len(got['rounds'])}, begun"
                   f" {last['began']:.1f} s after the first ({last['ended']:.1f} s to its end)"
                   if all_in else f" NOT all compressed by {last['ended']:.1f} s ({len(got['rounds'])}"
                   f" rounds; the last: {last['packed']})"))
            if len(got["rounds"]) > 1:
                say(f"  {'':11s} compressed, round by round: "
                    + " ".join(str(r["packed"]) for r in got["rounds"]))
            say(f"  {'':11s} newcomers: {len(took)} answered, {got['failed']} failed; p50"
                f" {fmt(median(took), 0, 2)} ms, p99 {fmt(p99, 0, 2)} ms, longest"
                f" {fmt(pctl(took, 1), 0, 2)} ms; server CPU {got['cpu']:.1f} s,"
                f" peak RSS {got['hwm'] / 1024:.1f} MiB, {(got['hwm'] - got['idle']) / 1024:.1f} MiB over"
                f" the {got['idle'] / 1024:.1f} MiB before the crowd")
            if len(got["rounds"]) > 1:
                say(f"  {'':11s} newcomers sent while a round was under way: "
                    + "; between rounds: ".join(f"{len(x)}, p50 {fmt(median(x), 0, 2)} ms, p99"
                                                 f" {fmt(pctl(x, 0.99), 0, 2)} ms"
                                                 for x in got["split"]))
            say(f"  {'':11s} compressed bodies of the last round: {got['packed_n']}, {got['packed_bytes'] / 1048576:.1f}"
                f" MiB ({', '.join(last['codings'])}); bodies checked: {got['checked']},"
                f" {got['differ']} differ, {got['unchecked']} not decoded here")
            summary[("cold", s.name)] = (p99, first["packed"], last["began"] if all_in else float("nan"),
                                         got["cpu"], len(got["rounds"]))
            p99s[s.name], failed[s.name] = [p99], got["failed"]
            if s is pair[0]:
                summary["held"] = (len(got["rounds"]) if all_in else math.nan, (got["hwm"] - got["idle"]) / 1024)
    finally:
        for s in pair:
            s.stop()
    record(env, "press", CELL, p99s, pair[0].name, values={"failed": failed.get(pair[0].name, math.nan)})
    rounds, held = summary.get("held", (math.nan, math.nan))
    record(env, "press", ROUNDS, {pair[0].name: [rounds]}, pair[0].name)
    record(env, "press", HELD, {pair[0].name: [held]}, pair[0].name)


def tavi_up(env, name, flags):
    """A fresh tavi --web with flags, asked for 1 KiB twice; None when it does not start."""
    s = Server(name, [TAVI, "--web", *flags, "@PORT@", "127.0.0.1"], env.www)
    if not s.start(port_free(), env.top):
        say(f"  {name} did not start: {s.ended()}")
        return None
    for _ in range(2):
        get(s.port, "/1k.bin")
    return s


def doc_once(port):
    """Every file of the manual worth compressing asked for once, four
    clients at a time on kept connections, with COLD_AE: (files, bytes
    received, of them compressed)."""
    paths = sorted(os.path.relpath(os.path.join(d, f), DOC) for d, _, fs in os.walk(DOC, followlinks=True)
                   for f in fs if f.endswith(DOC_TYPES))
    parts = [paths[k::4] for k in range(4)]

    def one(part):
        conn, got, packed = http.client.HTTPConnection("127.0.0.1", port, timeout=20), 0, 0
        try:
            for path in part:
                conn.request("GET", "/doc/" + urllib.parse.quote(path), headers={"Accept-Encoding": COLD_AE})
                r = conn.getresponse()
                got += len(r.read())
                packed += r.getheader("Content-Encoding", "identity") != "identity"
        finally:
            conn.close()
        return got, packed

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        done = list(pool.map(one, parts))
    return len(paths), sum(x[0] for x in done), sum(x[1] for x in done)


def press_bound(env, summary):
    """tavi alone: with --zcache 16, the manual once then BOUND_ROUNDS rounds
    of the crowd, its peak RSS over its idle one; then with --zcache 0 and
    with the crowd asking for no coding, in turns, the server's CPU."""
    say(f"\n  bound: a fresh tavi --web --zcache 16 is asked for every file of the manual worth compressing"
        f" once (four clients, '{COLD_AE}'), then {BOUND_ROUNDS} rounds of the cold crowd; its peak RSS"
        " (VmHWM) over its RSS before the manual. Then fresh servers in turns, --zcache 0 under the crowd"
        f" ('{COLD_AE}') and the default bound under a crowd that sends no Accept-Encoding, {CPU_ROUNDS}"
        f" rounds each, {CPU_GAP} s apart: the server's CPU (user + system), pooled over the turns")
    digests = summary.get("digests")
    if not digests:
        return
    s = tavi_up(env, "tavi --zcache 16", ["--zcache", "16"])
    if s is None:
        return
    try:
        idle = s.hwm_kib("VmRSS:")
        t = time.monotonic()
        files, got, packed = doc_once(s.port)
        say(f"  tavi --zcache 16: {files} files of the manual in {time.monotonic() - t:.1f} s, {got / 1048576:.1f}"
            f" MiB received, {packed} compressed; RSS then {s.hwm_kib('VmRSS:') / 1024:.1f} MiB")
        run = cold_run(s, digests, most=BOUND_ROUNDS)
        over = (s.hwm_kib() - idle) / 1024
        say(f"  {'':16s} crowd compressed, round by round: " + " ".join(str(r["packed"]) for r in run["rounds"])
            + f"; newcomers p99 {fmt(pctl(run['newcomers'], 0.99), 0, 2)} ms; peak RSS {s.hwm_kib() / 1024:.1f}"
            f" MiB, {over:.1f} MiB over the {idle / 1024:.1f} MiB before the manual")
    finally:
        s.stop()
    record(env, "press", SMALL, {s.name: [over]}, s.name)
    cpu = {"zero": [], "none": []}
    for turn in range(BOUND_TURNS):
        for key, flags, ae in (("zero", ["--zcache", "0"], COLD_AE), ("none", [], None)):
            s = tavi_up(env, f"tavi {key}", flags)
            if s is None:
                return
            try:
                run = cold_run(s, digests, ae, CPU_ROUNDS, CPU_GAP)
            finally:
                s.stop()
            cpu[key].append(run["cpu"])
            say(f"  turn {turn + 1}: {'--zcache 0, ' + COLD_AE if key == 'zero' else 'no Accept-Encoding':24s}"
                f" CPU {run['cpu']:.2f} s, compressed " + " ".join(str(r["packed"]) for r in run["rounds"])
                + f", peak RSS {run['hwm'] / 1024:.1f} MiB")
    ratios = [z / n for z, n in zip(cpu["zero"], cpu["none"]) if n]
    pooled = sum(cpu["zero"]) / sum(cpu["none"]) if sum(cpu["none"]) else math.nan
    say("  --zcache 0 over no compression, turn by turn: " + " ".join(f"{r:.2f}" for r in ratios)
        + f"; pooled {pooled:.2f} ({sum(cpu['zero']):.2f} s over {sum(cpu['none']):.2f} s; a clock tick is"
        f" {1 / HZ:.2f} s)")
    record(env, "press", NONE, {"tavi --zcache 0": ratios}, "tavi --zcache 0", values={"value": pooled})

