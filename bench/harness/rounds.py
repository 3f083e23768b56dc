"""How cells are measured and judged. The servers take turns run by run, so
that drift of a shared machine falls on all alike; a cell's figure against a
peer is the median of each round's ratio; its goals are data that its case
declares. Every cell ends as a record of results.json, and a long run says
where it is and about how long is left."""

import json
import math
import operator
import statistics
import time

from harness.procs import say
from harness.tools import ERRORS

OPS = {">=": operator.ge, "<=": operator.le, "<": operator.lt, "==": operator.eq}
# What a goal's key judges, unless the goal names it; the first three are
# ratios to the peer's.
WHAT = {"ratio": "{unit}", "p99": "p99", "cpu": "CPU a request", "errors": "errors and non-2xx",
        "value": "{unit}"}


def median(xs):
    return statistics.median(xs) if xs else math.nan


def pctl(xs, q):
    """The q-quantile of the sorted xs, nan for none."""
    return xs[min(len(xs) - 1, int(len(xs) * q))] if xs else math.nan


def fmt(x, width, prec):
    return f"{x:{width}.{prec}f}" if x == x else f"{'-':>{width}}"


def cpu_per_request(runs):
    """The server's CPU s per request answered, pooled over runs of run_one."""
    req = sum(x["requests"] for x in runs)
    return sum(x["cpu"] for x in runs) / req if req else math.nan


def alternate(cells, names, rounds, run):
    """run(cell, name) for every cell and name, rounds times. Within a round
    the names take turns, the first moved on by one each cell and each round:
    ({(label, name): {round: result}}, [what failed])."""
    runs, failed = {}, []
    for r in range(rounds):
        for ci, cell in enumerate(cells):
            progress(f"{cell['label']}, round {r + 1} of {rounds}")
            k = (r + ci) % len(names)
            for name in names[k:] + names[:k]:
                res, err = run(cell, name)
                if res is None:
                    failed.append(f"round {r + 1} {cell['label']} {name}: {err}")
                    say(f"  {failed[-1]}: FAILED")
                    continue
                runs.setdefault((cell["label"], name), {})[r] = res
    return runs, failed


def figures(runs, label, names, key, rounds):
    """{name: [its key in each round, None where the run failed]}."""
    return {n: [runs.get((label, n), {}).get(r, {}).get(key) for r in range(rounds)] for n in names}


def ratios(figs, subject, peer):
    """subject's figure over peer's, round by round, where both have one."""
    return [t / n for t, n in zip(figs[subject], figs[peer]) if t is not None and n]


def side_values(t, n):
    """What the goals of a cell against a peer judge besides the median of the
    rounds' ratios, from the runs of each ({round: result}): the ratio of the
    median p99s (a pipelined run's 0 is none), the ratio of the CPU a request
    pooled over the rounds, and the subject's errors and non-2xx."""
    p99 = [median([x["p99_us"] for x in side.values() if x["p99_us"]]) for side in (t, n)]
    cpu = [cpu_per_request(list(side.values())) if all("cpu" in x for x in side.values()) else math.nan
           for side in (t, n)]
    return {"p99": p99[0] / p99[1] if p99[1] else math.nan,
            "cpu": cpu[0] / cpu[1] if cpu[1] else math.nan,
            "errors": sum(x["status"] + (x["errors"] if "errors" in x else sum(x[k] for k in ERRORS))
                          for x in t.values())}


def goal(rule, value, peer="nginx", unit=""):
    """One goal of a cell: rule is (key, op, bound[, what]); value, what it judges."""
    key, op, bound = rule[:3]
    what = (rule[3] if len(rule) > 3 else WHAT[key]).format(unit=unit)
    shown = f"{bound:g}x {peer}'s" if key in ("ratio", "p99", "cpu") else f"{bound:g}"
    return {"text": f"{what} {op} {shown}", "value": value,
            "met": None if value != value else bool(OPS[op](value, bound))}


def record(env, case, cell, figs, subject, peer=None, values=None):
    """Keeps a cell of results.json: each server's figure in each round, the
    subject's ratio to peer in each round and their median (with no peer, the
    median of the subject's figures), and the cell's goals judged on values
    ({key: value}; the ratio's or the median's by default)."""
    per = ratios(figs, subject, peer) if peer else []
    mid = median(per) if peer else median([x for x in figs[subject] if x is not None])
    values = dict(values or {})
    values.setdefault("ratio" if peer else "value", mid)
    unit = cell["unit"]
    goals = [goal(g, values.get(g[0], math.nan), peer, unit) for g in cell.get("goals", ())]
    least = [g[2] for g in cell.get("goals", ()) if g[0] == "ratio" and g[1] == ">="]
    got = {"case": case, "cell": cell["label"], "unit": unit, "subject": subject, "peer": peer,
           "figures": figs, "ratios": per, "median": mid, "least": least[0] if least else None,
           "goals": goals, "met": None if not goals or any(g["met"] is None for g in goals)
           else all(g["met"] for g in goals)}
    env.cells.append(got)
    return got


def goals_say(env, case, title):
    """The goals of case's cells, one a line."""
    say(f"\n== {title}, from this run")
    for c in env.cells:
        for g in c["goals"] if c["case"] == case else ():
            state = "-" if g["met"] is None else "met" if g["met"] else "MISSED"
            say(f"  {c['cell'] + ': ' + g['text']:60s} {fmt(g['value'], 8, 2)}  {state}")


def samples(cell):
    """What a cell's rounds give to compare: its ratios, or its subject's figures."""
    return cell["ratios"] if cell["peer"] else [x for x in cell["figures"][cell["subject"]] if x is not None]


def clean(x):
    """x with every nan as None, as JSON has no nan."""
    if isinstance(x, float) and x != x:
        return None
    if isinstance(x, dict):
        return {k: clean(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [clean(v) for v in x]
    return x


def write(path, doc):
    with open(path, "w") as f:
        json.dump(clean(doc), f, indent=1)
        f.write("\n")


def read(path):
    """A results.json: {"cells": {(case, cell): record}, and the rest as written}."""
    with open(path) as f:
        doc = json.load(f)
    doc["cells"] = {(c["case"], c["cell"]): c for c in doc["cells"]}
    return doc


# ---------------------------------------------------------------- progress

PLAN = {"cases": [], "at": -1, "began": 0.0, "spent": 0.0, "planned": 0.0}


def plan(cases):
    """The cases to run, as (name, seconds it should take)."""
    PLAN.update(cases=list(cases), at=-1)


def begin(name):
    """The next case starts: the estimate learns from the one that ended."""
    now = time.monotonic()
    if PLAN["at"] >= 0:
        PLAN["spent"] += now - PLAN["began"]
        PLAN["planned"] += PLAN["cases"][PLAN["at"]][1]
    PLAN["at"], PLAN["began"] = [n for n, _ in PLAN["cases"]].index(name), now
    progress("begins")


def left():
    """Seconds left, the declared durations scaled by how the finished cases
    went against theirs."""
    if PLAN["at"] < 0:
        return 0.0
    scale = PLAN["spent"] / PLAN["planned"] if PLAN["planned"] else 1.0
    here = PLAN["cases"][PLAN["at"]][1] * scale - (time.monotonic() - PLAN["began"])
    return max(here, 0) + sum(s for _, s in PLAN["cases"][PLAN["at"] + 1:]) * scale


def progress(text):
    if PLAN["at"] < 0:
        return
    name = PLAN["cases"][PLAN["at"]][0]
    secs = left()
    say(f"  [{name} {PLAN['at'] + 1}/{len(PLAN['cases'])}: {text}; about"
        f" {f'{secs / 60:.0f} min' if secs >= 90 else f'{secs:.0f} s'} left]")
