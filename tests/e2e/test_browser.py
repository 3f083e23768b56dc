"""Headless Chromium on the demo tree (www): the listing of /docs/ names
every entry, its folder link (no trailing slash) reaches the folder's listing
through the 303, and a file whose name holds a blank and an accented letter
arrives through the link its listing gives. In --web mode a site's page runs
a module that imports another, shows an SVG, instantiates a wasm stream and
seeks in a video, and its UTF-8 text reads right without a meta charset,
while every request after the first carries a UTF-8 cookie."""
import html.parser
import re
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse
from pathlib import Path

from tavi import HOST, SLOW, ServerCase

HERE = Path(__file__).resolve().parent
WWW = HERE.parents[1] / "www"
CHROMIUM = shutil.which("chromium")
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
NOTE = "première note.txt"


class Page(html.parser.HTMLParser):
    """A rendered page: its links as (href, text), and the text of each kind of element."""

    def __init__(self, dom):
        super().__init__()
        self.links, self.texts, self._tag = [], {}, None
        self.feed(dom)
        self.title = self.texts.get("title", "")

    def handle_starttag(self, tag, attrs):
        self._tag = tag
        if tag == "a":
            self.links.append([dict(attrs)["href"], ""])

    def handle_endtag(self, tag):
        self._tag = None

    def handle_data(self, data):
        self.texts[self._tag] = self.texts.get(self._tag, "") + data
        if self._tag == "a":
            self.links[-1][1] += data


def logline(path):
    return path[:64].ljust(64) + b"127.000.000.001\n"


class Chromium:
    def dump(self, url, *flags):
        """The page's DOM as Chromium renders it, from a profile of its own."""
        with tempfile.TemporaryDirectory(prefix="tavi-chromium-") as profile:
            done = subprocess.run([CHROMIUM, *FLAGS, *flags, f"--user-data-dir={profile}", "--dump-dom", url],
                                  capture_output=True, timeout=60 * SLOW)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        return done.stdout.decode()

    def load(self, url):
        return Page(self.dump(url))


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class Browser(Chromium, ServerCase):
    def setUp(self):
        tree = {str(p.relative_to(WWW)): p.read_bytes() for p in WWW.rglob("*") if p.is_file()}
        self.srv = self.serve(tree)
        self.base = f"http://{HOST}:{self.srv.port}"

    def listing(self, url, folder):
        """Loads a listing; each link of it must lead to an entry of folder, in order."""
        page = self.load(url)
        names = sorted(p.name for p in folder.iterdir())
        self.assertEqual([urllib.parse.unquote(href) for href, _ in page.links],
                         [page.title + ".."] + [page.title + name for name in names])
        return page

    def test_listing_links_and_redirect(self):
        docs = self.listing(self.base + "/docs/", WWW / "a" / "docs")
        self.assertEqual(docs.title, "/docs/")
        href = next(href for href, _ in docs.links if urllib.parse.unquote(href) == "/docs/notes")
        notes = self.listing(urllib.parse.urljoin(self.base + "/docs/", href), WWW / "a" / "docs" / "notes")
        self.assertEqual(notes.title, "/docs/notes/")
        log = (self.srv.dir / "stdout").read_bytes()
        self.assertIn(logline(b"/docs/notes") + logline(b"/docs/notes/"), log)  # the browser followed the 303
        href = next(href for href, _ in notes.links if urllib.parse.unquote(href).endswith(NOTE))
        text = self.load(urllib.parse.urljoin(self.base + "/docs/notes/", href)).texts.get("pre")
        self.assertEqual(text, (WWW / "a" / "docs" / "notes" / NOTE).read_text())
        self.assertIn(logline(b"/docs/notes/premi%C3%A8re%20note.txt"), (self.srv.dir / "stdout").read_bytes())

    def test_listing_shows_every_name(self):
        # The page is the names' bytes and declares no character set, so the
        # browser reads them in its default (windows-1252), as it would any
        # such page; each entry still shows, in byte order.
        docs = self.load(self.base + "/docs/")
        names = sorted(p.name for p in (WWW / "a" / "docs").iterdir())
        shown = [name.encode().decode("cp1252", errors="replace") for name in names]
        self.assertEqual([text for _, text in docs.links], [".."] + shown)


# The page writes what each part came to into its paragraphs.
SITE = {
    "a/index.html": """<!doctype html><title>web</title>
<p id="text">café ✓</p><p id="module">-</p><p id="wasm">-</p><p id="svg">-</p><p id="video">-</p>
<img id="pic" src="pic.svg"><video id="clip" src="clip.webm" muted preload="auto"></video>
<script>document.cookie = "greeting=café; path=/";</script><script type="module" src="main.mjs"></script>
""".encode(),
    "a/lib.js": b'export const word = "module ran";\n',
    "a/main.mjs": b"""import { word } from "./lib.js";
const show = (id, text) => { document.getElementById(id).textContent = text; };
show("module", word);
const pic = document.getElementById("pic");
pic.decode().then(() => show("svg", "svg " + pic.naturalWidth), () => show("svg", "svg broken"));
WebAssembly.instantiateStreaming(fetch("add.wasm")).then(
  ({ instance }) => show("wasm", "wasm " + instance.exports.add(2, 3)), (e) => show("wasm", String(e)));
const clip = document.getElementById("clip");
const seek = () => { clip.onseeked = () => show("video", "seeked to " + clip.currentTime); clip.currentTime = 3; };
if (clip.readyState >= 1) seek(); else clip.onloadedmetadata = seek;
""",
    "a/pic.svg": b'<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><rect width="20" height="10"/></svg>',
    # (module (func (export "add") (param i32 i32) (result i32) local.get 0 local.get 1 i32.add))
    "a/add.wasm": bytes.fromhex("0061736d0100000001070160027f7f017f030201000707010361646400000a09010700200020016a0b"),
    # Four seconds of 32x24 VP8 at 5 frames a second, a key frame each second.
    "a/clip.webm": (HERE / "clip.webm").read_bytes(),
}


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class WebSite(Chromium, ServerCase):
    def test_each_part_runs(self):
        srv = self.serve(SITE, flags=["--web"])
        # Virtual time runs on only while nothing is loading: the page's work is done when it ends.
        dom = self.dump(f"http://{HOST}:{srv.port}/", "--virtual-time-budget=20000")
        shown = dict(re.findall(r'<p id="(\w+)">([^<]*)</p>', dom))
        self.assertEqual(shown, {"text": "café ✓", "module": "module ran", "wasm": "wasm 5", "svg": "svg 20",
                                 "video": "seeked to 3"})


if __name__ == "__main__":
    unittest.main()
