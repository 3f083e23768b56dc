"""The load tools and how their output is read: wrk (through a Lua report),
ab, openssl s_time and h2load. Each reader takes the tool's text and gives a
result of the same keys as wrk's, or None."""

import math
import os
import re
import subprocess
import time

from harness.procs import HZ, spawn, which

WRK_LUA = r"""
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "RESULT duration_us=%d requests=%d bytes=%d connect=%d read=%d write=%d status=%d timeout=%d p99_us=%d\n",
    summary.duration, summary.requests, summary.bytes,
    e.connect, e.read, e.write, e.status, e.timeout, latency:percentile(99)))
end
"""
# Pipelined requests: this many in one write.
PIPE_DEPTH = 16
WRK_PIPE = r"""
init = function(args)
  local r = {}
  for i = 1, %d do r[i] = wrk.format() end
  pipelined = table.concat(r)
end
request = function() return pipelined end
""" % PIPE_DEPTH
# wrk resumes its TLS sessions on the connections it opens anew: full
# handshakes come from this many openssl s_time -new at once.
STIME_PROCS = 8
ERRORS = ("connect", "read", "write", "timeout")  # the kinds of socket error, as wrk counts them


def wrk_read(text):
    """wrk's RESULT line as written by WRK_LUA, or None."""
    for line in text.splitlines():
        if line.startswith("RESULT "):
            return {k: int(v) for k, v in (x.split("=") for x in line.split()[1:])}
    return None


def wrk(port, name, conns, secs, lua, close=True, threads=None, https=False, headers=()):
    threads = threads or min(2, conns)
    argv = ["wrk", "-t", str(threads), "-c", str(conns), "-d", f"{secs}s", "--timeout", "30s",
            *(["-H", "Connection: close"] if close else []),
            *(a for h in headers for a in ("-H", h)), "-s", lua,
            f"{'https' if https else 'http'}://127.0.0.1:{port}/{name}"]
    return ran(argv, wrk_read, secs + 60)


def ran(argv, reader, limit):
    """argv's output as reader reads it: (the result, ""), or (None, why)."""
    try:
        r = subprocess.run(argv, capture_output=True, text=True, timeout=limit)
    except subprocess.TimeoutExpired:
        return None, f"{os.path.basename(argv[0])} timed out"
    got = reader(r.stdout)
    return (got, "") if got else (None, (r.stdout + r.stderr).strip()[-300:])


def costed(s, load):
    """load() as s's CPU time sees it: its result with the server's CPU s
    (all its processes, utime and stime, before and after), or None and why."""
    before = s.ticks()
    res, err = load()
    time.sleep(0.2)  # what the server still does for connections the client dropped
    after = s.ticks()
    if res is None or not s.pids():
        return None, "; ".join(x for x in (err if res is None else "server died", s.ended()) if x)
    res["cpu"] = (after - before) / HZ
    return res, ""


def rates(res):
    """res with its req/s and MB/s (10^6 bytes) over its duration."""
    secs = res["duration_us"] / 1e6
    res["rps"] = res["requests"] / secs
    res["mbps"] = res["bytes"] / secs / 1e6
    return res


def run_one(s, name, conns, secs, lua, close=True, threads=None, https=False, headers=()):
    res, err = costed(s, lambda: wrk(s.port, name, conns, secs, lua, close, threads, https, headers))
    return (rates(res), "") if res else (None, err)


def ab_read(text):
    """ab's report: {rps, p99_us, errors, status, kept}, or None."""
    got = {}
    for line in text.splitlines():
        key, _, value = line.replace("99%", "99%:").partition(":")
        if value.split():
            got[key.strip()] = value.split()[0]
    if "Requests per second" not in got:
        return None
    return {"rps": float(got["Requests per second"]), "p99_us": int(got.get("99%", 0)) * 1000,
            "errors": int(got["Failed requests"]), "status": int(got.get("Non-2xx responses", 0)),
            "kept": int(got["Keep-Alive requests"])}


def ab(port, requests):
    """ab -k -c32 over 1 KiB: ab_read's result, or None and why."""
    return ran(["ab", "-k", "-q", "-c", "32", "-n", str(requests), f"http://127.0.0.1:{port}/1k.bin"],
               ab_read, 300)


def stime_read(text):
    """One openssl s_time's (connections, bytes read per connection), or None."""
    m = re.search(r"(\d+) connections in [\d.]+ real seconds, (\d+) bytes read per connection", text)
    return (int(m[1]), int(m[2])) if m else None


def s_time(s, secs):
    """STIME_PROCS openssl s_time -new at once against s for secs s, each
    connection a full handshake and one GET of 1 KiB (HTTP/1.0, closed
    after the answer): a result as run_one's (no p99), or None and why."""
    argv = [which("openssl"), "s_time", "-connect", f"127.0.0.1:{s.port}", "-new",
            "-time", str(secs), "-www", "/1k.bin"]

    def load():
        t = time.monotonic()
        procs = [spawn(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                 for _ in range(STIME_PROCS)]
        outs = []
        try:
            for proc in procs:
                outs.append(proc.communicate(timeout=secs + 60)[0])
        except subprocess.TimeoutExpired:
            return None, "openssl s_time timed out"
        finally:
            for proc in procs:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        res = {k: 0 for k in ("requests", "bytes", *ERRORS, "status")}
        for out in outs:
            got = stime_read(out)
            if not got:
                res["connect"] += 1  # a client that gave up, at its connect or later
                continue
            res["requests"] += got[0]
            res["bytes"] += got[0] * got[1]
            res["status"] += got[0] * (got[1] < 1024)  # short answers
        res.update(duration_us=int((time.monotonic() - t) * 1e6), p99_us=math.nan)
        return res, ""

    res, err = costed(s, load)
    return (rates(res), "") if res else (None, err)


def h2load_read(text):
    """h2load's report: a result as wrk's, requests those that got an answer;
    read errors the failed (timeouts among them), connect errors those never
    started; no p99: h2load gives none. None without a report."""
    m = re.search(r"finished in ([\d.]+)(us|ms|s), ([\d.]+) req/s", text)
    done = re.search(r"requests: (\d+) total, (\d+) started, (\d+) done, (\d+) succeeded,"
                     r" (\d+) failed, (\d+) errored, (\d+) timeout", text)
    codes = re.search(r"status codes: (\d+) 2xx, (\d+) 3xx, (\d+) 4xx, (\d+) 5xx", text)
    traffic = re.search(r"traffic: [\d.]+[KMG]?B \((\d+)\) total", text)
    if not (m and done and codes and traffic):
        return None
    secs = float(m[1]) / {"us": 1e6, "ms": 1e3, "s": 1}[m[2]]
    return {"duration_us": int(secs * 1e6), "requests": int(done[4]), "bytes": int(traffic[1]),
            "connect": int(done[1]) - int(done[2]), "read": int(done[5]) - int(done[7]), "write": 0,
            "timeout": int(done[7]), "status": int(codes[2]) + int(codes[3]) + int(codes[4]),
            "p99_us": math.nan}


def h2load(s, path, conns, streams, secs, https=True, n=None, h1=False, threads=1):
    """h2load over HTTP/2 (h2 by ALPN with https, else h2c; HTTP/1.1 with h1)
    for secs s, or for n requests: conns connections of streams concurrent
    streams each: a result as run_one's, or None and why."""
    argv = [which("h2load"), "-t", str(threads), "-c", str(conns), "-m", str(streams),
            *(["-n", str(n)] if n else ["-D", str(secs)]),
            *(["--h1"] if h1 else []), f"{'https' if https else 'http'}://127.0.0.1:{s.port}/{path}"]

    res, err = costed(s, lambda: ran(argv, h2load_read, (secs or 0) + 120))
    return (rates(res), "") if res else (None, err)
