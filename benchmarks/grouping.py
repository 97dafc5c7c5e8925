"""Benchmark of vendrel.grouping against SciPy, networkx and PETSc: groups and times.

    python benchmarks/grouping.py            # the full set of patterns (several minutes)
    python benchmarks/grouping.py --quick    # smaller sizes, for a smoke run
    python benchmarks/grouping.py --save-fem DIR   # also write the finite-element
                                             # patterns, for benchmarks/petsc_coloring.py

Every pattern is given to vendrel and SciPy as the same boolean scipy.sparse.csr_array,
and what is timed is the whole call a user makes (SciPy converts to CSC inside its own
call). Ours and SciPy's are run alternately after a warm-up and the ratio is the median of
the ratios of the pairs; a call that takes more than a second is timed once. networkx
colours the column-intersection graph (columns adjacent when they share a row) with each
of its `greedy_color` strategies, where the graph has at most NETWORKX_EDGES edges (DSATUR,
quadratic there, up to 1000 columns); its time, of the strategy that needed fewest groups,
excludes building the graph. PETSc's MatColoring figures come from
benchmarks/petsc_coloring.py, run separately with the system interpreter and recorded in
petsc_coloring.json. Every grouping is checked (no two columns of a group share a row)
before it is reported.
"""

import argparse
import importlib.metadata
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

import numpy as np
import scipy
import scipy.sparse
from scipy.optimize._numdiff import group_columns as scipy_group_columns

from vendrel import _grouping
from vendrel.grouping import ORDERS, group_columns, lower_bound

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import patterns  # noqa: E402

ONCE = 1.0  # seconds: a SciPy call slower than this is timed once
NETWORKX_EDGES = 10**6
NETWORKX_STRATEGIES = ("largest_first", "smallest_last", "connected_sequential_bfs",
                       "saturation_largest_first", "random_sequential")
PETSC_FILE = HERE / "petsc_coloring.json"

# The named orderings, in the order "best" tries them, then the seeded random one.
NAMED = tuple(_grouping.ORDERINGS) + ("random",)
assert set(NAMED) == set(ORDERS) - {"best"}, "an order is missing from the table"
SHORT = {"natural": "nat", "dsatur": "dsat", "smallest_last": "SL", "largest_first": "LF",
         "incidence_degree": "ID", "dynamic_largest_first": "DLF", "random": "rand"}
# PETSc's MatColoring types that share a name with one of ours.
SAME_NAME = {"sl": "smallest_last", "lf": "largest_first", "id": "incidence_degree"}
# Stencils with a cyclic colouring of the bound's size; the others, the most "best" may need.
AT_THE_BOUND = ("band", "5-point", "9-point", "13-point", "25-point", "7-point",
                "13-point star", "27-point", "species")
AT_MOST = {"9-point star": 10, "19-point": 21}


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


def compare(ours, theirs, ours_seconds, theirs_seconds, repeats):
    """(our time, SciPy's time, SciPy / ours, once) for one pair of calls, given the times
    of a first call of each: a call slower than ONCE is not repeated."""
    if ours_seconds > ONCE or theirs_seconds > ONCE:
        mine = ours_seconds if ours_seconds > ONCE else median_time(ours, repeats)
        other = theirs_seconds if theirs_seconds > ONCE else median_time(theirs, repeats)
        return mine, other, other / mine, True
    mine, other, ratio = paired(ours, theirs, repeats)
    return mine, other, ratio, False


def networkx_groups(pattern):
    """(fewest groups, its strategy, its seconds) of networkx's greedy_color strategies on
    the column-intersection graph, or None where the graph is too large."""
    try:
        import networkx
    except ImportError:
        return None
    lengths = np.diff(scipy.sparse.csr_array(pattern).indptr).astype(np.int64)
    if (lengths * lengths).sum() > 4 * NETWORKX_EDGES:
        return None  # more pairs than the graph may have edges: not even built
    csc = scipy.sparse.csc_array(pattern).astype(np.int32)
    graph = scipy.sparse.triu(csc.T @ csc, k=1, format="coo")
    if graph.nnz > NETWORKX_EDGES:
        return None
    g = networkx.Graph()
    g.add_nodes_from(range(pattern.shape[1]))
    g.add_edges_from(zip(graph.row.tolist(), graph.col.tolist()))
    fewest = None
    for strategy in NETWORKX_STRATEGIES:
        if strategy == "saturation_largest_first" and pattern.shape[1] > 1000:
            continue  # quadratic in the columns: 94 s at 3600 columns
        (colouring, seconds) = timed(lambda: networkx.greedy_color(g, strategy=strategy))
        groups = np.array([colouring[j] for j in range(pattern.shape[1])])
        found = count(pattern, groups, "networkx " + strategy)
        if fewest is None or found < fewest[0]:
            fewest = (found, strategy, seconds)
    return fewest


def recorded_petsc():
    if not PETSC_FILE.exists():
        return {}
    return json.loads(PETSC_FILE.read_text())["patterns"]


def measure(name, kind, build, repeats, petsc):
    pattern = build()
    n = pattern.shape[1]
    row_lengths = np.diff(pattern.indptr)
    bound = lower_bound(pattern)
    if bound != int(row_lengths.max()):
        raise AssertionError("%s: lower_bound %d, longest row %d"
                             % (name, bound, row_lengths.max()))
    result = {"name": name, "kind": kind, "n": n, "entries": pattern.nnz, "bound": bound}
    result["groups"] = {order: count(pattern, group_columns(pattern, order), order)
                        for order in NAMED}
    result["order_ms"] = {order: 1e3 * median_time(lambda: group_columns(pattern, order),
                                                   max(1, repeats // 2))
                          for order in SAME_NAME.values()}
    best = timed(lambda: group_columns(pattern))
    result["best"] = count(pattern, best[0], "best")

    natural = np.arange(n)
    scipy_default = timed(lambda: scipy_group_columns(pattern))
    scipy_natural = timed(lambda: scipy_group_columns(pattern, order=natural))
    result["scipy_default"] = count(pattern, scipy_default[0], "SciPy default")
    result["scipy_natural"] = count(pattern, scipy_natural[0], "SciPy natural")

    best_s, scipy_default_s, ratio_default, once_default = compare(
        lambda: group_columns(pattern), lambda: scipy_group_columns(pattern),
        best[1], scipy_default[1], repeats)
    natural_s, scipy_natural_s, ratio_natural, once_natural = compare(
        lambda: group_columns(pattern, "natural"),
        lambda: scipy_group_columns(pattern, order=natural), 0.0, scipy_natural[1], repeats)
    result.update(best_ms=1e3 * best_s, natural_ms=1e3 * natural_s,
                  scipy_default_ms=1e3 * scipy_default_s, scipy_natural_ms=1e3 * scipy_natural_s,
                  ratio_default=ratio_default, ratio_natural=ratio_natural,
                  once=once_default or once_natural,
                  read_ms=1e3 * median_time(lambda: lower_bound(pattern), repeats))
    result["networkx"] = networkx_groups(pattern)
    result["petsc"] = petsc.get(name)
    return result


def attach_petsc(results):
    """PETSc's recorded figures, read when the tables are printed: petsc_coloring.py may
    have been running alongside."""
    petsc = recorded_petsc()
    for r in results:
        r["petsc"] = petsc.get(r["name"])


def targets(r):
    """(text, holds) for each target that applies to the row."""
    checks = []
    others = {"SciPy": min(r["scipy_default"], r["scipy_natural"]),
              "own orderings": min(r["groups"].values())}
    if r["networkx"]:
        others["networkx"] = r["networkx"][0]
    if r["petsc"]:
        others["PETSc"] = min(r["petsc"]["groups"].values())
    fewest = min(others.values())
    checks.append(("best %d <= fewest of others %d" % (r["best"], fewest), r["best"] <= fewest))
    if r["kind"] in AT_THE_BOUND:
        checks.append(("best = bound %d" % r["bound"], r["best"] == r["bound"]))
    if r["kind"] in AT_MOST:
        checks.append(("best %d <= %d" % (r["best"], AT_MOST[r["kind"]]),
                       r["best"] <= AT_MOST[r["kind"]]))
    if r["petsc"]:
        for theirs, ours in SAME_NAME.items():
            if theirs in r["petsc"]["groups"]:
                checks.append(("%s %d <= PETSc %d" % (SHORT[ours], r["groups"][ours],
                                                      r["petsc"]["groups"][theirs]),
                               r["groups"][ours] <= r["petsc"]["groups"][theirs]))
                checks.append(("%s %.0f ms <= PETSc %.0f ms" % (
                    SHORT[ours], r["order_ms"][ours], r["petsc"]["ms"][theirs]),
                    r["order_ms"][ours] <= r["petsc"]["ms"][theirs]))
    if r["n"] >= 10**6 and r["kind"] in ("band", "5-point"):
        checks.append(("natural %.1f ms <= 0.8 x SciPy natural" % r["natural_ms"],
                       r["ratio_natural"] >= 1.25))
    if r["n"] >= 10**6 and r["kind"] == "5-point":
        checks.append(("best %.0f ms <= SciPy default" % r["best_ms"], r["ratio_default"] >= 1))
    if r["name"] == "3-D 7-point m=50":
        checks.append(("best %.0f ms <= 300" % r["best_ms"], r["best_ms"] <= 300))
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


def timing_target(text):
    return " ms" in text


def verdicts(r, timing):
    return "; ".join("%s %s" % (t, "ok" if h else "MISS") for t, h in targets(r)
                     if timing_target(t) == timing)


def show(results):
    header = (["pattern", "n", "bound"] + [SHORT[o] for o in NAMED]
              + ["best", "SciPy default", "SciPy natural", "networkx (strategy)",
                 "PETSc sl/lf/id/greedy/jp", "targets"])
    rows = []
    for r in results:
        nx = r["networkx"]
        petsc = r["petsc"]
        rows.append([r["name"], r["n"], r["bound"]] + [r["groups"][o] for o in NAMED]
                    + [r["best"], r["scipy_default"], r["scipy_natural"],
                       "%d (%s)" % (nx[0], nx[1]) if nx else "-",
                       "/".join(str(petsc["groups"].get(t, "-"))
                                for t in ("sl", "lf", "id", "greedy", "jp")) if petsc else "-",
                       verdicts(r, False)])
    print("Groups (fewer is better; bound = longest row, no grouping does better)\n")
    print(markdown(header, rows))

    header = ["pattern", "best", "natural", "read", "SL", "LF", "ID", "SciPy default",
              "SciPy natural", "SciPy default / best", "SciPy natural / natural",
              "networkx (fewest)", "PETSc sl/lf/id", "targets"]
    rows = []
    for r in results:
        star = "*" if r["once"] else ""
        nx = r["networkx"]
        petsc = r["petsc"]
        rows.append([r["name"], "%.1f" % r["best_ms"], "%.1f" % r["natural_ms"],
                     "%.1f" % r["read_ms"]]
                    + ["%.1f" % r["order_ms"][o] for o in SAME_NAME.values()]
                    + ["%.1f%s" % (r["scipy_default_ms"], star),
                       "%.1f%s" % (r["scipy_natural_ms"], star),
                       ratio(r["ratio_default"]), ratio(r["ratio_natural"]),
                       "%.0f" % (1e3 * nx[2]) if nx else "-",
                       "/".join("%.0f" % petsc["ms"][t] for t in ("sl", "lf", "id")
                                if t in petsc["ms"]) if petsc else "-",
                       verdicts(r, True)])
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


def all_cases(quick, fem):
    found = patterns.cases(quick)
    if fem:
        found += patterns.fem_cases(quick)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    parser.add_argument("--no-fem", action="store_true", help="leave out the scikit-fem set")
    parser.add_argument("--save-fem", metavar="DIR",
                        help="write the finite-element patterns as .npz files to DIR")
    args = parser.parse_args()
    repeats = 3 if args.quick else 5
    fem = not args.no_fem
    if args.save_fem:
        folder = pathlib.Path(args.save_fem)
        folder.mkdir(parents=True, exist_ok=True)
        for name, _, build in patterns.fem_cases(args.quick):
            scipy.sparse.save_npz(folder / (name.replace(" ", "_").replace(",", "") + ".npz"),
                                  scipy.sparse.csr_matrix(build()))
        return
    petsc = recorded_petsc()
    print(describe(), flush=True)
    print("running (results also go to stderr as they come)...", file=sys.stderr)
    results = []
    for name, kind, build in all_cases(args.quick, fem):
        r = measure(name, kind, build, repeats, petsc)
        print("  %-36s bound %-4d best %-4d SciPy %d/%d  best %.1f ms  %s  %s"
              % (name, r["bound"], r["best"], r["scipy_default"], r["scipy_natural"],
                 r["best_ms"], verdicts(r, False), verdicts(r, True)), file=sys.stderr,
              flush=True)
        results.append(r)
    print(flush=True)
    attach_petsc(results)
    show(results)


if __name__ == "__main__":
    main()
