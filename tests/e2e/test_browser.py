"""Headless Chromium on the demo tree (www): the listing of /docs/ names
every entry, its folder link (no trailing slash) reaches the folder's listing
through the 303, and a file whose name holds a blank and an accented letter
arrives through the link its listing gives."""
import html.parser
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse
from pathlib import Path

from tavi import HOST, SLOW, ServerCase

WWW = Path(__file__).resolve().parents[2] / "www"
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


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class Browser(ServerCase):
    def setUp(self):
        tree = {str(p.relative_to(WWW)): p.read_bytes() for p in WWW.rglob("*") if p.is_file()}
        self.srv = self.serve(tree)
        self.base = f"http://{HOST}:{self.srv.port}"

    def load(self, url):
        """The page as Chromium renders it, from a profile of its own."""
        with tempfile.TemporaryDirectory(prefix="tavi-chromium-") as profile:
            done = subprocess.run([CHROMIUM, *FLAGS, f"--user-data-dir={profile}", "--dump-dom", url],
                                  capture_output=True, timeout=60 * SLOW)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        return Page(done.stdout.decode())

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

if __name__ == "__main__":
    unittest.main()
