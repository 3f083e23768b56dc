"""Compression: tavi --web (br 5, zstd 3, gzip 6; a cache of 64 MiB) against
nginx (one worker, access log off, keeping connections as in the keep-alive
cells, gzip on at its default level 1 for html, css, js, svg and json) on
text: what a page of the Python manual weighs on the wire, the rate of a
cached 64 KiB page, and a crowd asking for files not yet compressed."""

import http.client
import os
import subprocess
import time

from harness.clients import chromium, decode, get
from harness.procs import say, which
from harness.rounds import alternate, cpu_per_request, figures, fmt, goals_say, median, progress, record
from harness.servers import kept, pair_up
from harness.tools import ERRORS, run_one

from cases.presscold import BOUND_CELLS, CELL as COLD, COLD_FILES, DOC, DOC_PAGE, aged, press_bound, press_cold

# The Accept-Encoding that Chromium sent in a trial (over plain HTTP too) and
# that the cached cell's wrk sends; the page cut from the manual.
CHROMIUM_AE = "gzip, deflate, br, zstd"
RATE_AE = "gzip, br"
PAGE_SIZE = 64 * 1024
WEIGHT = {"label": "weight: HTML+CSS+JS, share of identity", "unit": "share", "goals": [("value", "<=", 0.22)]}
# The cached page: tavi against nginx compressing each answer at level 1 and
# 6, and nginx sending the .gz made by gzip -6; each its path.
RATE = [("tavi --web", "press/l1/page.html"), ("nginx gzip 1", "press/l1/page.html"),
        ("nginx gzip 6", "press/l6/page.html"), ("nginx gzip_static", "press/st/page.html")]
CELLS = [{"label": f"cached 64 KiB -c32, {peer}", "peer": peer, "unit": "req/s",
          "goals": [("ratio", ">=", least)] if least else []}
         for peer, least in (("nginx gzip 1", 3.0), ("nginx gzip 6", None), ("nginx gzip_static", 1.0))]
LIST = [WEIGHT, *CELLS, COLD, *BOUND_CELLS]
NGINX_PRESS = """    types {
        text/html html; text/css css; application/javascript js mjs; application/json json;
        image/svg+xml svg; image/png png; image/x-icon ico; text/plain txt;
    }
    gzip on;
    gzip_types text/css application/javascript image/svg+xml application/json;
"""


def press_template(template):
    """The peers' nginx.conf keeping connections as in the keep-alive cells,
    with types by extension and gzip on at its default level (1) for html,
    css, js, svg and json; under /press/l6/ level 6, under /press/st/ the .gz
    made in advance (gzip_static)."""
    text = (kept(template).replace("    default_type application/octet-stream;\n",
                     "    default_type application/octet-stream;\n" + NGINX_PRESS)
            .replace("        listen 127.0.0.1:@PORT@;\n", "        listen 127.0.0.1:@PORT@;\n"
                     "        location /press/l6/ { gzip_comp_level 6; }\n"
                     "        location /press/st/ { gzip_static on; }\n"))
    assert "gzip_static" in text and "gzip_types" in text and "keepalive_requests" in text
    return text


def press_tree(site):
    """Under the site: doc, a link to the manual; press/l1, l6 and st, each
    the same page of PAGE_SIZE bytes cut from the manual's DOC_PAGE, st's with
    a .gz made by gzip -6. Gives the page's bytes."""
    os.symlink(DOC, os.path.join(site, "doc"))
    with open(os.path.join(DOC, DOC_PAGE), "rb") as f:
        page = f.read(PAGE_SIZE)
    page = (page * (PAGE_SIZE // len(page) + 1))[:PAGE_SIZE]
    paths = []
    for sub in ("l1", "l6", "st"):
        folder = os.path.join(site, "press", sub)
        os.makedirs(folder)
        paths.append(os.path.join(folder, "page.html"))
        with open(paths[-1], "wb") as f:
            f.write(page)
    subprocess.run(["gzip", "-6", "-k", paths[-1]], check=True)
    aged(paths + [paths[-1] + ".gz"])
    for d in (os.path.join(site, "press"), *map(os.path.dirname, paths)):
        os.chmod(d, 0o755)
    return page


def curl_size(port, path, ae):
    """curl without --compressed, sending Accept-Encoding ae: (status, body
    bytes received, Content-Encoding or "identity")."""
    r = subprocess.run(["curl", "-s", "-o", "/dev/null", "-H", f"Accept-Encoding: {ae}", "-w",
                        "%{http_code} %{size_download} %header{content-encoding}",
                        f"http://127.0.0.1:{port}{path}"], capture_output=True, text=True, timeout=60)
    parts = r.stdout.split()
    if len(parts) < 2:
        return 0, 0, "-"
    return int(parts[0]), int(parts[1]), parts[2] if len(parts) > 2 else "identity"


def chrome_page(port, path, top):
    """One load of path by a fresh headless Chromium: (s taken, "") or (None, why)."""
    got, err = chromium(top, f"http://127.0.0.1:{port}{path}")
    if got is None:
        return None, err
    if "Built-in Functions" not in got[0].stdout:
        return None, f"the page did not load: {(got[0].stdout + got[0].stderr)[-200:]!r}"
    return got[1], ""


def press_weight(env, pair, log, summary):
    """Chromium loads the manual's DOC_PAGE from tavi twice; each HTML, CSS
    and JS file it asked for (by tavi's log) is then fetched once more from
    each server by curl with Chromium's Accept-Encoding, and its body bytes
    set against the file's size."""
    tavi, ngx = pair
    say(f"\n  weight: headless Chromium (fresh profile each load) loads /doc/{DOC_PAGE} from tavi"
        " twice, 1 s apart: the first load also starts the compression of the files over 64 KiB,"
        " which tavi answers uncompressed meanwhile. Then each HTML, CSS and JS file it asked for"
        " (tavi's log) is fetched from both servers by curl without --compressed, sending"
        f" Chromium's Accept-Encoding ({CHROMIUM_AE}): body bytes, headers (and nginx's chunk framing)"
        " left out")
    if not which("chromium"):
        say("  no chromium: the weight cell is left out")
        return
    for i in range(2):
        took, err = chrome_page(tavi.port, "/doc/" + DOC_PAGE, env.top)
        if took is None:
            say(f"  load {i + 1}: FAILED: {err}")
            return
        say(f"  load {i + 1}: {took:.1f} s")
        time.sleep(1)
    with open(log, errors="replace") as f:
        lines = [ln[:64].rstrip() for ln in f if ln.startswith("/doc/")]
    asked = list(dict.fromkeys(p for p in lines if p.endswith((".html", ".css", ".js"))))
    say(f"  tavi logged {len(lines)} requests under /doc/ for the two loads; {len(asked)} HTML, CSS and"
        " JS files among them")
    say(f"  {'file':54s} {'identity':>9s} {'tavi':>9s} {'':8s} {'nginx':>9s}")
    total = [0, 0, 0]
    for path in asked:
        size = os.path.getsize(os.path.join(env.site, path.lstrip("/")))
        t, n = curl_size(tavi.port, path, CHROMIUM_AE), curl_size(ngx.port, path, CHROMIUM_AE)
        say(f"  {path:54s} {size:9d} {t[1]:9d} {t[2]:8s} {n[1]:9d} {n[2]}"
            + ("" if t[0] == n[0] == 200 else f"  (status {t[0]} / {n[0]}: left out)"))
        if t[0] == n[0] == 200:
            for k, x in enumerate((size, t[1], n[1])):
                total[k] += x
    ratio = [x / total[0] if total[0] else float("nan") for x in total[1:]]
    say(f"  {'HTML+CSS+JS':54s} {total[0]:9d} {total[1]:9d} {fmt(ratio[0], 8, 3)} {total[2]:9d}"
        f" {fmt(ratio[1], 0, 3)}  (bytes, then the share of identity)")
    summary["weight"] = (ratio[0], ratio[1], total)
    record(env, "press", WEIGHT, {tavi.name: [ratio[0]], ngx.name: [ratio[1]]}, tavi.name)


def press_codings(pair, site):
    """What each server answers a small CSS file when asked for one coding
    alone, and whether the body decodes to the file."""
    path = "/doc/_static/pydoctheme.css"
    with open(os.path.join(site, path.lstrip("/")), "rb") as f:
        want = f.read()
    for s in pair:
        said = []
        for ae in ("br", "zstd", "gzip", "identity"):
            try:
                status, _, coding, body = get(s.port, path, ae)
            except (OSError, http.client.HTTPException) as e:
                said.append(f"{ae}: {type(e).__name__}")
                continue
            plain = decode(coding, body)
            said.append(f"{ae}: {status} {coding} {len(body)}"
                        + (" (not decoded here)" if plain is None else " ok" if plain == want else " DIFFERS"))
        say(f"  {s.name:11s} {path} ({len(want)} bytes) asked alone for " + "; ".join(said))


def press_rate(env, pair, page, summary):
    """The 64 KiB page on kept connections, wrk -c32 sending Accept-Encoding
    RATE_AE, after one request each: tavi against nginx compressing each
    answer at level 1 and 6, and nginx sending the .gz made by gzip -6."""
    cells = [(label, pair[0] if label == pair[0].name else pair[1], path) for label, path in RATE]
    rounds, secs = env.rounds, env.secs
    say(f"\n  cached rate: a {PAGE_SIZE // 1024} KiB page cut from the manual, wrk -t2 -c32 on kept"
        f" connections with 'Accept-Encoding: {RATE_AE}', {rounds} round(s) of {secs} s, cells in turns;"
        " first one request each (tavi compresses a file up to 64 KiB at its first request):")
    sent = {}
    for label, s, path in cells:
        status, _, coding, body = get(s.port, "/" + path, RATE_AE)
        plain = decode(coding, body)
        sent[label] = (coding, len(body))
        say(f"  {label:18s} {status} {coding:8s} {len(body):6d} body bytes"
            + (", not decoded here" if plain is None else ", decodes to the page" if plain == page
               else ", DIFFERS from the page"))
    byname = {label: (s, path) for label, s, path in cells}

    def one(cell, label):
        s, path = byname[label]
        res, err = run_one(s, path, 32, secs, env.lua, close=False, headers=[f"Accept-Encoding: {RATE_AE}"])
        return (None, "no request answered") if res is not None and not res["requests"] else (res, err)

    # One cell, its contenders taking turns round by round.
    turns, _ = alternate([{"label": "cached 64 KiB -c32"}], list(byname), rounds, one)
    runs = {label: x for (_, label), x in turns.items()}
    say("  req/s and p99: medians; CPU: the server's per request, pooled; bytes: wrk's a request,"
        " header included; errors: socket errors, then non-2xx; tavi/this: tavi's req/s over this"
        " cell's, round by round")
    say(f"  {'cell':18s} {'req/s':>9s} {'p99 ms':>7s} {'CPU us':>7s} {'bytes':>7s} {'body':>6s} {'coding':8s}"
        f" {'errors':>7s}  tavi/this by round")
    t = runs.get("tavi --web", {})
    for label, _, _ in cells:
        x = runs.get(label, {})
        if not x:
            continue
        by_round = [t[r]["rps"] / x[r]["rps"] for r in sorted(x) if r in t]
        errs = (sum(y[k] for y in x.values() for k in ERRORS),
                sum(y["status"] for y in x.values()))
        rps = median([y["rps"] for y in x.values()])
        say(f"  {label:18s} {rps:9.0f} {median([y['p99_us'] / 1000 for y in x.values()]):7.2f}"
            f" {cpu_per_request(list(x.values())) * 1e6:7.1f}"
            f" {sum(y['bytes'] for y in x.values()) / sum(y['requests'] for y in x.values()):7.0f}"
            f" {sent[label][1]:6d} {sent[label][0]:8s} {'%d/%d' % errs:>7s}  "
            + ("" if label == "tavi --web" else " ".join(f"{v:.2f}" for v in by_round)))
        summary[("rate", label)] = (rps, median(by_round), sent[label])
    for cell in CELLS:
        figs = figures(turns, "cached 64 KiB -c32", list(byname), "rps", rounds)
        record(env, "press", cell, figs, "tavi --web", cell["peer"])


def cost(env):
    return 110 + env.rounds * 4 * (env.secs + 0.5)


def run(env):
    say("\n== compression: tavi --web (br 5, zstd 3, gzip 6; cache of 64 MiB) against nginx (one worker,"
        " access log off, keepalive_timeout 75s, keepalive_requests 1000; gzip on at its default"
        " level 1 for html, css, js, svg and json)")
    if not os.path.exists(os.path.join(DOC, DOC_PAGE)):
        say(f"  no {DOC}/{DOC_PAGE} (python3.11-doc): the compression cells are left out")
        return
    page = press_tree(env.site)
    text = press_template(env.template)
    log = os.path.join(env.top, "press.log")
    summary = {}
    try:
        pair = pair_up(env.www, env.ngx, text, env.lua, "press.conf", log=log)
        if pair is not None:
            try:
                progress("weight")
                press_weight(env, pair, log, summary)
                press_codings(pair, env.site)
                press_rate(env, pair, page, summary)
            finally:
                for s in pair:
                    s.stop()
        progress("cold crowd")
        press_cold(env, text, summary)
        progress("bound")
        press_bound(env, summary)
        say("\n  in short")
        say(f"  {'cell':52s} {'tavi --web':>18s} {'nginx':>18s} {'tavi/nginx':>10s}")
        if "weight" in summary:
            t, n, total = summary["weight"]
            say(f"  {'weight: HTML+CSS+JS on the wire / identity':52s} {t:18.3f} {n:18.3f} {t / n:10.2f}")
        t = summary.get(("rate", "tavi --web"))
        for label in ("nginx gzip 1", "nginx gzip 6", "nginx gzip_static"):
            n = summary.get(("rate", label))
            if t and n:
                say(f"  {'cached 64 KiB -c32 (req/s; body), ' + label:52s}"
                    f" {f'{t[0]:.0f}; {t[2][1]} {t[2][0]}':>18s} {f'{n[0]:.0f}; {n[2][1]} {n[2][0]}':>18s}"
                    f" {n[1]:10.2f}")
        t, n = summary.get(("cold", "tavi --web")), summary.get(("cold", "nginx"))
        if t and n:
            say(f"  {'cold crowd: newcomer p99 (ms)':52s} {fmt(t[0], 18, 2)} {fmt(n[0], 18, 2)}")
            say(f"  {f'cold crowd: compressed in round 1 (of {COLD_FILES})':52s} {t[1]:18d} {n[1]:18d}")
            say(f"  {'cold crowd: all compressed: round; begun at (s)':52s} {f'{t[4]}; {fmt(t[2], 0, 1)}':>18s}"
                f" {f'{n[4]}; {fmt(n[2], 0, 1)}':>18s}")
            say(f"  {'cold crowd: server CPU (s)':52s} {t[3]:18.1f} {n[3]:18.1f}"
                f" {t[3] / n[3] if n[3] else float('nan'):10.2f}")
    finally:
        goals_say(env, "press", "compression goals (value: share of identity, ratio to nginx or ms)")

