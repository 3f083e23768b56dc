"""Many short-lived connections in a row: every one of them gives its
descriptor back, and the server goes on answering."""
import unittest

from tavi import SANITIZED, ServerCase, connect, reset

NOT_FOUND = (b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file.", "close")
REQUEST = b"GET /missing HTTP/1.1\r\nHost: a\r\n"
ROUNDS = 2000
BATCH = 50  # connections in the backlog at once: well below the server's 99


class Churn(ServerCase):
    def setUp(self):
        self.srv = self.serve({"a/": None})
        self.assertEqual(self.srv.talk(REQUEST), NOT_FOUND)
        self.fds = self.srv.settle_fds()
        self.rss = self.srv.rss_kib()

    def tearDown(self):
        self.assertEqual(self.srv.talk(REQUEST), NOT_FOUND)
        self.assertEqual(self.srv.settle_fds(self.fds), self.fds)
        if not SANITIZED:  # the sanitizers hold freed memory back on purpose
            self.assertLess(self.srv.rss_kib() - self.rss, 2048)

    def test_resets(self):
        for k in range(ROUNDS):
            reset(connect(self.srv.port))
            # The answer comes after the server has taken every connection before it.
            if k % BATCH == BATCH - 1:
                self.assertEqual(self.srv.talk(REQUEST), NOT_FOUND, k)

    def test_malformed_request_lines(self):
        for k in range(ROUNDS):
            self.assertEqual(self.srv.talk(b"GET /missing\r\n"), (b"", "close"), k)


if __name__ == "__main__":
    unittest.main()
