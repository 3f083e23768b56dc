"""Clients that never finish their request hold a slot for 20 s at most:
when they, idle or trickling a byte every 2 s, have taken every slot (60 or
more), a later client is served once their time is up."""
import select
import time
import unittest

from tavi import TARGET, ServerCase, connect, read_all, send

NOT_FOUND = (b"HTTP/1.1 404 no_such_file\r\n\r\nNo such file.", "close")
REQUEST = b"GET /missing HTTP/1.1\r\nHost: a\r\n"
TRICKLE = b"GET /slow HTTP/1.1\r\nx-slow: " + b"z" * 100  # never a whole request


class Deadlines(ServerCase):
    def test_idle_and_trickling_clients_give_way(self):
        # Two servers side by side, so both crowds wait out the same 20 s.
        idle_srv, slow_srv = self.serve({"a/": None}), self.serve({"a/": None})
        start = time.monotonic()
        crowds = {}
        for name, srv in (("idle", idle_srv), ("slow", slow_srv)):
            slots = TARGET.slots(srv)
            self.assertGreaterEqual(slots, 60)
            crowd = [connect(srv.port) for _ in range(slots)]
            later = connect(srv.port)
            for s in crowd + [later]:
                self.addCleanup(s.close)
            send(later, REQUEST)
            crowds[name] = (crowd, later)
        idle, slow = crowds["idle"][0], crowds["slow"][0]
        waiting = {name: later for name, (_, later) in crowds.items()}
        tick, looked = 0, False
        while waiting:
            now = time.monotonic()
            self.assertLess(now - start, 30, f"still waiting: {sorted(waiting)}")
            if now - start >= 2 * tick:  # a byte every 2 s from each trickling client
                for s in slow:
                    send(s, TRICKLE[tick:tick + 1])
                tick += 1
            if now - start >= 15 and not looked:
                self.assertEqual(select.select(idle + slow, [], [], 0)[0], [], "closed before 20 s")
                looked = True
            for name, later in list(waiting.items()):
                if select.select([later], [], [], 0.05)[0]:
                    # Served only when the crowd was gone: it held every slot.
                    self.assertTrue(looked, f"{name}: served before 15 s")
                    self.assertEqual(read_all(later), NOT_FOUND, name)
                    del waiting[name]
        for k, s in enumerate(idle):
            self.assertEqual(read_all(s), (b"", "close"), k)
        for k, s in enumerate(slow):  # a byte may have crossed the close: then a reset
            self.assertEqual(read_all(s)[0], b"", k)


if __name__ == "__main__":
    unittest.main()
