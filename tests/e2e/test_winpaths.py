"""Names that a Windows file system reads more into than POSIX does: '\\' as
a separator, segments made of dots and blanks, ':' (drives and data
streams), characters no Windows name may hold, and device names. On POSIX
each is a plain name and its file is served; on Windows none of them reaches
past the site or opens anything but a regular file."""
import unittest

from sitekit import NOT_FOUND, Log, get, listed, logline, moved, ok
from tavi import TARGET, ServerCase

DEVICES = ["CON", "nul", "Aux", "PRN", "COM1", "lpt1", "nul.txt", "CoM9.tar.gz"]
TREE = {
    "secret": b"beside the site, never served",
    "a/f.txt": b"f.txt",
    "a/sub/f": b"sub/f",
    **{"a/" + name: name.encode() for name in (
        "sub\\f", "..\\secret", "sub\\..\\..\\secret", ".../secret", ".. /secret", "a:b", "f.txt::$DATA",
        "C:\\windows\\win.ini", "x|y", "x*")},
    **{"a/" + name: name.encode() for name in DEVICES},
    "a/con/x": b"con/x",
}
CON = listed(b"/con/", b"Directory of [/con/]", [(b"/con/..", b".."), (b"/con/x", b"x")])

# target: (answer on POSIX, answer on Windows)
CASES = {
    # Separators: on Windows "sub\f" is the file f in the folder sub.
    b"/sub/f": (ok(b"sub/f"), ok(b"sub/f")),
    b"/sub\\f": (ok(b"sub\\f"), ok(b"sub/f")),
    b"/sub%5Cf": (ok(b"sub\\f"), ok(b"sub/f")),
    b"/sub%5cf": (ok(b"sub\\f"), ok(b"sub/f")),
    b"/sub": (moved(b"/sub/"), moved(b"/sub/")),
    b"/sub/": (listed(b"/sub/", b"Directory of [/sub/]", [(b"/sub/..", b".."), (b"/sub/f", b"f")]),) * 2,
    # Climbing out by '\', by "..." and by ".. ": "secret" lies beside the site.
    b"/..\\secret": (ok(b"..\\secret"), NOT_FOUND),
    b"/..%5Csecret": (ok(b"..\\secret"), NOT_FOUND),
    b"/sub%5C..%5C..%5Csecret": (ok(b"sub\\..\\..\\secret"), NOT_FOUND),
    b"/.../secret": (ok(b".../secret"), NOT_FOUND),
    b"/%2E%2E%2E/secret": (ok(b".../secret"), NOT_FOUND),
    b"/..%20/secret": (ok(b".. /secret"), NOT_FOUND),
    # ':' names a data stream ("::$DATA" is the file itself) or a drive.
    b"/a:b": (ok(b"a:b"), NOT_FOUND),
    b"/f.txt": (ok(b"f.txt"), ok(b"f.txt")),
    b"/f.txt::$DATA": (ok(b"f.txt::$DATA"), NOT_FOUND),
    b"/f.txt%3A%3A$DATA": (ok(b"f.txt::$DATA"), NOT_FOUND),
    b"/C:%5Cwindows%5Cwin.ini": (ok(b"C:\\windows\\win.ini"), NOT_FOUND),
    # Characters no Windows name holds: a bar and a wildcard.
    b"/x%7Cy": (ok(b"x|y"), NOT_FOUND),
    b"/x*": (ok(b"x*"), NOT_FOUND),
    # Devices, in any case and with any extension, though a file of that
    # name is there: on Windows the name is the device, which is no file.
    **{b"/" + name.encode(): (ok(name.encode()), NOT_FOUND) for name in DEVICES},
    b"/con": (moved(b"/con/"), NOT_FOUND),
    b"/con/": (CON, NOT_FOUND),
}


class WindowsNames(ServerCase):
    def test_each_name_as_the_target_system_reads_it(self):
        srv = self.serve(TREE)
        log = Log(srv)
        column = {"posix": 0, "windows": 1}[TARGET.name]
        for target, answers in CASES.items():
            with self.subTest(target):
                answer, logged = srv.talk(get(target)), log.new()
                self.assertEqual(answer, answers[column])
                self.assertEqual(logged, logline(target))


if __name__ == "__main__":
    unittest.main()
