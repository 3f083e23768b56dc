"""A certificate obtained by ACME through tavi's plain port, all on loopback:
pebble (the ACME test server, its names answered 127.0.0.1 by
pebble-challtestsrv) checks lego's HTTP-01 token in the site's folder while
every other plain request gets 308; lego's run hook copies the pair into the
certificates folder, and new handshakes for that name show it within 2 s,
from the same process."""
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from tavi import HOST, SLOW, TARGET, ServerCase, free_port
from test_tls import issue, openssl

TOOLS = ("openssl", "pebble", "pebble-challtestsrv", "lego")
NAME = "site.test"
# lego's --run-hook: puts the pair it obtained where tavi looks. Each file
# lands whole by a rename; between the two a look may find a mismatched pair,
# which tavi reports and skips, keeping the last good one until the next look.
HOOK = """#!/bin/sh
set -eu
site="$TAVI_CERTS/$LEGO_CERT_DOMAIN"
mkdir -p "$site"
cp "$LEGO_CERT_KEY_PATH" "$site/privkey.pem.new"
cp "$LEGO_CERT_PATH" "$site/fullchain.pem.new"
mv -f "$site/privkey.pem.new" "$site/privkey.pem"
mv -f "$site/fullchain.pem.new" "$site/fullchain.pem"
"""


@unittest.skipUnless(all(map(shutil.which, TOOLS)) and TARGET.name == "posix",
                     f"ACME: {', '.join(TOOLS)} (.ci/provide tests), and the Linux build")
class Acme(ServerCase):
    def spawn(self, args, ready, env=None):
        """A helper program until the test ends, once it accepts on port ready."""
        log = self.tmp / f"{args[0]}.log"
        with open(log, "wb") as out:
            proc = subprocess.Popen(args, cwd=self.tmp, env={**os.environ, **(env or {})}, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: proc.poll() is None and (proc.terminate(), proc.wait(10)))
        end = time.monotonic() + 10 * SLOW
        while proc.poll() is None and time.monotonic() < end:
            try:
                socket.create_connection((HOST, ready), timeout=1).close()
                return proc
            except OSError:
                time.sleep(0.05)
        self.fail(f"{args[0]} did not start: {log.read_text()[-2000:]}")

    def test_lego_through_the_plain_port(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="tavi-acme-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=tavi test CA", "-keyout", "ca.key", "-out", "ca.pem", cwd=self.tmp)
        certs = self.tmp / "certs"
        issue(self.tmp, certs / "a", "a.test")
        issue(self.tmp, self.tmp / "pebble", "pebble.test")  # pebble's own, for its API on 127.0.0.1
        tls = free_port()
        srv = self.serve({"a/x.txt": b"x"}, flags=["--web", "--certs", certs, "--https", tls],
                         stderr=re.compile(rf"(?:[^\n]*{re.escape(NAME)}/[^\n]*\n)*"))
        # The name as pebble sends it in the Host header names the site's folder.
        site = srv.root / f"{NAME}:{srv.port}"
        site.mkdir()

        dns, api = free_port(), free_port()
        self.spawn(["pebble-challtestsrv", "-defaultIPv4", HOST, "-defaultIPv6", "", "-dns01", f"{HOST}:{dns}",
                    "-http01", "", "-https01", "", "-tlsalpn01", "", "-management", f"{HOST}:{free_port()}"],
                   ready=dns)
        config = {"pebble": {"listenAddress": f"{HOST}:{api}", "managementListenAddress": "",
                             "certificate": "pebble/fullchain.pem", "privateKey": "pebble/privkey.pem",
                             "httpPort": srv.port, "tlsPort": free_port(), "ocspResponderURL": "",
                             "externalAccountBindingRequired": False}}
        (self.tmp / "pebble.json").write_text(json.dumps(config))
        self.spawn(["pebble", "-config", "pebble.json", "-dnsserver", f"{HOST}:{dns}"],
                   env={"PEBBLE_VA_NOSLEEP": "1", "PEBBLE_WFE_NONCEREJECT": "0"}, ready=api)
        (self.tmp / "hook").write_text(HOOK)
        (self.tmp / "hook").chmod(0o755)
        lego = subprocess.run(["lego", "--server", f"https://{HOST}:{api}/dir", "--accept-tos", "--email",
                               f"admin@{NAME}", "--domains", NAME, "--http", "--http.webroot", site,
                               "--path", self.tmp / "lego", "run", "--run-hook", self.tmp / "hook"],
                              env={**os.environ, "LEGO_CA_CERTIFICATES": str(self.tmp / "ca.pem"),
                                   "TAVI_CERTS": str(certs)},
                              cwd=self.tmp, capture_output=True, timeout=40 * SLOW)
        self.assertEqual(lego.returncode, 0, lego.stderr.decode()[-3000:])
        self.assertIn(f"{NAME}:{srv.port}/.well-known/acme-challenge/".encode(), (srv.dir / "stdout").read_bytes())
        moved = srv.talk(f"GET /x.txt HTTP/1.1\r\nHost: {NAME}\r\nConnection: close\r\n\r\n".encode())[0]
        self.assertTrue(moved.startswith(b"HTTP/1.1 308 "), moved)

        got = (self.tmp / f"lego/certificates/{NAME}.crt").read_text()
        self.assertEqual((certs / NAME / "fullchain.pem").read_text(), got)  # the hook ran
        want = ssl.PEM_cert_to_DER_cert(got[:got.index("-----END CERTIFICATE-----") + 25])
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
        end = time.monotonic() + 2.5 * SLOW
        while True:
            with ctx.wrap_socket(socket.create_connection((HOST, tls), timeout=5 * SLOW), server_hostname=NAME) as s:
                shown = s.getpeercert(binary_form=True)
            if shown == want or time.monotonic() > end:
                break
            time.sleep(0.1)
        # Still the first process: ServerCase fails the test if it ended.
        self.assertTrue(shown == want, f"a handshake for {NAME} still shows another certificate after 2 s")


if __name__ == "__main__":
    unittest.main()
