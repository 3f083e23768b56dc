"""What tavi's HTTPS port offers, for the HTTPS case: protocols and ciphers
by sslscan (nginx's too, for comparison) and testssl.sh, and the
vulnerabilities testssl.sh reports."""

import json
import math
import os
import signal
import subprocess
import time

from harness.procs import say, spawn, which

TESTSSL_LIMIT = 300  # s testssl.sh may take


def sslscan(port):
    """sslscan --no-colour: (({protocol: offered}, [(protocol, cipher)]), ""),
    or (None, why)."""
    try:
        r = subprocess.run([which("sslscan"), "--no-colour", f"127.0.0.1:{port}"],
                           capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return None, "sslscan timed out"
    protos, ciphers = {}, []
    for line in r.stdout.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0].startswith(("SSLv", "TLSv")) and parts[1] in ("enabled", "disabled"):
            protos[parts[0]] = parts[1] == "enabled"
        elif len(parts) >= 5 and parts[0] in ("Preferred", "Accepted"):
            ciphers.append((parts[1], parts[4]))
    if not protos:
        return None, (r.stdout + r.stderr).strip()[-300:]
    return (protos, ciphers), ""


def testssl(port, top):
    """testssl.sh's fastest look at protocols (-p), ciphers per protocol (-E)
    and vulnerabilities (-U): (its JSON findings, s taken), or (None, why)."""
    out = os.path.join(top, "testssl.json")
    argv = [which("testssl"), "--fast", "--quiet", "--color", "0", "--warnings", "off",
            "-n", "none", "--connect-timeout", "10", "--openssl-timeout", "10",
            "-p", "-E", "-U", "--jsonfile", out, f"127.0.0.1:{port}"]
    t = time.monotonic()
    proc = spawn(argv, cwd=top, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        text, _ = proc.communicate(timeout=TESTSSL_LIMIT)
    except subprocess.TimeoutExpired:
        return None, f"no result in {TESTSSL_LIMIT} s"
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)  # testssl.sh and the openssl it runs
            proc.wait()
    try:
        with open(out) as f:
            return json.load(f), time.monotonic() - t
    except (OSError, ValueError) as e:
        return None, f"exit {proc.returncode}, no findings ({e}): {text.strip()[-300:]}"


def weak_cipher(proto, name):
    """Why a cipher offered falls short (no forward secrecy, no AEAD), or ""."""
    why = []
    if not (proto in ("TLSv1.3", "TLS1.3") or name.startswith("ECDHE-")):
        why.append("no forward secrecy")
    if not ("GCM" in name or "CHACHA20-POLY1305" in name or "CHACHA20_POLY1305" in name):
        why.append("no AEAD")
    return ", ".join(why)


def offers(pair, top):
    """What tavi's HTTPS port offers, by sslscan (nginx's too, for comparison)
    and testssl.sh: protocols, ciphers, vulnerabilities. Gives the counts of
    protocols below TLS 1.2, of weak ciphers and of findings."""
    say("\n  configuration: sslscan --no-colour (nginx's for comparison), then testssl.sh --fast"
        " -p -E -U on tavi's HTTPS port")
    below, ciphers = None, {}
    for s in pair:
        got, err = sslscan(s.port)
        if got is None:
            say(f"  {s.name:11s} sslscan FAILED: {err}")
            continue
        protos, offered = got
        say(f"  {s.name:11s} sslscan: protocols {' '.join(p for p, on in protos.items() if on) or 'none'};"
            f" ciphers {', '.join(f'{p} {n}' for p, n in offered)}")
        if s.name == "tavi --web":
            below = [p for p, on in protos.items() if on and p not in ("TLSv1.2", "TLSv1.3")]
            ciphers.update({(p, n): "sslscan" for p, n in offered})
    tavi = pair[0]
    if not which("testssl"):
        say("  testssl.sh not found: not run")
        found = None
    else:
        found, took = testssl(tavi.port, top)
        if found is None:
            say(f"  testssl.sh did not run through: {took}")
    vulns = None
    if found is not None:
        say(f"  testssl.sh took {took:.0f} s")
        names = {"SSLv2": "SSLv2", "SSLv3": "SSLv3", "TLS1": "TLSv1.0", "TLS1_1": "TLSv1.1",
                 "TLS1_2": "TLSv1.2", "TLS1_3": "TLSv1.3"}
        protos = {names[x["id"]]: x["finding"] for x in found if x["id"] in names}
        say("  testssl.sh protocols: " + "; ".join(f"{p} {f}" for p, f in protos.items()))
        low = [p for p, f in protos.items() if p not in ("TLSv1.2", "TLSv1.3")
               and f.lower().startswith("offered")]
        below = sorted(set(below or []) | set(low))
        for x in found:
            if x["id"].startswith("cipher-"):
                parts = x["finding"].split()  # "TLS 1.2   xc02c   ECDHE-ECDSA-AES256-GCM-SHA384 ..."
                if len(parts) >= 4:
                    key = (parts[0] + "v" + parts[1], parts[3])
                    ciphers[key] = "both" if key in ciphers else "testssl.sh"
        # The vulnerabilities: what -U reports, each with its CVE but for two.
        vulns = []
        listed = [x for x in found if ("cve" in x or x["id"] in ("secure_renego", "fallback_SCSV", "RC4"))
                  and not x["id"].endswith("_hint")]
        say("  testssl.sh vulnerabilities (-U):")
        for x in listed:
            f = x["finding"].lower()
            flagged = ("vulnerable" in f and "not vulnerable" not in f) or x["severity"] in ("MEDIUM", "HIGH", "CRITICAL")
            note = ""
            if flagged and x["id"] == "BREACH" and "potentially" in f:
                flagged, note = False, "  (BREACH needs compressed answers that echo a secret: not a finding for static files)"
            elif x["severity"] == "WARN":
                note = "  (not tested)"
            if flagged:
                vulns.append(x["id"])
            say(f"    {x['id']:22s} {x['severity']:8s} {x['finding']}{note}{'  <- finding' if flagged else ''}")
    weak = {k: weak_cipher(*k) for k in ciphers}
    weak = {k: why for k, why in weak.items() if why}
    if ciphers:
        say(f"  tavi's ciphers, {len(ciphers)} in all; short of forward secrecy and AEAD:"
            + ("".join(f"\n    {p} {n}: {why} (seen by {ciphers[(p, n)]})" for (p, n), why in sorted(weak.items()))
               or " none"))
    # Counts of what falls short; nan where the tool did not say.
    return (len(below) if below is not None else math.nan, len(weak) if ciphers else math.nan,
            len(vulns) if vulns is not None else math.nan)
