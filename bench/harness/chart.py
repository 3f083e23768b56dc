"""ratios.svg: tavi's ratio to nginx in each cell against it, a bar for the
median, a line for the spread of the rounds and a mark for the goal."""

from harness.procs import debian, say


def pyplot():
    """matplotlib's pyplot drawing SVG, from Debian's python3-matplotlib; None without it."""
    mpl = debian("matplotlib")
    if mpl is None:
        return None
    mpl.use("svg")
    mpl.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "tavi"})  # text as text; stable ids
    return debian("matplotlib.pyplot")


def draw(cells, path):
    """Draws the cells of rates against nginx (in any setting) into path: path, or
    None when there are none or no matplotlib (said in one line)."""
    shown = [c for c in cells if c["peer"] and c["peer"].startswith("nginx") and c["ratios"]
             and c["unit"] in ("req/s", "MB/s")]
    if not shown:
        return None
    plt = pyplot()
    if plt is None:
        say("no matplotlib (python3-matplotlib): the chart is skipped")
        return None
    fig, ax = plt.subplots(figsize=(8, 0.32 * len(shown) + 1.2))
    ys = range(len(shown))[::-1]
    mids = [c["median"] for c in shown]
    ax.barh(ys, mids, color=["#4c72b0" if c["met"] is not False else "#dd8452" for c in shown])
    ax.errorbar(mids, ys, fmt="none", ecolor="black", capsize=3, linewidth=1,
                xerr=[[m - min(c["ratios"]) for m, c in zip(mids, shown)],
                      [max(c["ratios"]) - m for m, c in zip(mids, shown)]])
    for m, y, c in zip(mids, ys, shown):
        ax.annotate(f"{m:.2f}", (max(c["ratios"]), y), xytext=(5, -3), textcoords="offset points", fontsize=7)
    goals = [(c["least"], y) for c, y in zip(shown, ys) if c["least"] is not None]
    if goals:
        ax.scatter([g for g, _ in goals], [y for _, y in goals], marker="|", s=220, color="crimson",
                   zorder=3, label="goal: at least")
        ax.legend(loc="lower right", fontsize=8)
    ax.axvline(1, color="grey", linewidth=0.8, linestyle=":")
    ax.set_yticks(list(ys))
    ax.set_yticklabels([f"{c['case']}: {c['cell']}" for c in shown], fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(0.3, max(max(c["ratios"]) for c in shown) * 2)
    rounds = max(len(c["ratios"]) for c in shown)
    which = f"the ratios of {rounds} rounds" if rounds > 1 else "one round"
    ax.set_title(f"tavi / nginx: the median of {which}, the line their range;\n"
                 "orange: a goal of the cell missed", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)
    return path
