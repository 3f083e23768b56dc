"""What the site tests share: the fixed answers, the listing page frame,
requests, and the log written to the server's standard output."""
OK = b"HTTP/1.1 200 ok\r\ncontent-length:%d\r\n\r\n"
NOT_FOUND = (b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file.", "close")
BAD_ONE = (b"HTTP/1.1 400 bad_host_one\r\n\r\nHost bad: one.", "close")
BAD_TWO = (b"HTTP/1.1 400 bad_host_two\r\n\r\nHost bad: two.", "close")


def ok(body):
    return (OK % len(body) + body, "close")


def moved(location, shown=None):
    """The redirect to location; shown is its HTML-escaped form in the body."""
    shown = location if shown is None else shown
    return (b"HTTP/1.1 303 needs_slash\r\nLocation: " + location +
            b"\r\n\r\nThis directory needs a trailing slash. Redirecting you to <a href=\"" +
            shown + b"\">" + shown + b"</a>", "close")


def page(title, heading, rows):
    """A listing page; rows are (href, text) as they must appear, ".." row included."""
    text = (b"<html><head><title>" + title + b"</title><style>\n"
            b"table,th,td{border:1px solid black;}</style></head><body>\n"
            b"<h2>" + heading + b"</h2>\n<p><table style=\"width:100%\">\n")
    text += b"".join(b"<tr><td><a href=\"%s\">%s</a></td></tr>\n" % row for row in rows)
    text += b"</table>\n"
    if all(name == b".." for _, name in rows):
        text += b"<p>This directory is empty!\n"
    return text + b"</body></html>\n"


def listed(title, heading, rows):
    body = page(title, heading, rows)
    return (b"HTTP/1.1 200 ok\r\ncontent-type:text/html\r\ncontent-length:%d\r\n\r\n" % len(body) + body,
            "close")


def get(target, host=b"a", method=b"GET"):
    """A request that ends its connection: in --web too, the answer ends with it."""
    return method + b" " + target + b" HTTP/1.1\r\nHost: " + host + b"\r\nAccept: */*\r\nConnection: close\r\n\r\n"


def logline(todo, addr=b"127.000.000.001"):
    """The log line of a request from loopback: todo in 64 columns, then the address."""
    return todo[:64].ljust(64) + addr + b"\n"


class Log:
    """Reads what the server has logged since the last look. Each line is
    flushed before the answer goes out, so it is there once the answer is."""

    def __init__(self, srv):
        self.path, self.seen = srv.dir / "stdout", 0
        # Without --web an IPv6 client has the zero address.
        self.addr = b"000.000.000.000" if ":" in srv.addr else b"127.000.000.001"

    def line(self, todo):
        return logline(todo, self.addr)

    def new(self):
        data = self.path.read_bytes()
        fresh, self.seen = data[self.seen:], len(data)
        return fresh
