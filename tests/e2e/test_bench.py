"""bench/'s readers: each load tool's output as recorded on the project's
machine, a results file, and compare's verdicts on a pair of them."""
import math
import os
import sys
import tempfile
import types
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "benchdata")
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

from harness import rounds, tools, ustat  # noqa: E402

# recorded output, its reader, what it must read from it
OUTPUTS = [
    ("wrk.txt", tools.wrk_read, {"requests": 13335, "bytes": 16535628, "read": 0, "p99_us": 2439,
                                 "duration_us": 1001620}),
    ("ab.txt", tools.ab_read, {"rps": 20380.5, "p99_us": 5000, "errors": 0, "status": 0, "kept": 2000}),
    ("s_time.txt", tools.stime_read, (683, 1259)),
    ("h2load.txt", tools.h2load_read, {"requests": 2000, "bytes": 2300196, "duration_us": 128150,
                                       "status": 0, "read": 0, "timeout": 0, "connect": 0}),
]


def text(name):
    with open(os.path.join(DATA, name)) as f:
        return f.read()


class Readers(unittest.TestCase):
    def test_each_tool(self):
        for name, reader, want in OUTPUTS:
            with self.subTest(name):
                got = reader(text(name))
                self.assertEqual({k: got[k] for k in want} if isinstance(want, dict) else got, want)
            for other, _, _ in OUTPUTS:
                if other != name:
                    with self.subTest(f"{name} reading {other}"):
                        self.assertIsNone(reader(text(other)))

    def test_results(self):
        env = types.SimpleNamespace(cells=[])
        cell = {"label": "1 KiB x1", "unit": "req/s", "goals": [("ratio", ">=", 0.9)]}
        rounds.record(env, "grid", cell, {"tavi": [900, None, 1100], "nginx": [1000, 1000, 1000]},
                      "tavi", "nginx")
        rounds.record(env, "slow", {"label": "stall", "unit": "s", "goals": [("value", "<=", 1)]},
                      {"tavi": [math.nan]}, "tavi")
        with tempfile.TemporaryDirectory() as top:
            rounds.write(os.path.join(top, "results.json"), {"cells": env.cells})
            got = rounds.read(os.path.join(top, "results.json"))["cells"]
        grid, slow = got[("grid", "1 KiB x1")], got[("slow", "stall")]
        self.assertEqual((grid["ratios"], grid["median"], grid["least"]), ([0.9, 1.1], 1.0, 0.9))
        self.assertEqual([(g["text"], g["met"]) for g in grid["goals"]], [("req/s >= 0.9x nginx's", True)])
        self.assertEqual((slow["figures"], slow["median"], slow["goals"][0]["met"], slow["met"]),
                         ({"tavi": [None]}, None, None, None))
        self.assertEqual(rounds.samples(grid), [0.9, 1.1])

    def test_compare(self):
        old, new = (rounds.read(os.path.join(DATA, n)) for n in ("old.json", "new.json"))
        want = {("keep", "wrk -t2 -c32"): ("significant", 0.008),
                ("tls", "kept -c32"): ("noise", 0.841),
                ("slow", "longest stall"): ("too few rounds", False),
                ("grid", "1 KiB x32"): ("noise", 0.507),  # ties: the normal approximation
                ("press", "cached 64 KiB -c32, nginx gzip 1"): ("only in new", False)}
        # scipy's test where the system has it, and the one written here.
        for found in (ustat.debian, lambda name: None):
            with self.subTest(found=found), mock.patch.object(ustat, "debian", found):
                got = {(case, cell): (said, p is not None and round(p, 3))
                       for case, cell, _, _, _, p, said in ustat.changes(old, new)}
                self.assertEqual(got, want)
        # No order of three rounds against four reaches 0.05; of four against four one does.
        self.assertEqual([ustat.decidable(m, n) for m, n in ((1, 1), (3, 4), (4, 4), (3, 5))],
                         [False, False, True, True])
