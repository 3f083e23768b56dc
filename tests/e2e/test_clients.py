"""Real clients: curl fetches files and follows the redirect, wget mirrors a
site through its listing pages."""
import os
import random
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from sitekit import page
from tavi import HOST, SLOW, ServerCase

DEMO = {
    "a/home/index.htm": b"<p>home</p>\n",
    "a/other/secret.txt": b"not below the start",
    "a/demo/readme.txt": b"read me\r\n",
    "a/demo/sp ace.txt": b"a space\n",
    "a/demo/café.txt": b"caf\xc3\xa9\n",
    "a/demo/empty.txt": b"",
    "a/demo/sub/deep.bin": b"\r\n\0" + random.Random(3).randbytes(70000),
    "a/demo/sub/empty/": None,
    "a/demo/répertoire x/note.txt": b"note\n",
}
DIRECTORY = "/demo/r\u00e9pertoire x/".encode()
LINKED = b"/demo/r%C3%A9pertoire%20x/"


def tool(name, args, cwd=None):
    if not shutil.which(name):
        raise unittest.SkipTest(f"{name} is not installed")
    return subprocess.run([name] + args, cwd=cwd, capture_output=True, timeout=60 * SLOW)


class Clients(ServerCase):
    def setUp(self):
        self.srv = self.serve(DEMO)
        self.url = f"http://{HOST}:{self.srv.port}"

    def curl(self, target, *options):
        done = tool("curl", ["-sS", "--max-time", str(int(10 * SLOW)), *options, self.url + target])
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        return done.stdout

    def test_curl(self):
        self.assertEqual(self.curl("/demo/sub/deep.bin"), DEMO["a/demo/sub/deep.bin"])
        self.assertEqual(self.curl("/demo/caf%C3%A9.txt"), DEMO["a/demo/café.txt"])
        self.assertEqual(self.curl("/demo/empty.txt"), b"")
        follow = ["-L", "-w", "\n%{http_code} %{num_redirects} %{url_effective}"]
        self.assertEqual(self.curl("/home", *follow), b"<p>home</p>\n\n200 1 " + self.url.encode() + b"/home/")
        listing = page(DIRECTORY, b"Directory of [" + DIRECTORY + b"]",
                       [(LINKED + b"..", b".."), (LINKED + b"note.txt", b"note.txt")])
        self.assertEqual(self.curl(LINKED[:-1].decode(), *follow),
                         listing + b"\n200 1 " + self.url.encode() + LINKED)

    def test_wget_mirrors_the_site(self):
        out = Path(tempfile.mkdtemp(prefix="tavi-wget-"))
        self.addCleanup(shutil.rmtree, out, True)
        # Each answer ends with a close: a kept-alive connection would be
        # found closed at the next request. Listing pages are saved under the
        # name the redirect gives them, as index.html in their folder.
        done = tool("wget", ["--recursive", "--no-parent", "--no-host-directories", "--no-http-keep-alive",
                             "--trust-server-names", "-e", "robots=off", "--tries=1",
                             f"--timeout={int(10 * SLOW)}", "--no-verbose", self.url + "/demo/"], cwd=out)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(os.listdir(out), ["demo"])  # nothing above the start
        pages = sorted(str(p.relative_to(out)) for p in out.rglob("index.html"))
        self.assertEqual(pages, ["demo/index.html", "demo/répertoire x/index.html", "demo/sub/empty/index.html",
                                 "demo/sub/index.html"])
        for name in pages:
            self.assertTrue((out / name).read_bytes().startswith(b"<html><head><title>/demo/"), name)
            (out / name).unlink()
        done = subprocess.run(["diff", "-r", self.srv.root / "a" / "demo", out / "demo"], capture_output=True,
                              timeout=30)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", b""))


if __name__ == "__main__":
    unittest.main()
