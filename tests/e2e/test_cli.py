"""The command line: its failures (message, stream, exit code) and the
forms it accepts."""
import errno
import os
import socket
import unittest

from tavi import HOST, TARGET, ServerCase, connect, run

USAGE = "Usage: tavi [port [host]]\n"
WEB_USAGE = ("Usage: tavi [--web [--certs DIR] [--https PORT] [--plain] [--zcache MIB] [--log combined|vcombined]"
             " [--proxy-protocol]] [port [host]]\n")
TLS_ONLY = "--https and --plain go with --certs.\n"
EMPTY = "First argument may not be empty string.\n"
DIGITS = "First argument (port) must contain only digits.\n"
NOT_FOUND = (b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file.", "close")
REQUEST = b"GET /missing HTTP/1.1\r\nHost: a\r\n"


class Failures(ServerCase):
    def check(self, done, code, err):
        self.assertEqual((done.code, done.out), (code, ""), done)
        self.assertMessage(done.err, err)

    def test_arguments(self):
        # -1 from main is 255 to the parent.
        cases = [
            (["1", "2", "3"], USAGE),
            (["x", "y", "z"], USAGE),  # counted before the port is looked at
            ([""], EMPTY),
            (["", HOST], EMPTY),
            (["8o80"], DIGITS), (["-80"], DIGITS), (["+80"], DIGITS),
            ([" 80"], DIGITS), (["80 "], DIGITS), (["8 0"], DIGITS), (["0x50"], DIGITS),
            (["8080", "no such host!"], TARGET.gai_error("no such host!", "8080")),
            # --web only as the first word; the rest is read as without it.
            (["--web", "1", "2", "3"], WEB_USAGE), (["--web", ""], EMPTY), (["--web", "-80"], DIGITS),
            (["--web", "--web"], DIGITS), (["--WEB"], DIGITS), (["-web"], DIGITS), (["--web=1"], DIGITS),
            (["1", "--web", "2"], USAGE), (["8080", "--web"], TARGET.gai_error("--web", "8080")),
            # HTTPS: with --web only, its options before the port, each once.
            (["--certs", "c"], DIGITS), (["--web", "--certs"], WEB_USAGE), (["--web", "--plain"], TLS_ONLY),
            (["--web", "--https", "1", "8080"], TLS_ONLY), (["--web", "--certs", "c", "--certs", "c"], WEB_USAGE),
            (["--web", "--certs", "c", "--https", "65536"], "--https needs a port: digits only, at most 65535.\n"),
            (["--web", "--zcache", "64k"], "--zcache needs MiB: digits only, at most 65535.\n"),
            (["--log", "combined"], DIGITS), (["--proxy-protocol"], DIGITS), (["--web", "--log"], WEB_USAGE),
            (["--web", "--log", "nginx"], "--log needs combined or vcombined.\n"),
            (["--web", "--log", "combined", "--log", "vcombined"], WEB_USAGE),
        ]
        # No pair to serve with: tavi does not start; tavi.exe has no HTTPS at all.
        cases.append((["--web", "--certs", "nowhere", "8080"], "This build of tavi has no HTTPS: --certs cannot be used.\n"
                      if TARGET.name == "windows" else "nowhere: No such file or directory\nNo usable certificate pair"
                      " (NAME/fullchain.pem and NAME/privkey.pem) in nowhere.\n"))
        if not TARGET.empty_host_resolves:
            cases.append((["8080", ""], TARGET.gai_error("", "8080")))
        for args, err in cases:
            with self.subTest(args=args):
                self.check(run(args), 255, err)

    def test_port_in_use(self):
        with socket.socket() as taken:
            taken.bind((HOST, 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            self.check(run([port, HOST]), 1, TARGET.perror("bind", errno.EADDRINUSE))

    def test_working_folder_gone(self):
        if not TARGET.native:
            self.skipTest("needs a folder removed under a running process")
        # The child is in the folder when it is removed, before the binary starts.
        done = run(["8080", HOST], before=lambda: os.rmdir(os.getcwd()))
        self.check(done, 1, TARGET.perror("getcwd", errno.ENOENT))


class Accepted(ServerCase):
    def test_leading_zeros(self):
        srv = self.serve({"a/": None}, spell=lambda port: "000%d" % port)
        self.assertEqual(srv.talk(REQUEST), NOT_FOUND)

    def test_bound_to_the_host_only(self):
        # Another loopback address reaches the same machine, not the server.
        srv = self.serve({"a/": None})
        with self.assertRaises(ConnectionRefusedError):
            connect(srv.port, host="127.0.0.2").close()
        self.assertEqual(srv.talk(REQUEST), NOT_FOUND)


if __name__ == "__main__":
    unittest.main()
