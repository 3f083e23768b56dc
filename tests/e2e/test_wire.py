"""Requests over loopback: the exact bytes that come back, and how the
connection ends."""
import unittest

from tavi import ServerCase, onsix

SITE = {"a/": None}  # a fallback site with nothing in it: every file is missing
BAD_REQUEST = (b"HTTP/1.1 400 bad_request\r\n", "close")
NOT_FOUND = (b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file.", "close")
HUNG_UP = (b"", "close")  # closed without a byte of response
GET = b"GET /missing HTTP/1.1\r\n"


def sized(head, size, tail=b"\r\n"):
    """A line of exactly size bytes, its CRLF included (tail=b"" leaves it open)."""
    return head + b"x" * (size - len(head) - len(tail)) + tail


# Each input ends at the byte that decides it: sent byte by byte, nothing
# arrives after the server has closed (which would reset the connection).
CASES = [
    ("no host line", GET + b"x: y\r\n\r\n", BAD_REQUEST),
    ("no host, root target", b"GET / HTTP/1.1\r\nx: y\r\n\r\n", BAD_REQUEST),
    ("host line", GET + b"Host: a\r\n", NOT_FOUND),
    ("host name in capitals", GET + b"HOST: A\r\n", NOT_FOUND),
    ("host after other headers", GET + b"Accept: */*\r\nX-Y :  z\r\nhost:a\r\n", NOT_FOUND),
    ("any method, absolute target", b"get http://a/missing HTTP/1.1\r\nHost: a\r\n", NOT_FOUND),
    ("empty first line", b"\r\n", HUNG_UP),
    ("NUL in the request line", b"GET /\x00", HUNG_UP),
    ("DEL in a header", GET + b"x: \x7f", HUNG_UP),
    ("high byte in a header", GET + b"x: caf\xc3", HUNG_UP),
    ("tab in the request line", b"GET\t", HUNG_UP),
    ("tab in a header", GET + b"x:\t", HUNG_UP),
    ("request line without version", b"GET /missing\r\n", HUNG_UP),
    ("request line with two blanks", b"GET  /missing HTTP/1.1\r\n", HUNG_UP),
    ("request line with a leading blank", b" GET /missing HTTP/1.1\r\n", HUNG_UP),
    ("target neither path nor http", b"GET missing HTTP/1.1\r\n", HUNG_UP),
    ("scheme in capitals", b"GET HTTP://a/b HTTP/1.1\r\n", HUNG_UP),
    ("bare LF does not end a line", b"GET /missing HTTP/1.1\nHost: a\n\r\n", HUNG_UP),
    ("header without colon", GET + b"host a\r\n", HUNG_UP),
    ("header without name", GET + b": a\r\n", HUNG_UP),
    ("header without value", GET + b"host:  \r\n", HUNG_UP),
    ("header with leading blank", GET + b" host: a\r\n", HUNG_UP),
    ("header with trailing blank", GET + b"host: a \r\n", HUNG_UP),
]

# Sent whole only.
WHOLE_CASES = [
    ("host line and blank line", GET + b"Host: a\r\n\r\n", NOT_FOUND),
    ("bytes behind the host line are not read", GET + b"Host: a\r\n\x00\t\r\n\r\nGET / HTTP/1.1\r\n", NOT_FOUND),
    ("bytes behind a bad byte are not read", GET + b"x: \x01\r\nHost: a\r\n\r\n", HUNG_UP),
    ("request line of 8192 bytes", sized(b"GET /", 8192 - 11, b"") + b" HTTP/1.1\r\nHost: a\r\n", NOT_FOUND),
    ("request line of 8193 bytes", sized(b"GET /", 8193 - 11, b"") + b" HTTP/1.1\r\n", HUNG_UP),
    ("8193 bytes and no line end", sized(b"GET /", 8193, b""), HUNG_UP),
    ("header line of 8192 bytes", GET + sized(b"x: ", 8192) + b"Host: a\r\n", NOT_FOUND),
    ("header line of 8193 bytes", GET + sized(b"x: ", 8193), HUNG_UP),
    ("host line of 8193 bytes", GET + sized(b"host: a", 8193), HUNG_UP),
]


class Reception(ServerCase):
    def setUp(self):
        self.srv = self.serve(SITE)

    def test_whole(self):
        for name, request, want in CASES + WHOLE_CASES:
            with self.subTest(name):
                self.assertEqual(self.srv.talk(request), want)

    def test_byte_by_byte(self):
        for name, request, want in CASES:
            with self.subTest(name):
                self.assertEqual(self.srv.talk(request, bytewise=True), want)

    def test_client_ends_mid_request(self):
        for request in (b"", b"GET /mis", GET, GET + b"x: y\r\n"):
            with self.subTest(request):
                self.assertEqual(self.srv.talk(request, half_close=True), HUNG_UP)

    def test_extra_bytes_after_the_request(self):
        # Whatever the client sent and nobody read is taken off before the
        # close, or the close would reset the connection. Long headers make
        # the first read end within the extra bytes, leaving the rest unread.
        extra = b"z" * 20000
        pads = b"".join(sized(b"x-pad-%d: " % k, 8000) for k in range(3))
        for name, request in (("read with the request", GET + b"Host: a\r\n" + extra),
                              ("left in the socket", GET + pads + b"Host: a\r\n" + extra)):
            with self.subTest(name):
                self.assertEqual(self.srv.talk(request, linger=0.1), NOT_FOUND)


ReceptionSix = onsix(Reception)

if __name__ == "__main__":
    unittest.main()
