"""HTTPS: tavi --web --certs against nginx (one worker, TLS 1.2 and 1.3,
session tickets on, keeping connections as in the keep-alive cells), both on
one test certificate made by openssl: memory and a newcomer's full handshake
with TLS_HELD kept TLS connections held; wrk on kept TLS connections, on
resumed handshakes (Connection: close), full handshakes by openssl s_time
and 10 MiB, turn by turn over the rounds; then what tavi's HTTPS port
offers, by sslscan and testssl.sh."""

import http.client
import os
import selectors
import socket
import ssl
import subprocess
import time

from harness.procs import established, port_free, say, which
from harness.rounds import (alternate, cpu_per_request, figures, fmt, goals_say, median, pctl, progress,
                            record, side_values)
from harness.servers import FILES, NOFILE, TAVI, kept, pair_up
from harness.tools import ERRORS, STIME_PROCS, run_one, s_time

from cases.tlsscan import offers

# The connections held (fewer where tavi has room for fewer, so that a
# newcomer ends none of them), made this many at a time; the newcomers timed
# while they are held.
TLS_HELD = 10000
TLS_BATCH = 250
TLS_NEWCOMERS = 200
# -c1000 opens with a thousand handshakes, a second or more of a loaded
# machine: its runs are longer, so that most of each is kept connections.
PAR = [("ratio", ">=", 1.0)]  # at least nginx's figure
CELLS = [{"label": "kept -c32", "conns": 32, "key": "rps", "unit": "req/s", "goals": PAR + [("p99", "<=", 2)]},
         {"label": "kept -c1000", "conns": 1000, "more": 4, "key": "rps", "unit": "req/s",
          "goals": PAR + [("p99", "<=", 2)]},
         {"label": "close -c32", "conns": 32, "close": True, "key": "rps", "unit": "req/s", "goals": PAR},
         {"label": f"s_time -new x{STIME_PROCS}", "stime": True, "key": "rps", "unit": "req/s", "goals": PAR},
         {"label": "10 MiB kept -c1", "conns": 1, "file": "10m.bin", "key": "mbps", "unit": "MB/s", "goals": PAR}]
HELD = [{"label": "TLS connections held: peak RSS", "unit": "MiB", "goals": [("ratio", "<=", 0.75)]},
        {"label": "TLS newcomer p99, held", "unit": "ms",
         "goals": [("value", "<", 50), ("failed", "==", 0, "failed")]}]
SCAN = [{"label": "protocols below TLS 1.2", "unit": "offered", "goals": [("value", "==", 0)]},
        {"label": "ciphers short of ECDHE/TLS 1.3 and AEAD", "unit": "offered", "goals": [("value", "==", 0)]},
        {"label": "testssl.sh: reported vulnerable", "unit": "findings", "goals": [("value", "==", 0)]}]
LIST = HELD + CELLS + SCAN
CERT_CNF = """[req]
distinguished_name = dn
prompt = no
[dn]
CN = tavi bench CA
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def cost(env):
    return 85 + env.rounds * (len(CELLS) * 2 * (env.secs + 0.5) + 8)


def make_certs(top):
    """A test CA and an ECDSA P-256 certificate for localhost and 127.0.0.1
    signed by it, made by the openssl command: ((the folder of pairs, its
    a/fullchain.pem and a/privkey.pem, and the CA's certificate), ""), or
    (None, why). No intermediate: the chain is the certificate alone."""
    tls = os.path.join(top, "tls")
    certs = os.path.join(tls, "certs")
    os.makedirs(os.path.join(certs, "a"))
    cnf = os.path.join(tls, "openssl.cnf")
    with open(cnf, "w") as f:
        f.write(CERT_CNF)
    ca, ca_key, csr = (os.path.join(tls, x) for x in ("ca.pem", "ca.key", "leaf.csr"))
    chain, key = (os.path.join(certs, "a", x) for x in ("fullchain.pem", "privkey.pem"))
    p256 = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    serial = str(int.from_bytes(os.urandom(8), "big"))
    for argv in (["req", "-x509", "-config", cnf, "-extensions", "ca", *p256, "-keyout", ca_key,
                  "-out", ca, "-days", "2"],
                 ["req", "-new", "-config", cnf, *p256, "-subj", "/CN=localhost", "-keyout", key,
                  "-out", csr],
                 ["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", serial,
                  "-days", "2", "-extfile", cnf, "-extensions", "leaf", "-out", chain]):
        r = subprocess.run([which("openssl"), *argv], capture_output=True, text=True)
        if r.returncode:
            return None, f"openssl {argv[0]}: {r.stderr.strip()[-300:]}"
    return (certs, ca), ""


def case_certs(env, folder=None):
    """make_certs in a folder of the case's own under env.top (env.top
    itself without one): (the folder of pairs, the CA's certificate), or
    None once it has said why not."""
    top = os.path.join(env.top, folder) if folder else env.top
    os.makedirs(top, exist_ok=True)
    os.chmod(top, 0o755)
    got, err = make_certs(top)
    if got is None:
        say(f"  no certificate: {err}")
    return got


def tls_template(template, certs):
    """The peers' nginx.conf, serving HTTPS with the pair of a and keeping
    connections as in the keep-alive cells."""
    text = (template.replace("listen 127.0.0.1:@PORT@;", "listen 127.0.0.1:@PORT@ ssl;\n"
                             f"        ssl_certificate {certs}/a/fullchain.pem;\n"
                             f"        ssl_certificate_key {certs}/a/privkey.pem;\n"
                             "        ssl_protocols TLSv1.2 TLSv1.3;\n"
                             "        ssl_session_tickets on;")
            )
    text = kept(text)
    assert "ssl_session_tickets" in text and "keepalive_requests" in text
    return text


def tls_check(pair, site, ctx, plain):
    """Every file over HTTPS byte for byte from both, the certificate checked
    against the test CA, and a 308 from tavi's plain port: True when tavi
    passed."""
    say("\n  byte-for-byte check over HTTPS (the certificate checked against the test CA,"
        " by 127.0.0.1)")
    ok = True
    for s in pair:
        bad = []
        for name, _ in FILES:
            with open(os.path.join(site, name), "rb") as f:
                want = f.read()
            conn = http.client.HTTPSConnection("127.0.0.1", s.port, timeout=20, context=ctx)
            try:
                conn.request("GET", "/" + name, headers={"Connection": "close"})
                r = conn.getresponse()
                body = r.read()
                if r.status != 200 or body != want:
                    bad.append(f"{name}: status {r.status}, {len(body)} of {len(want)} bytes")
            except (OSError, http.client.HTTPException) as e:
                bad.append(f"{name}: {type(e).__name__}: {e}")
            finally:
                conn.close()
        say(f"  {s.name:11s} " + ("FAILED: " + "; ".join(bad) if bad else f"ok on port {s.port}"))
        if s.name == "tavi --web":
            ok = not bad
            conn = http.client.HTTPConnection("127.0.0.1", plain, timeout=20)
            try:
                conn.request("GET", "/1k.bin")
                r = conn.getresponse()
                r.read()
                say(f"  {'':11s} its plain port {plain}: {r.status} {r.reason}, Location"
                    f" {r.getheader('Location')}")
            except (OSError, http.client.HTTPException) as e:
                say(f"  {'':11s} its plain port {plain}: {type(e).__name__}: {e}")
            finally:
                conn.close()
    return ok


def h1_answered(got):
    """A whole HTTP/1.1 200 of 1 KiB."""
    head, end, body = got.partition(b"\r\n\r\n")
    if end and len(body) >= 1024:
        if not head.startswith(b"HTTP/1.1 200 "):
            raise OSError(head.split(b"\r\n", 1)[0].decode(errors="replace"))
        return True
    return False


def tls_step(c, st, req, answered=h1_answered):
    """Takes c as far as it goes without waiting, from the handshake through
    one request to its 1 KiB answer: "done", or the event to wait for."""
    try:
        if not st["shaken"]:
            c.do_handshake()
            st["shaken"] = True
        if not st["sent"]:
            if c.send(req) != len(req):
                raise OSError("the request went in part")
            st["sent"] = True
        while True:
            more = c.recv(65536)
            if not more:
                raise OSError("closed by the server before its answer")
            st["got"] += more
            if answered(st["got"]):
                return "done"
    except ssl.SSLWantReadError:
        return selectors.EVENT_READ
    except ssl.SSLWantWriteError:
        return selectors.EVENT_WRITE


def hold_tls(port, count, ctx, req=b"GET /1k.bin HTTP/1.1\r\nHost: localhost\r\n\r\n", answered=h1_answered):
    """count TLS connections (SNI localhost) that each had one 1 KiB answer
    to req and stay, TLS_BATCH at a time, their handshakes and requests
    driven together by a selector: (the connections, ""), or (None, why)."""
    held, sel = [], selectors.DefaultSelector()
    todo = {}
    try:
        while len(held) < count:
            for _ in range(min(TLS_BATCH, count - len(held))):
                raw = socket.create_connection(("127.0.0.1", port), timeout=10)
                raw.setblocking(False)
                c = ctx.wrap_socket(raw, server_hostname="localhost", do_handshake_on_connect=False)
                todo[c] = {"shaken": False, "sent": False, "got": b"", "waits": False}
            ready, deadline = list(todo), time.monotonic() + 30
            while todo:
                for c in ready:
                    st = todo[c]
                    got = tls_step(c, st, req, answered)
                    if got == "done":
                        if st["waits"]:
                            sel.unregister(c)
                        del todo[c]
                        held.append(c)
                    elif st["waits"]:
                        sel.modify(c, got)
                    else:
                        sel.register(c, got)
                        st["waits"] = True
                if todo and time.monotonic() > deadline:
                    raise OSError(f"{len(todo)} of a batch unanswered after 30 s")
                ready = [key.fileobj for key, _ in sel.select(1)] if todo else []
    except OSError as e:
        for c in held + list(todo):
            c.close()
        return None, f"{len(held)} held, then: {type(e).__name__}: {e}"
    finally:
        sel.close()
    return held, ""


def tls_newcomers(port, ctx, count):
    """ms of count requests for 1 KiB, each on a new TLS connection (a full
    handshake, SNI localhost), one after another; -1 for one that failed."""
    req = b"GET /1k.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
    took = []
    for _ in range(count):
        t, got = time.monotonic(), b""
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw, \
                    ctx.wrap_socket(raw, server_hostname="localhost") as c:
                c.sendall(req)
                while b"\r\n\r\n" not in got or len(got.split(b"\r\n\r\n", 1)[1]) < 1024:
                    more = c.recv(65536)
                    if not more:
                        break
                    got += more
            ok = got.startswith(b"HTTP/1.1 200 ") and len(got.split(b"\r\n\r\n", 1)[-1]) == 1024
        except OSError:
            ok = False
        took.append((time.monotonic() - t) * 1000 if ok else -1)
        time.sleep(0.005)
    return took


def run(env):
    say("\n== TLS: tavi --web --certs against nginx (ssl_protocols TLSv1.2 TLSv1.3;"
        " ssl_session_tickets on; keepalive_timeout 75s; keepalive_requests 1000)")
    t = time.monotonic()
    got = case_certs(env)
    if got is None:
        return
    certs, ca = got
    say(f"  a test CA and an ECDSA P-256 certificate for localhost (DNS:localhost, IP:127.0.0.1),"
        f" made by openssl in {time.monotonic() - t:.1f} s; descriptors {NOFILE} for all")
    ctx = ssl.create_default_context(cafile=ca)
    plain = port_free()
    pair = pair_up(env.www, env.ngx, tls_template(env.template, certs), env.lua, "tls.conf",
                   tavi=[TAVI, "--web", "--certs", certs, "--https", "@PORT@", str(plain), "127.0.0.1"],
                   https=True)
    if pair is None:
        return
    try:
        if not tls_check(pair, env.site, ctx, plain):
            say("  tavi failed the check: nothing to measure")
            return
        held(env, pair, ctx)
        rates(env, pair)
        progress("sslscan and testssl.sh")
        for cell, value in zip(SCAN, offers(pair, env.top)):
            record(env, "tls", cell, {pair[0].name: [value]}, pair[0].name)
    finally:
        for s in pair:
            s.stop()
        goals_say(env, "tls", "TLS goals (value: ratio to nginx, ms or count)")


def held(env, pair, ctx):
    """First, while the servers are fresh: their peak memory is the held connections'."""
    count = min(TLS_HELD, (NOFILE - 64) // 2 - 100)
    say(f"\n  {count} TLS connections held after one answer each (TLS 1.3, made {TLS_BATCH} at a"
        f" time), then {TLS_NEWCOMERS} newcomers one after another, each a full handshake and"
        " 1 KiB; bytes a connection: the rise of peak RSS over the count")
    hwm, p99, failed = ({s.name: [None] for s in pair} for _ in range(3))
    progress("connections held")
    for s in pair:
        before = s.hwm_kib()
        t = time.monotonic()
        conns, err = hold_tls(s.port, count, ctx)
        if conns is None:
            say(f"  {s.name:11s} FAILED: {err}")
            continue
        try:
            made = time.monotonic() - t
            time.sleep(1)
            still = established(s.port)
            peak, now = s.hwm_kib(), s.hwm_kib("VmRSS:")
            took = tls_newcomers(s.port, ctx, TLS_NEWCOMERS)
        finally:
            for c in conns:
                c.close()
        ok = sorted(x for x in took if x >= 0)
        hwm[s.name], p99[s.name], failed[s.name] = [peak / 1024], [pctl(ok, 0.99)], [len(took) - len(ok)]
        say(f"  {s.name:11s} {count} held in {made:.1f} s, {still} still open at"
            f" the server; peak RSS {peak / 1024:.1f} MiB ({before / 1024:.1f} before, now"
            f" {now / 1024:.1f}), {(peak - before) * 1024 / count:.0f} bytes a connection; newcomer p50"
            f" {fmt(median(ok), 0, 2)} ms, p99 {fmt(p99[s.name][0], 0, 2)} ms, {failed[s.name][0]} failed")
    tavi = pair[0].name
    record(env, "tls", HELD[0], hwm, tavi, pair[1].name)
    record(env, "tls", HELD[1], p99, tavi, values={"failed": failed[tavi][0]})


def rates(env, pair):
    byname = {s.name: s for s in pair}

    def one(cell, name):
        s = byname[name]
        if cell.get("stime"):
            res, err = s_time(s, env.secs)
        else:
            res, err = run_one(s, cell.get("file", "1k.bin"), cell["conns"], env.secs + cell.get("more", 0),
                               env.lua, close=cell.get("close", False), https=True)
        if res is not None and not res["requests"]:
            return None, "no request answered"
        return res, err

    runs, _ = alternate(CELLS, list(byname), env.rounds, one)
    secs = env.secs
    say(f"\n  {env.rounds} round(s), wrk -t2 (-c1: -t1) over HTTPS, runs of {secs} s (-c1000: {secs + 4} s,"
        " its thousand handshakes within); 1 KiB but the last; kept: no Connection: close; close:"
        " Connection: close, a new connection a request, whose session wrk resumes (a ticket, no"
        f" certificate); s_time: {STIME_PROCS} openssl s_time -new at once, a full handshake a"
        " request (HTTP/1.0), no p99; req/s (10 MiB: MB/s) and p99: medians; CPU: the server's per request"
        " (10 MiB: s per GB) pooled over the rounds; errors: socket errors, then non-2xx, summed")
    say(f"  {'cell':16s} {'tavi':>9s} {'nginx':>9s} {'ratio':>5s} {'p99 ms':>7s} {'nginx':>7s}"
        f" {'CPU':>8s} {'nginx':>8s} {'ratio':>5s}  {'errors':>7s} {'nginx':>7s}  ratio by round")
    for cell in CELLS:
        label, key = cell["label"], cell["key"]
        t, n = runs.get((label, "tavi --web"), {}), runs.get((label, "nginx"), {})
        if not t or not n:
            continue
        figs = figures(runs, label, list(byname), key, env.rounds)
        c = record(env, "tls", cell, figs, "tavi --web", "nginx", side_values(t, n))
        p99 = [median([x["p99_us"] / 1000 for x in side.values()]) for side in (t, n)]
        if key == "rps":
            cpu = [cpu_per_request(list(side.values())) * 1e6 for side in (t, n)]  # us a request
        else:
            cpu = [sum(x["cpu"] for x in side.values()) / (sum(x["bytes"] for x in side.values()) / 1e9)
                   for side in (t, n)]  # s a GB
        errs = [(sum(x[k] for x in side.values() for k in ERRORS),
                 sum(x["status"] for x in side.values())) for side in (t, n)]
        unit = "req/s; CPU us/req" if key == "rps" else "MB/s; CPU s/GB"
        say(f"  {label:16s} {median([x[key] for x in t.values()]):9.1f}"
            f" {median([x[key] for x in n.values()]):9.1f} {fmt(c['median'], 5, 2)}"
            f" {fmt(p99[0], 7, 2)} {fmt(p99[1], 7, 2)} {fmt(cpu[0], 8, 2)} {fmt(cpu[1], 8, 2)}"
            f" {fmt(cpu[0] / cpu[1] if cpu[1] else float('nan'), 5, 2)}"
            f"  {'%d/%d' % errs[0]:>7s} {'%d/%d' % errs[1]:>7s}  "
            + " ".join(f"{x:.2f}" for x in c["ratios"]) + f"  ({unit})")
