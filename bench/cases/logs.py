"""The log analyzers read: tavi --web --log combined, then vcombined, each
answering LOG_REQUESTS mixed requests (200, 206, 304, 404 and 405, with
hostile user agents and referers: quotes, backslashes, tabs, bytes of 0x80
and above, fields forged to look like the line's own), then GoAccess over
each log with --log-format=COMBINED and VCOMBINED: lines it finds invalid,
requests it counts, and its count of each status against what was sent."""

import json
import os
import random
import socket
import subprocess
import tempfile
from collections import Counter

from harness.procs import Server, port_free, say, which
from harness.rounds import goals_say, progress, record
from harness.servers import TAVI

LOG_REQUESTS = 10000
# What each kind of request asks, and the status it must get.
KINDS = [(200, "GET /1k.bin", ""), (206, "GET /1k.bin", "Range: bytes=0-99\r\n"),
         (304, "GET /1k.bin", "If-None-Match: *\r\n"), (404, "GET /none-{n}?q={n}", ""),
         (405, "POST /1k.bin", "Content-Length: 0\r\n")]
STYLES = [("combined", "COMBINED"), ("vcombined", "VCOMBINED")]
CELLS = {style: [{"label": f"{style}: lines GoAccess finds invalid", "unit": "lines", "goals": [("value", "==", 0)]},
                 {"label": f"{style}: requests GoAccess counts", "unit": "requests",
                  "goals": [("value", "==", LOG_REQUESTS)]},
                 {"label": f"{style}: statuses counted otherwise than sent", "unit": "statuses",
                  "goals": [("value", "==", 0)]}]
         for style, _ in STYLES}
LIST = [cell for style, _ in STYLES for cell in CELLS[style]]


def cost(env):
    return 60


def hostile(rnd):
    """A field value a reception takes (no CR, LF or other control byte but
    the tab) that tries to break or forge the line's fields."""
    forged = rnd.choice([b'x" 200 1 "-" "y', b"\\x22", b"] [01/Jan/1970:00:00:00 +0000]", b"\\", b'"'])
    noise = bytes(rnd.choice(b'"\\\t []-' + bytes(range(0x80, 0x100)) + b"az09") for _ in range(rnd.randrange(1, 24)))
    return b"ua" + forged + noise + b"z"


def ask_all(port, rnd):
    """Sends the mixed requests, one a connection; the statuses sent, by what came back."""
    sent = Counter()
    for n in range(LOG_REQUESTS):
        code, line, fields = KINDS[n % len(KINDS)]
        req = (line.format(n=n) + " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n" + fields).encode()
        req += b"User-Agent: " + hostile(rnd) + b"\r\nReferer: http://r/" + hostile(rnd) + b"\r\n\r\n"
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(req)
            got = b""
            while chunk := s.recv(65536):
                got += chunk
        status = int(got.split(b" ", 2)[1]) if got.startswith(b"HTTP/1.1 ") else 0
        sent[status if status == code else f"{code} answered {status}"] += 1
    return sent


def goaccess(log, form, top):
    report = os.path.join(top, "report.json")
    subprocess.run(["goaccess", log, f"--log-format={form}", "--no-global-config", "-o", report],
                   check=True, capture_output=True, timeout=300)
    with open(report) as f:
        doc = json.load(f)
    codes = Counter()
    for group in doc["status_codes"]["data"]:
        for item in group["items"]:
            codes[int(item["data"][:3])] += item["hits"]["count"]
    return doc["general"], codes


def run(env):
    if not which("goaccess"):
        say("\n== logs: no goaccess (Debian's goaccess): skipped")
        return
    say(f"\n== logs: {LOG_REQUESTS} requests ({', '.join(str(k[0]) for k in KINDS)} in turn, hostile user agents"
        " and referers), then GoAccess over the log")
    for style, form in STYLES:
        progress(f"{style}'s requests")
        top = tempfile.mkdtemp(prefix="tavi-logs-", dir=env.top)
        log = os.path.join(top, "log.txt")
        srv = Server("tavi --web", [TAVI, "--web", "--log", style, "@PORT@",
                                   "127.0.0.1"], env.www, log=log)
        if not srv.start(port_free(), top):
            say(f"  {style}: tavi did not start: {srv.ended()}")
            continue
        try:
            sent = ask_all(srv.port, random.Random(7))
        finally:
            srv.stop()
        with open(log, "rb") as f:
            lines = f.read().count(b"\n")
        general, codes = goaccess(log, form, top)
        off = sum(codes[c] != n for c, n in sent.items() if isinstance(c, int)) + sum(
            not isinstance(c, int) for c in sent) + sum(c not in sent for c in codes)
        say(f"  {style}: {lines} lines logged; GoAccess {form}: {general['total_requests']} lines,"
            f" {general['valid_requests']} valid, {general['failed_requests']} invalid; statuses sent"
            f" {dict(sorted(sent.items(), key=str))}, counted {dict(sorted(codes.items()))}")
        for cell, value in zip(CELLS[style], [general["failed_requests"], general["valid_requests"], off]):
            record(env, "logs", cell, {"tavi --web": [value]}, "tavi --web", values={"value": value})
    goals_say(env, "logs", "logs read by GoAccess")
