"""The servers: what to install, how tavi is built, the tree they all serve,
and how each peer (nginx, lighttpd, busybox httpd, Python's http.server) is
configured and started beside tavi, in either of its modes."""

import http.client
import os
import resource
import subprocess
import sys
import time

from harness.clients import get
from harness.procs import PYTHON, Server, port_free, say, which
from harness.tools import wrk

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TAVI = os.path.join(REPO, "build", "release", "tavi")
# The tarball's program, linked statically: the grid sets it beside the
# package's, which takes its libraries shared.
TAVI_STATIC = os.path.join(REPO, "build", "static", "tavi")

# The served files: name, size.
FILES = [("1k.bin", 1024), ("64k.bin", 64 * 1024), ("10m.bin", 10 * 1024 * 1024)]
LABEL = {"1k.bin": "1 KiB", "64k.bin": "64 KiB", "10m.bin": "10 MiB"}

# What to install, by the command that has to be found.
PACKAGES = {"wrk": "wrk", "nginx": "nginx-light", "lighttpd": "lighttpd",
            "busybox": "busybox", "strace": "strace", "ab": "apache2-utils",
            "openssl": "openssl", "sslscan": "sslscan", "testssl": "testssl.sh",
            "curl": "curl", "chromium": "chromium", "h2load": "nghttp2-client", "goaccess": "goaccess"}
# What to install, by the package itself: the libraries of the content codings
# that the release build links (without one, tavi is built without that
# coding), the Python manual the compression cells serve, the br decoder
# that checks what they get, and what draws the chart.
DEBS = ["libbrotli-dev", "libzstd-dev", "zlib1g-dev", "python3.11-doc", "python3-brotli",
        "python3-matplotlib"]

# Idle connections nginx makes room for beyond wrk's.
CROWD_IDLE = 10000
HARD = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
NOFILE = HARD if 0 < HARD < 1 << 20 else 1 << 20


def install_missing():
    missing = [pkg for cmd, pkg in PACKAGES.items() if not which(cmd)]
    if which("busybox") and subprocess.run(["busybox", "httpd", "--help"],
                                           capture_output=True).returncode not in (0, 1):
        missing.append("busybox")
    if subprocess.run([PYTHON, "-c", "import requests"], capture_output=True).returncode:
        missing.append("python3-requests")
    for pkg in DEBS:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
        if r.stdout != "install ok installed":
            missing.append(pkg)
    if not missing:
        return
    say(f"installing {' '.join(missing)} from Debian's packages")
    apt_install(missing)
    still = [cmd for cmd in PACKAGES if not which(cmd)]
    if still:
        sys.exit(f"still missing after install: {' '.join(still)}")


def apt_install(pkgs, check=True):
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    lock = ["-o", "DPkg::Lock::Timeout=600"]
    if check:  # a first install: the lists may be old
        subprocess.run(sudo + ["apt-get", "-q", *lock, "update"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-q", *lock, "--no-install-recommends", *pkgs],
                   env=env, check=check, stdout=subprocess.DEVNULL)


def build():
    say("building tavi: cmake --workflow --preset release, and the static preset")
    t = time.monotonic()
    for step in (["--workflow", "--preset", "release"], ["--preset", "static"],
                 ["--build", "--preset", "static"]):
        r = subprocess.run(["cmake", *step], cwd=REPO, capture_output=True, text=True)
        if r.returncode != 0:
            say(r.stdout[-4000:] + r.stderr[-4000:])
            sys.exit("build failed")
    say(f"  built in {time.monotonic() - t:.1f} s")


def make_tree(top):
    www = os.path.join(top, "www")
    site = os.path.join(www, "a")  # tavi's fallback site; the others' root
    os.makedirs(site)
    for name, size in FILES:
        with open(os.path.join(site, name), "wb") as f:
            left = size
            while left:
                n = min(left, 1 << 20)
                f.write(os.urandom(n))
                left -= n
    # nginx's worker runs as nobody.
    for d in (top, www, site):
        os.chmod(d, 0o755)
    for name, _ in FILES:
        os.chmod(os.path.join(site, name), 0o644)
    return www, site


def peers(top, www, site):
    ngx = os.path.join(top, "nginx")
    os.makedirs(ngx)
    os.chmod(ngx, 0o755)
    with open(os.path.join(ngx, "nginx.conf"), "w") as f:
        f.write(f"""worker_processes 1;
worker_rlimit_nofile {NOFILE};
daemon off;
pid {ngx}/nginx.pid;
error_log {ngx}/error.log warn;
events {{ worker_connections {CROWD_IDLE + 2000}; }}
http {{
    access_log off;
    keepalive_timeout 0;
    sendfile on;
    default_type application/octet-stream;
    client_body_temp_path {ngx}/body;
    proxy_temp_path {ngx}/proxy;
    fastcgi_temp_path {ngx}/fastcgi;
    uwsgi_temp_path {ngx}/uwsgi;
    scgi_temp_path {ngx}/scgi;
    server {{
        listen 127.0.0.1:@PORT@;
        root {site};
    }}
}}
""")
    lig = os.path.join(top, "lighttpd")
    os.makedirs(lig)
    with open(os.path.join(lig, "lighttpd.conf.in"), "w") as f:
        f.write(f"""server.document-root = "{site}"
server.bind = "127.0.0.1"
server.port = @PORT@
server.errorlog = "{lig}/error.log"
mimetype.assign = ("" => "application/octet-stream")
""")
    bb = os.path.join(top, "busybox.conf")
    open(bb, "w").close()
    static = [Server("tavi static", [TAVI_STATIC, "@PORT@", "127.0.0.1"], www)
              ] if os.access(TAVI_STATIC, os.X_OK) else []
    return [
        Server("tavi", [TAVI, "@PORT@", "127.0.0.1"], www), *static,
        Server("nginx", [which("nginx"), "-p", ngx + "/", "-c", f"{ngx}/nginx.conf",
                         "-e", f"{ngx}/error.log"], ngx),
        Server("lighttpd", [which("lighttpd"), "-D", "-f", f"{lig}/lighttpd.conf"], lig),
        Server("busybox", [which("busybox"), "httpd", "-f", "-p", "127.0.0.1:@PORT@",
                           "-h", site, "-c", bb], site, slow=True,
               note="forks per connection: CPU counts reaped children, memory the parent only"),
        Server("python", [PYTHON, "-m", "http.server", "@PORT@", "--bind", "127.0.0.1",
                          "--directory", site], site, slow=True,
               note="http.server, a thread per connection"),
    ]


def start_all(servers, top):
    used = set()
    for s in servers:
        port = port_free()
        while port in used:
            port = port_free()
        used.add(port)
        if s.name == "nginx":
            conf = os.path.join(top, "nginx", "nginx.conf")
            with open(conf) as f:
                text = f.read()
            with open(conf, "w") as f:
                f.write(text.replace("@PORT@", str(port)))
        if s.name == "lighttpd":
            lig = os.path.join(top, "lighttpd")
            with open(os.path.join(lig, "lighttpd.conf.in")) as f:
                text = f.read()
            with open(os.path.join(lig, "lighttpd.conf"), "w") as f:
                f.write(text.replace("@PORT@", str(port)))
        if not s.start(port, top):
            with open(os.path.join(top, s.name + ".err"), errors="replace") as f:
                s.broken = "did not start: " + f.read()[-300:].strip()


def check(servers, site):
    say("\n== byte-for-byte check (GET of every file)")
    for s in servers:
        if s.broken:
            say(f"  {s.name:11s} {s.broken}")
            continue
        bad, closes = [], True
        for name, _ in FILES:
            with open(os.path.join(site, name), "rb") as f:
                want = f.read()
            try:
                status, says_close, _, body = get(s.port, "/" + name)
            except (OSError, http.client.HTTPException) as e:
                bad.append(f"{name}: {e}")
                continue
            if status != 200 or body != want:
                bad.append(f"{name}: status {status}, {len(body)} of {len(want)} bytes"
                           f"{'' if body == want else ', differs'}")
            closes = closes and says_close
        if bad:
            s.broken = "; ".join(bad)
            say(f"  {s.name:11s} FAILED: {s.broken}")
        else:
            say(f"  {s.name:11s} ok on port {s.port}")
            if not closes:
                say(f"  {'':11s} its HTTP/1.1 responses carry no 'Connection: close': wrk takes"
                    " them as keep-alive, sends its next request on the connection and"
                    " counts the close as a read error, one per request")


def pair_up(www, ngx, template, lua, conf, tavi=None, https=False, log=None, nofile=NOFILE):
    """tavi --web (or tavi run as the argv tavi) and nginx started with
    descriptor limits raised (to nofile: beyond the hard limit as root),
    warmed up (over HTTPS with https), tavi's log lines in the file log if
    given; None when one does not start."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
    conf = os.path.join(ngx, conf)
    pair = [Server("tavi --web", tavi or [TAVI, "--web", "@PORT@", "127.0.0.1"], www, log=log),
            Server("nginx", [which("nginx"), "-p", ngx + "/", "-c", conf, "-e", f"{ngx}/error.log"], ngx)]
    for s in pair:
        port = port_free()
        with open(conf, "w") as f:
            f.write(template.replace("@PORT@", str(port)))
        if not s.start(port, os.path.dirname(ngx)):
            say(f"  {s.name} did not start")
            for other in pair:
                other.stop()
            return None
        wrk(s.port, "1k.bin", 4, 1, lua, https=https)
    return pair


def kept(template):
    """The peers' nginx.conf keeping connections, as the cells after the
    crowds set it: 75 s, 1,000 requests each."""
    return template.replace("keepalive_timeout 0;", "keepalive_timeout 75s;\n"
                            "    keepalive_requests 1000;")


def versions():
    """{tool: its version line} for the load tools and peers, and tavi's git
    revision (with -dirty for a changed tree)."""
    found = {}
    for name, argv in (("wrk", ["wrk", "-v"]), ("ab", ["ab", "-V"]), ("openssl", ["openssl", "version"]),
                       ("h2load", ["h2load", "--version"]), ("nginx", ["nginx", "-v"]),
                       ("lighttpd", ["lighttpd", "-v"]), ("busybox", ["busybox"]),
                       ("python", [PYTHON, "--version"]),
                       ("tavi", ["git", "-C", REPO, "describe", "--always", "--dirty", "--abbrev=12"])):
        path = which(argv[0])
        if not path:
            found[name] = None
            continue
        r = subprocess.run([path] + argv[1:], capture_output=True, text=True)
        lines = (r.stdout + r.stderr).strip().splitlines()
        found[name] = lines[0].strip() if lines else None
    return found
