"""Serving sites: the host search, the answer for each kind of target, the
listing page and the log line, byte for byte."""
import unittest

from sitekit import BAD_ONE, BAD_TWO, NOT_FOUND, Log, get, listed, logline, moved, ok
from tavi import ServerCase, onsix

TREE = {
    "a/f.txt": b"hello\n",
    "a/empty.txt": b"",
    "a/docs/index.htm": b"<p>docs</p>\n",
    "a/docs/note.txt": b"note",
    "a/list/a.txt": b"", "a/list/B": b"", "a/list/a": b"", "a/list/sub/": None,
    "a/hollow/": None,
    "box/docs/b.txt": b"b", "box/docs/A": b"A", "box/docs/sub/": None,
    "file.host": b"whole\n",
}
ROWS = lambda prefix, names: [(prefix + name, name) for name in names]


class Answers(ServerCase):
    def setUp(self):
        self.srv = self.serve(TREE)
        self.log = Log(self.srv)

    def test_each_kind_of_target(self):
        box = b"http://box:%d/docs/" % self.srv.port
        cases = [
            # name, host, target, answer, log text
            ("missing file", b"a", b"/nope", NOT_FOUND, b"/nope"),
            ("missing folder", b"a", b"/no/such/", NOT_FOUND, b"/no/such/"),
            ("file", b"a", b"/f.txt", ok(b"hello\n"), b"/f.txt"),
            ("empty file", b"a", b"/empty.txt", ok(b""), b"/empty.txt"),
            ("file with a trailing slash", b"a", b"/f.txt/", ok(b"hello\n"), b"/f.txt/"),
            ("query dropped", b"a", b"/f.txt?x=1&y=/..", ok(b"hello\n"), b"/f.txt"),
            ("absolute target", b"a", b"http://other/f.txt", ok(b"hello\n"), b"/f.txt"),
            ("folder without slash", b"a", b"/docs", moved(b"/docs/"), b"/docs"),
            ("its query not carried over", b"a", b"/docs?x=1", moved(b"/docs/"), b"/docs"),
            ("index file", b"a", b"/docs/", ok(b"<p>docs</p>\n"), b"/docs/"),
            ("two slashes keep one", b"a", b"/docs//", ok(b"<p>docs</p>\n"), b"/docs//"),
            ("listing in byte order", b"a", b"/list/",
             listed(b"/list/", b"Directory of [/list/]",
                    [(b"/list/..", b"..")] + ROWS(b"/list/", [b"B", b"a", b"a.txt", b"sub"])), b"/list/"),
            ("empty listing", b"a", b"/hollow/",
             listed(b"/hollow/", b"Directory of [/hollow/]", [(b"/hollow/..", b"..")]), b"/hollow/"),
            ("top listing", b"a", b"/",
             listed(b"/", b"Directory of [/]",
                    ROWS(b"/", [b"docs", b"empty.txt", b"f.txt", b"hollow", b"list"])), b"/"),
            ("listing of a named site", b"box", b"/docs/",
             listed(b"/docs/", box, [(b"/docs/..", b"..")] + ROWS(b"/docs/", [b"A", b"b.txt", b"sub"])),
             b"box/docs/"),
            ("its subfolder", b"box", b"/docs/sub", moved(b"/docs/sub/"), b"box/docs/sub"),
            ("site that is a file", b"file.host", b"/", ok(b"whole\n"), b"file.host/"),
            ("path below a site file", b"file.host", b"/x", NOT_FOUND, b"file.host/x"),
            ("long path cut at 64", b"a", b"/" + b"x" * 90, NOT_FOUND, b"/" + b"x" * 90),
            ("long site path cut at 64", b"box", b"/docs/" + b"y" * 70, NOT_FOUND, b"box/docs/" + b"y" * 70),
        ]
        for name, host, target, want, todo in cases:
            with self.subTest(name):
                self.assertEqual(self.srv.talk(get(target, host)), want)
                self.assertEqual(self.log.new(), self.log.line(todo))
        self.assertEqual(len(logline(b"/" + b"x" * 90)), 80)

    def test_every_method_answered_alike(self):
        for target in (b"/f.txt", b"/empty.txt", b"/docs", b"/docs/", b"/list/", b"/nope"):
            want = self.srv.talk(get(target))
            for method in (b"HEAD", b"POST", b"PUT", b"DELETE", b"brew"):
                with self.subTest(target=target, method=method):
                    self.assertEqual(self.srv.talk(get(target, method=method)), want)
        # A body announced and sent is never read.
        self.assertEqual(self.srv.talk(b"POST /f.txt HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello"),
                         ok(b"hello\n"))
        self.assertEqual(self.log.new().count(b"\n"), 6 * 6 + 1)


class Hosts(ServerCase):
    TREE = {name + "/who": name.encode() for name in ("a", "y.z", "z", "x.y", "y:8080", "a/sub")}

    def test_search_from_the_full_name_to_a(self):
        srv = self.serve(self.TREE)
        log = Log(srv)
        cases = [  # host, the site that answers
            (b"y.z", b"y.z"), (b"p.y.z", b"y.z"), (b"p.q.y.z", b"y.z"), (b"Y.Z", b"y.z"),
            (b".y.z", b"y.z"), (b"q.z", b"z"), (b"p.q.z", b"z"), (b"z", b"z"),
            (b"q", b"a"), (b"p.q", b"a"), (b"127.0.0.1", b"a"), (b"a", b"a"), (b"x.y", b"x.y"),
            # The port stays in the name: x.y:8080, y:8080, a.
            (b"x.y:8080", b"y:8080"), (b"x.y:9090", b"a"), (b"p.x.y:8080", b"y:8080"),
        ]
        for host, site in cases:
            with self.subTest(host):
                self.assertEqual(srv.talk(get(b"/who", host)), ok(site))
                self.assertEqual(log.new(), log.line(b"/who" if site == b"a" else site + b"/who"))

    def test_bad_hosts_are_not_logged(self):
        srv = self.serve(self.TREE)
        log = Log(srv)
        for host in (b"x.y.", b"y.z.", b".", b"..", b"a/sub", b"a\\sub", b"../a", b"..\\a", b"/", b"\\",
                     b"y.z/", b"a/..", b"p.y.z/../a"):
            with self.subTest(host):
                self.assertEqual(srv.talk(get(b"/who", host)), BAD_ONE)
        self.assertEqual(log.new(), b"")
        self.assertEqual(srv.talk(get(b"/who", b"y.z")), ok(b"y.z"))
        self.assertEqual(log.new(), log.line(b"y.z/who"))

    def test_no_fallback_site(self):
        srv = self.serve({"y.z/who": b"y.z", "z.q/": None})
        log = Log(srv)
        for host in (b"q", b"x.q", b"a.b.c", b"z", b"z.q:80"):
            with self.subTest(host):
                self.assertEqual(srv.talk(get(b"/who", host)), BAD_TWO)
        self.assertEqual(log.new(), b"")
        self.assertEqual(srv.talk(get(b"/who", b"x.y.z")), ok(b"y.z"))
        self.assertEqual(log.new(), log.line(b"y.z/who"))


class Names(ServerCase):
    """Paths that climb out, percent-escapes, and names that HTML or a URL
    would read as markup."""
    ODD = ["\"><script>x", "#frag", "50%", "a&b", "it's", "q?x", "sp ace", "é"]
    TREE = {
        "secret": b"outside every site",
        "a/sub/f": b"f", "a/..x": b"dots", "a/with space.txt": b"space", "a/café.txt": b"cafe",
        "a/A.txt": b"A", "a/%zz": b"zz", "a/100%": b"pct", "a/x%4": b"x4", "a/x\ny": b"lf",
        "a/evil/": None, "a/\\evil/": None, "a/\"d/": None,
        **{"a/<&>/" + name: name.encode() for name in ODD},
    }

    def setUp(self):
        self.srv = self.serve(self.TREE)
        self.log = Log(self.srv)

    def check(self, cases):
        for target, want in cases:
            with self.subTest(target):
                self.assertEqual(self.srv.talk(get(target)), want)
                self.assertEqual(self.log.new(), self.log.line(target.split(b"?")[0]))  # as received

    def test_no_way_out_of_the_site(self):
        self.check([(target, NOT_FOUND) for target in (
            b"/../secret", b"/%2e%2e/secret", b"/%2E%2e/secret", b"/.%2e/secret", b"/%2e%2e%2fsecret",
            b"/sub/..%2f..%2fsecret", b"/sub/%2e%2e/%2E%2E/secret", b"/sub/../sub/f", b"/..", b"/..?x",
            b"/sub/..", b"/sub/../", b"/..%5csecret", b"/sub/..%5c..%5csecret")] + [
            (b"/..x", ok(b"dots")), (b"/./sub/f", ok(b"f")), (b"/sub/f", ok(b"f"))])

    def test_percent_escapes(self):
        self.check([
            (b"/with%20space.txt", ok(b"space")), (b"/caf%C3%A9.txt", ok(b"cafe")),
            (b"/caf%c3%a9.txt", ok(b"cafe")), (b"/%41.txt", ok(b"A")), (b"/%41%2etxt", ok(b"A")),
            (b"/sub%2Ff", ok(b"f")), (b"/%zz", ok(b"zz")), (b"/100%", ok(b"pct")), (b"/100%25", ok(b"pct")),
            (b"/x%4", ok(b"x4")), (b"/x%0ay", NOT_FOUND), (b"/x%0Ay", NOT_FOUND), (b"/x%0dy", NOT_FOUND),
            (b"/%00", NOT_FOUND), (b"/sub/f%00", NOT_FOUND), (b"/%1f", NOT_FOUND), (b"/%7F", NOT_FOUND),
            (b"/caf%C3%A9.tx", NOT_FOUND)])

    def test_listing_escapes_names_and_encodes_links(self):
        href = b"/%3C%26%3E/"
        rows = [(href + b"..", b".."),
                (href + b"%22%3E%3Cscript%3Ex", b"&quot;&gt;&lt;script&gt;x"), (href + b"%23frag", b"#frag"),
                (href + b"50%25", b"50%"), (href + b"a%26b", b"a&amp;b"), (href + b"it%27s", b"it&#39;s"),
                (href + b"q%3Fx", b"q?x"), (href + b"sp%20ace", b"sp ace"), (href + b"%C3%A9", "é".encode())]
        self.check([(href, listed(b"/&lt;&amp;&gt;/", b"Directory of [/&lt;&amp;&gt;/]", rows))])
        # Every link leads to its file.
        self.check([(link, ok(name.encode())) for (link, _), name in zip(rows[1:], self.ODD)])
        # A page path that begins "//" would be another host to a browser.
        self.check([(b"//sub/", listed(b"//sub/", b"Directory of [//sub/]",
                                       [(b"/%2Fsub/..", b".."), (b"/%2Fsub/f", b"f")])),
                    (b"/%2Fsub/f", ok(b"f"))])

    def test_redirects_stay_on_this_host(self):
        self.check([
            (b"//evil", moved(b"/evil/")), (b"///evil", moved(b"/evil/")), (b"/\\evil", moved(b"/evil/")),
            (b"/%2F%2Fevil", moved(b"/%2F%2Fevil/")), (b"/evil", moved(b"/evil/")),
            (b'/"d', moved(b'/"d/', b"/&quot;d/")), (b"/%22d?x", moved(b"/%22d/")),
            (b"/<&>", moved(b"/<&>/", b"/&lt;&amp;&gt;/")), (b"/%3C%26%3E", moved(b"/%3C%26%3E/"))])


class Scripts(ServerCase):
    """Names in any script are UTF-8 on the wire and in the listing on every
    system, whatever the served folder itself is called."""
    LINKS = {  # name: its link in the top listing
        "A.txt": b"/A.txt", "b": b"/b", "café.txt": b"/caf%C3%A9.txt",
        "première note.txt": b"/premi%C3%A8re%20note.txt", "日本.txt": b"/%E6%97%A5%E6%9C%AC.txt",
        "😀.txt": b"/%F0%9F%98%80.txt", "\ufffd.txt": b"/%EF%BF%BD.txt",
    }
    # Not UTF-8: a lenient reading would name one of the files above (as the
    # replacement character, or by an overlong '.' or '/', or surrogates).
    INVALID = [b"/%FF.txt", b"/%80.txt", b"/%C3.txt", b"/caf%C3%A9%C0%AEtxt", b"/..%C0%AFsecret",
               b"/%ED%A0%BD%ED%B8%80.txt", b"/%F0%9F%98.txt", b"/%F4%90%80%80.txt", b"/%F8%88%80%80%80.txt"]

    def test_names_in_every_script(self):
        tree = {"secret": b"beside the site", "a/répertoire/x.txt": b"x",
                **{"a/" + name: name.encode() for name in self.LINKS}}
        links = {**self.LINKS, "répertoire": b"/r%C3%A9pertoire"}
        rows = sorted(((link, name.encode()) for name, link in links.items()), key=lambda row: row[1])
        inner = "/répertoire/".encode()
        for root in ("root", "rôot 日本 😀"):
            with self.subTest(root=root):
                srv = self.serve(tree, root=root)
                self.assertEqual(srv.talk(get(b"/")), listed(b"/", b"Directory of [/]", rows))
                for name, link in self.LINKS.items():
                    self.assertEqual(srv.talk(get(link)), ok(name.encode()), name)
                self.assertEqual(srv.talk(get(b"/r%C3%A9pertoire/")),
                                 listed(inner, b"Directory of [" + inner + b"]",
                                        [(b"/r%C3%A9pertoire/..", b".."), (b"/r%C3%A9pertoire/x.txt", b"x.txt")]))
                for target in self.INVALID:
                    self.assertEqual(srv.talk(get(target)), NOT_FOUND, target)

AnswersSix, HostsSix, NamesSix, ScriptsSix = map(onsix, (Answers, Hosts, Names, Scripts))

if __name__ == "__main__":
    unittest.main()
