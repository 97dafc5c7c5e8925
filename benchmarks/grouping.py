"""Benchmark of vendrel.grouping against SciPy's group_columns: groups and times.

    python benchmarks/grouping.py            # the full set of patterns (a few minutes)
    python benchmarks/grouping.py --quick    # smaller sizes, for a smoke run

Every pattern is given to both as the same boolean scipy.sparse.csr_array, and what is
timed is the whole call a user makes (SciPy converts to CSC inside its own call). Ours
and SciPy's are run alternately after a warm-up and the ratio is the median of the ratios
of the pairs; a SciPy call that takes more than a second is timed once, not repeated.
Every grouping is checked (no two columns of a group share a row) before it is reported.
"""

import argparse
import importlib.metadata
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

import numpy as np
import scipy
from scipy.optimize._numdiff import group_columns as scipy_group_columns

from vendrel import _grouping
from vendrel.grouping import ORDERS, group_columns, lower_bound

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import patterns  # noqa: E402

ONCE = 1.0  # seconds: a SciPy call slower than this is timed once

# The named orderings, in the order "best" tries them (it stops at the first that reaches
# the bound), then the seeded random one.
NAMED = tuple(_grouping.ORDERINGS) + ("random",)
assert set(NAMED) == set(ORDERS) - {"best"}, "an order is missing from the table"
SHORT = {"natural": "nat", "dsatur": "dsat", "smallest_last": "SL", "largest_first": "LF",
         "incidence_degree": "ID", "dynamic_largest_first": "DLF", "random": "rand"}


def full_cases():
    return [
        ("band n=1e4", "band", lambda: patterns.band(10**4)),
        ("band n=1e5", "band", lambda: patterns.band(10**5)),
        ("band n=1e6", "band", lambda: patterns.band(10**6)),
        ("5-point m=100", "5-point", lambda: patterns.grid2d(100)),
        ("5-point m=300", "5-point", lambda: patterns.grid2d(300)),
        ("5-point m=1000", "5-point", lambda: patterns.grid2d(1000)),
        ("3-D 7-point m=20", "7-point", lambda: patterns.grid3d(20)),
        ("3-D 7-point m=50", "7-point", lambda: patterns.grid3d(50)),
        ("9-point m=300", "9-point", lambda: patterns.grid2d(300, points=9)),
        ("random 5/col n=1e4", "random", lambda: patterns.random_columns(10**4)),
        ("random 5/col n=1e5", "random", lambda: patterns.random_columns(10**5)),
        ("arrow n=1e4", "arrow", lambda: patterns.arrow(10**4)),
        ("arrow n=1e5", "arrow", lambda: patterns.arrow(10**5)),
    ]


def quick_cases():
    return [
        ("band n=1e4", "band", lambda: patterns.band(10**4)),
        ("band n=1e5", "band", lambda: patterns.band(10**5)),
        ("5-point m=100", "5-point", lambda: patterns.grid2d(100)),
        ("5-point m=300", "5-point", lambda: patterns.grid2d(300)),
        ("3-D 7-point m=20", "7-point", lambda: patterns.grid3d(20)),
        ("9-point m=100", "9-point", lambda: patterns.grid2d(100, points=9)),
        ("random 5/col n=1e4", "random", lambda: patterns.random_columns(10**4)),
        ("arrow n=1e4", "arrow", lambda: patterns.arrow(10**4)),
    ]


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def median_time(function, repeats):
    return statistics.median(timed(function)[1] for _ in range(repeats))


def paired(ours, theirs, repeats):
    """Median times of ours() and theirs() run alternately after one warm-up of each, and
    the median of the per-pair ratios theirs / ours. Pairing cancels the machine's drift."""
    ours()
    theirs()
    times_ours, times_theirs, ratios = [], [], []
    for _ in range(repeats):
        a = timed(ours)[1]
        b = timed(theirs)[1]
        times_ours.append(a)
        times_theirs.append(b)
        ratios.append(b / a)
    return statistics.median(times_ours), statistics.median(times_theirs), statistics.median(ratios)


def count(pattern, groups, who):
    """The number of groups, after checking that the grouping is valid."""
    groups = np.asarray(groups)
    if groups.shape != (pattern.shape[1],):
        raise AssertionError("%s: %r groups for %d columns" % (who, groups.shape, pattern.shape[1]))
    bad = patterns.clashes(pattern, groups)
    if bad:
        raise AssertionError("%s: %d entries share a row with another column of their group"
                             % (who, bad))
    return int(groups.max()) + 1 if len(groups) else 0


def compare(ours, theirs, theirs_result, repeats):
    """(our time, SciPy's time, SciPy / ours) for one pair of calls; theirs_result is the
    (result, seconds) of a first SciPy call, which decides whether SciPy is repeated."""
    if theirs_result[1] > ONCE:
        mine = median_time(ours, repeats)
        return mine, theirs_result[1], theirs_result[1] / mine, True
    mine, other, ratio = paired(ours, theirs, repeats)
    return mine, other, ratio, False


def measure(name, kind, build, repeats):
    pattern = build()
    n = pattern.shape[1]
    row_lengths = np.diff(pattern.indptr)
    bound = lower_bound(pattern)
    if bound != int(row_lengths.max()):
        raise AssertionError("%s: lower_bound %d, longest row %d" % (name, bound, row_lengths.max()))
    result = {"name": name, "kind": kind, "n": n, "entries": pattern.nnz, "bound": bound}
    result["groups"] = {order: count(pattern, group_columns(pattern, order), order)
                        for order in NAMED}
    result["best"] = count(pattern, group_columns(pattern), "best")

    natural = np.arange(n)
    scipy_default = timed(lambda: scipy_group_columns(pattern))
    scipy_natural = timed(lambda: scipy_group_columns(pattern, order=natural))
    result["scipy_default"] = count(pattern, scipy_default[0], "SciPy default")
    result["scipy_natural"] = count(pattern, scipy_natural[0], "SciPy natural")

    best_s, scipy_default_s, ratio_default, once_default = compare(
        lambda: group_columns(pattern), lambda: scipy_group_columns(pattern),
        scipy_default, repeats)
    natural_s, scipy_natural_s, ratio_natural, once_natural = compare(
        lambda: group_columns(pattern, "natural"),
        lambda: scipy_group_columns(pattern, order=natural), scipy_natural, repeats)
    result.update(best_ms=1e3 * best_s, natural_ms=1e3 * natural_s,
                  scipy_default_ms=1e3 * scipy_default_s, scipy_natural_ms=1e3 * scipy_natural_s,
                  ratio_default=ratio_default, ratio_natural=ratio_natural,
                  once=once_default or once_natural)

    # What "best" spent: reading the pattern (a lower_bound call does only that), the
    # orderings it tried until one reached the bound, and the rest (the local search when
    # none did). The calls are timed in turn, round by round, so that the parts compare.
    tried = []
    for order in _grouping.ORDERINGS:
        tried.append(order)
        if result["groups"][order] <= bound:
            break
    calls = [lambda: lower_bound(pattern), lambda: group_columns(pattern)]
    calls += [lambda order=order: group_columns(pattern, order) for order in tried]
    rounds = [[timed(call)[1] for call in calls] for _ in range(repeats)]
    read, whole, *passes = (1e3 * statistics.median(column) for column in zip(*rounds))
    orderings = sum(max(0.0, p - read) for p in passes)
    result.update(read_ms=read, tried=tried, orderings_ms=orderings,
                  split_best_ms=whole, rest_ms=max(0.0, whole - read - orderings),
                  searched=min(result["groups"][o] for o in tried) > bound)

    if n >= 10**6:
        # How near the single pass could come with the cheapest input to read, and, where
        # natural order reaches the bound, what "best" costs in passes.
        csc = pattern.tocsc()
        csc.sort_indices()
        result["natural_csc_ms"] = 1e3 * median_time(lambda: group_columns(csc, "natural"),
                                                     repeats)
        if result["groups"]["natural"] == bound:
            result["passes"] = paired(lambda: group_columns(pattern, "natural"),
                                      lambda: group_columns(pattern), repeats)[2]
    return result


def targets(r):
    """(text, holds) for each target that applies to the row."""
    checks = []
    fewest_scipy = min(r["scipy_default"], r["scipy_natural"])
    checks.append(("best %d <= SciPy %d" % (r["best"], fewest_scipy), r["best"] <= fewest_scipy))
    if r["kind"] in ("band", "5-point", "9-point", "random"):
        checks.append(("best = bound %d" % r["bound"], r["best"] == r["bound"]))
    if r["kind"] == "7-point":
        from_orderings = min(r["groups"][o] for o in _grouping.ORDERINGS)
        checks.append(("orderings %d <= 12" % from_orderings, from_orderings <= 12))
        checks.append(("best %d <= 10" % r["best"], r["best"] <= 10))
    if r["n"] >= 10**6 and r["kind"] in ("band", "5-point"):
        checks.append(("natural %.1f ms (read %.0f; from csc %.0f) <= 30"
                       % (r["natural_ms"], r["read_ms"], r["natural_csc_ms"]),
                       r["natural_ms"] <= 30))
        if r["kind"] == "5-point":
            checks.append(("best %.0f ms <= 500" % r["best_ms"], r["best_ms"] <= 500))
        if "passes" in r:
            checks.append(("best %.1f passes <= 2" % r["passes"], r["passes"] <= 2))
    if r["kind"] == "arrow" and r["n"] >= 10**5:
        checks.append(("best %.0f ms <= 100" % r["best_ms"], r["best_ms"] <= 100))
    return checks


def markdown(header, rows):
    """An aligned Markdown table: readable in a terminal, and pasted as is into a README."""
    widths = [max(len(str(c)) for c in column) for column in zip(header, *rows)]
    lines = ["| " + " | ".join(str(c).ljust(w) for c, w in zip(header, widths)) + " |",
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")
    return "\n".join(lines)


def ratio(value):
    return "%.0f" % value if value >= 10 else "%.1f" % value if value >= 1 else "%.2f" % value


def verdicts(r):
    return "; ".join("%s %s" % (text, "ok" if holds else "MISS") for text, holds in targets(r))


def show(results):
    header = ["pattern", "n", "bound"] + [SHORT[o] for o in NAMED] + [
        "best", "SciPy default", "SciPy natural", "targets"]
    rows = [[r["name"], r["n"], r["bound"]] + [r["groups"][o] for o in NAMED]
            + [r["best"], r["scipy_default"], r["scipy_natural"],
               "; ".join("%s %s" % (t, "ok" if h else "MISS")
                         for t, h in targets(r) if "ms" not in t and "passes" not in t)]
            for r in results]
    print("Groups (fewer is better; bound = longest row, no grouping does better)\n")
    print(markdown(header, rows))

    header = ["pattern", "best", "natural", "SciPy default", "SciPy natural",
              "SciPy default / best", "SciPy natural / natural", "best = read + orderings + search (or rest)",
              "targets"]
    rows = []
    for r in results:
        star = "*" if r["once"] else ""
        split = "%.1f = %.1f + %.1f (%s) + %s %.1f" % (
            r["split_best_ms"], r["read_ms"], r["orderings_ms"],
            ", ".join(SHORT[o] for o in r["tried"]), "search" if r["searched"] else "rest",
            r["rest_ms"])
        rows.append([r["name"], "%.1f" % r["best_ms"], "%.1f" % r["natural_ms"],
                     "%.1f%s" % (r["scipy_default_ms"], star),
                     "%.1f%s" % (r["scipy_natural_ms"], star),
                     ratio(r["ratio_default"]), ratio(r["ratio_natural"]), split,
                     "; ".join("%s %s" % (t, "ok" if h else "MISS")
                               for t, h in targets(r) if "ms" in t or "passes" in t)])
    print("\nTimes in ms (medians of the full calls; * timed once)\n")
    print(markdown(header, rows))

    missed = [(r["name"], t) for r in results for t, h in targets(r) if not h]
    print("\nTargets: %d checked, %d missed" % (sum(len(targets(r)) for r in results), len(missed)))
    for name, text in missed:
        print("  MISS  %s: %s" % (name, text))


def describe():
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "log", "-1", "--format=%h %cs"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    try:
        version = importlib.metadata.version("vendrel")
    except importlib.metadata.PackageNotFoundError:
        version = "?"
    return ("vendrel %s (source tree at %s), NumPy %s, SciPy %s, Python %s, %s, %d cores"
            % (version, commit or "no git", np.__version__,
               scipy.__version__, platform.python_version(), platform.machine(),
               os.cpu_count() or 0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    quick = parser.parse_args().quick
    repeats = 3 if quick else 7
    print(describe(), flush=True)
    print("running (results also go to stderr as they come)...", file=sys.stderr)
    results = []
    for name, kind, build in quick_cases() if quick else full_cases():
        r = measure(name, kind, build, repeats)
        print("  %-20s bound %-6d best %-6d SciPy %d/%d  best %.1f ms, natural %.1f ms, "
              "SciPy %.1f/%.1f ms  %s" % (name, r["bound"], r["best"], r["scipy_default"],
                                         r["scipy_natural"], r["best_ms"], r["natural_ms"],
                                         r["scipy_default_ms"], r["scipy_natural_ms"],
                                         verdicts(r)), file=sys.stderr)
        results.append(r)
    print(flush=True)
    show(results)


if __name__ == "__main__":
    main()
