"""The cases of bench/run, in the order a full run takes them. Each module
declares its cells and their goals as data (LIST, all of them in the order
they run), cost(env), the seconds it should take, and run(env)."""

from cases import crowd, grid, keep, logs, press, silent, slow, tls, two

CASES = {"grid": grid, "crowd": crowd, "slow": slow, "keep": keep, "tls": tls, "silent": silent, "press": press, "h2": two,
         "logs": logs}
