"""Processes and what they cost: the servers as processes, their CPU time
from /proc, their peak resident memory, and the system calls strace counts."""

import ctypes
import importlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

HZ = os.sysconf("SC_CLK_TCK")
# The system's Python serves; the one running this script may be another.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
LOG = []  # files that say() also writes to: the run's log in its folder


def say(text=""):
    print(text, flush=True)
    for f in LOG:
        f.write(text + "\n")
        f.flush()


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def debian(name):
    """The module name, from Debian's packages also when this script runs on
    another Python 3.11 than the system's; None without it."""
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    sys.path.append("/usr/lib/python3/dist-packages")
    try:
        return importlib.import_module(name)
    except ImportError:
        return None
    finally:
        sys.path.remove("/usr/lib/python3/dist-packages")


def which(cmd):
    return shutil.which(cmd) or shutil.which(cmd, path="/usr/sbin:/sbin:/usr/bin:/bin")


_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # A server outlives no benchmark, not even one killed outright.
    _libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def spawn(argv, **kw):
    """A process of its own session that dies with this one."""
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, start_new_session=True,
                            preexec_fn=_die_with_parent, **kw)


def interrupt(proc, secs):
    """Ends proc as Ctrl-C would, so that it writes what it gathered; killed
    after secs s."""
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(timeout=secs)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def proc_stat(pid):
    """(ppid, starttime, cpu ticks incl. reaped children) or None."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    rest = text[text.rindex(")") + 2:].split()
    # rest[0] is field 3 (state): utime is field 14, cstime field 17.
    ticks = sum(int(x) for x in rest[11:15])
    return int(rest[1]), int(rest[19]), ticks


def proc_hwm_kib(pid, field="VmHWM:"):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def children(pid):
    kids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = proc_stat(int(name))
            if st and st[0] == pid:
                kids.append(int(name))
    return kids


def port_free():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def established(port):
    """How many connections to port are established, by ss."""
    r = subprocess.run(["ss", "-Htn", "state", "established", f"( sport = :{port} )"],
                       capture_output=True, text=True)
    return len(r.stdout.splitlines())


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class Server:
    """One server process (and, for nginx, its worker) on its own port."""

    def __init__(self, name, argv, cwd, slow=False, note="", log=None):
        self.name, self.argv, self.cwd = name, argv, cwd
        self.slow, self.note = slow, note
        self.log = log  # a file for its standard output (tavi's log lines)
        self.port = None
        self.proc = None
        self.seen = {}  # pid -> starttime of every process counted as ours
        self.broken = None

    def start(self, port, logdir):
        self.port = port
        argv = [a.replace("@PORT@", str(port)) for a in self.argv]
        self.err = os.path.join(logdir, self.name + ".err")
        err = open(self.err, "wb")
        out = open(self.log, "wb") if self.log else subprocess.DEVNULL
        self.proc = spawn(argv, cwd=self.cwd, stdout=out, stderr=err)
        err.close()
        if self.log:
            out.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            if port_open(port):
                self.pids()
                return True
            time.sleep(0.05)
        return False

    def ended(self):
        """How the server's process ended and the last line it wrote to its
        standard error, or "" while it runs."""
        code = self.proc.poll() if self.proc else None
        if code is None:
            return ""
        try:
            with open(self.err, errors="replace") as f:
                last = (f.read().strip().splitlines() or [""])[-1][-200:]
        except OSError:
            last = ""
        how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"exit {code}"
        return f"{self.name} ended, {how}" + (f": {last}" if last else "")

    def pids(self):
        """The live processes of this server: the one started, and its
        long-lived children (nginx's worker)."""
        if self.proc is None or self.proc.poll() is not None:
            return []
        found = [self.proc.pid]
        if self.name == "nginx":
            found += children(self.proc.pid)
        for pid in found:
            st = proc_stat(pid)
            if st:
                self.seen.setdefault(pid, st[1])
        return found

    def ticks(self):
        total = 0
        for pid in self.pids():
            st = proc_stat(pid)
            if st:
                total += st[2]
        return total

    def hwm_kib(self, field="VmHWM:"):
        return sum(proc_hwm_kib(pid, field) for pid in self.pids())

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
            except ProcessLookupError:
                pass
        # Whatever the master left behind, by the PIDs seen while it ran.
        for pid, start in self.seen.items():
            st = proc_stat(pid)
            if st and st[1] == start and pid != self.proc.pid:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        self.proc = None


def traced(pids, out, flags, work):
    """Runs work() while strace with flags follows the processes pids, what it
    saw going to the file out: what work() gave, or (None, why) when strace did
    not attach. work() gives (something, "") or (None, why)."""
    if not pids:
        return None, "nothing to follow: the server is not running"
    tracer = spawn(["strace", *flags, "-o", out] + [a for pid in pids for a in ("-p", str(pid))],
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        for _ in pids:
            line = tracer.stderr.readline()  # "strace: Process N attached"
            if "attached" not in line:
                return None, "strace did not attach: " + line.strip()
        return work()
    finally:
        interrupt(tracer, 20)  # detach; what it saw goes to the file


def strace_calls(pids, top, load):
    """Runs load() while strace -c -f counts the system calls of the processes
    pids: ({call: count}, what load() gave), or (None, why). load() gives
    (something, "") or (None, why)."""
    out = os.path.join(top, "strace.txt")
    got, err = traced(pids, out, ["-c", "-f"], load)
    if got is None:
        return None, err
    with open(out) as f:
        return strace_table(f.read()), got


def strace_table(text):
    """{call: count} from the summary of strace -c."""
    calls = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
            # % time, seconds, usecs/call, calls, [errors,] syscall
            calls[parts[-1]] = int(parts[3])
    return calls


def per_request(calls, done):
    """Calls per request in all, and (name, calls per request) of those made
    0.005 times a request or more, most first."""
    ranked = sorted(calls.items(), key=lambda kv: -kv[1])
    return sum(calls.values()) / done, [(name, n / done) for name, n in ranked if n / done >= 0.005]


def accepts(s, top, argv):
    """Runs argv while strace watches s: (connections s accepted, the run),
    or (None, why)."""
    out = os.path.join(top, "accepts.txt")

    def run():
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=120), ""
        except subprocess.TimeoutExpired:
            return None, f"{argv[0]} timed out"

    r, err = traced(s.pids(), out, ["-f", "-e", "trace=accept,accept4"], run)
    if r is None:
        return None, err
    with open(out) as f:  # a failed accept ends in "= -1 EAGAIN (...)"
        return sum(ln.rstrip().rsplit(" = ", 1)[-1].isdigit() for ln in f), r
