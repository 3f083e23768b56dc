"""The Mann-Whitney U test over two sets of rounds, two-sided, as
google/benchmark's compare.py uses it to tell a change from noise. scipy's
when the system has it; else exact from the count of orderings without ties
on small sets, and else the normal approximation with the tie correction."""

import math

from harness import rounds
from harness.procs import debian

ALPHA = 0.05


def ustat(xs, ys):
    """U of xs: pairs where x is above y, half for a tie."""
    return sum((x > y) + 0.5 * (x == y) for x in xs for y in ys)


def exact_p(u, m, n):
    """Two-sided p of U = u for sets of m and n without ties: how many of the
    orderings give a U as far from the middle, over all of them."""
    # count[k] = orderings of m and n items whose U is k, built item by item.
    count = [[[1] + [0] * (m * n) for _ in range(n + 1)] for _ in range(m + 1)]
    for i in range(1, m + 1):
        for j in range(1, n + 1):
            for k in range(m * n + 1):
                count[i][j][k] = (count[i - 1][j][k - j] if k >= j else 0) + count[i][j - 1][k]
    ways = count[m][n]
    low = min(u, m * n - u)
    return min(1.0, 2 * sum(ways[:int(low) + 1]) / math.comb(m + n, m))


def normal_p(u, xs, ys):
    """Two-sided p of U by the normal approximation, corrected for ties and
    for continuity."""
    m, n = len(xs), len(ys)
    both = sorted(xs + ys)
    ties = sum(t ** 3 - t for t in (both.count(v) for v in set(both)))
    var = m * n / 12 * ((m + n + 1) - ties / ((m + n) * (m + n - 1)))
    if var <= 0:
        return 1.0
    z = (abs(u - m * n / 2) - 0.5) / math.sqrt(var)
    return min(1.0, math.erfc(max(z, 0) / math.sqrt(2)))


def pvalue(xs, ys):
    """Two-sided p that xs and ys come from one distribution."""
    stats = debian("scipy.stats")
    if stats:
        return float(stats.mannwhitneyu(xs, ys, alternative="two-sided").pvalue)
    u = ustat(xs, ys)
    if len(set(xs + ys)) == len(xs + ys) and len(xs) <= 8 and len(ys) <= 8:
        return exact_p(u, len(xs), len(ys))
    return normal_p(u, xs, ys)


def decidable(m, n):
    """Whether sets of m and n rounds can show a change at ALPHA at all: the
    most extreme ordering's exact p must fall below it."""
    return m > 0 and n > 0 and 2 / math.comb(m + n, m) < ALPHA


def verdict(old, new):
    """(p or None, "significant", "noise" or "too few rounds")."""
    if not decidable(len(old), len(new)):
        return None, "too few rounds"
    p = pvalue(old, new)
    return p, "significant" if p < ALPHA else "noise"


def changes(old, new):
    """For each cell of two results (as rounds.read gives them): (case, cell,
    old median, new median, relative change, p, verdict)."""
    keys = list(old["cells"]) + [k for k in new["cells"] if k not in old["cells"]]
    for key in keys:
        a, b = old["cells"].get(key), new["cells"].get(key)
        if a is None or b is None:
            yield (*key, a and a["median"], b and b["median"], None, None,
                   "only in " + ("old" if b is None else "new"))
            continue
        x, y = rounds.samples(a), rounds.samples(b)
        ma, mb = a["median"], b["median"]
        change = (mb - ma) / abs(ma) if ma and mb is not None else None
        if not x or not y:
            yield (*key, ma, mb, change, None, "no rounds")
            continue
        p, said = verdict(x, y)
        yield (*key, ma, mb, change, p, said)
