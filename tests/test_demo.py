"""The demonstration that `python -m vendrel` runs."""

import re

import pytest

from conftest import run_python

RUN = "import sys, runpy; sys.argv[1:] = %r; runpy.run_module('vendrel', run_name='__main__')"


def test_demonstration_shows_the_engine_then_the_methods_with_their_trace():
    result = run_python(RUN % (["--n", "2500", "--trace"],))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.index("The engine on") < out.index("solved by vendrel.solve.root") \
        < out.index("SparseSolver's methods") < out.index(" is a thing")
    assert out.count(" is a thing\n") == 22  # a tridiagonal 8 x 8 Jacobian
    assert "lines left out" not in out
    assert "  column groups:                  3  [[0, 3, 6], [1, 4, 7], [2, 5]]\n" in out
    assert "  residual evaluations, grouped:  4" in out
    assert "  residual evaluations, dense:    9" in out
    assert "50 x 50 grid: 2500 unknowns, 12300 Jacobian entries" in out
    assert "no grouping needs fewer than 5" in out
    counts = dict(re.findall(r"^    (\w+) +(\d+) +[\d.]+ ms$", out, re.M))
    assert counts["best"] == counts["dsatur"] == "5" and counts["natural"] == "7"
    assert "residual evaluations:     6 each (a dense difference needs 2501)" in out
    difference = float(re.search(r"approx_derivative, relative: (\S+)", out).group(1))
    assert difference < 1e-9
    solves = re.findall(r"jac_update='(\w+)' +converged in (\d+) iterations, (\d+) residual "
                        r"evaluations \((\d+) Jacobians\)", out)
    assert [update for update, *_ in solves] == ["every", "broyden"]
    (_, steps, every, _), (_, _, broyden, once) = solves
    assert int(every) == 1 + 6 * int(steps) and int(broyden) < int(every) and once == "1"


def test_the_trace_is_short_by_default():
    result = run_python(RUN % (["--n", "100"],))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    start = lines.index("Sparsity pattern of the Jacobian (row, column):")
    left_out = [line for line in lines if "lines left out" in line]
    assert left_out == ["  ... %d lines left out (--trace shows them all)"
                        % (len(run_python(RUN % (["--n", "100", "--trace"],)).stdout.splitlines())
                           - len(lines) + 1)]
    assert lines.index(left_out[0]) == start + 12
    assert "  column groups:                  3  [[0, 3, 6], [1, 4, 7], [2, 5]]" in lines


def test_quiet_leaves_out_the_trace_but_not_the_summary():
    result = run_python(RUN % (["--quiet", "--n", "100"],))
    assert result.returncode == 0, result.stderr
    assert " is a thing" not in result.stdout and "trying to merge" not in result.stdout
    assert "  column groups:                  3" in result.stdout
    assert "10 x 10 grid: 100 unknowns" in result.stdout


@pytest.mark.parametrize("argv, message", [
    (["--n", "0"], "--n must be at least 1"),
    (["--n", "many"], "invalid int value: 'many'"),
    (["--trace", "--quiet"], "not allowed with argument"),
    (["--plot", "/nonexistent-folder/pattern.png"],
     "--plot: cannot write /nonexistent-folder/pattern.png: No such file or directory"),
])
def test_bad_arguments_are_refused(argv, message):
    pytest.importorskip("matplotlib")
    result = run_python(RUN % (argv,))
    assert result.returncode == 2 and message in result.stderr
    assert result.stdout == ""  # refused before any work
