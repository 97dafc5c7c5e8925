"""The demonstration that `python -m vendrel` runs."""

import re

import pytest

from conftest import run_python

RUN = "import sys, runpy; sys.argv[1:] = %r; runpy.run_module('vendrel', run_name='__main__')"


def test_demonstration_traces_the_methods_then_shows_the_engine():
    result = run_python(RUN % (["--n", "2500"],))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.count(" is a thing\n") == 22  # a tridiagonal 8 x 8 Jacobian
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


def test_quiet_leaves_out_the_trace_but_not_the_summary():
    result = run_python(RUN % (["--quiet", "--n", "100"],))
    assert result.returncode == 0, result.stderr
    assert " is a thing" not in result.stdout and "trying to merge" not in result.stdout
    assert "  column groups:                  3" in result.stdout
    assert "10 x 10 grid: 100 unknowns" in result.stdout


@pytest.mark.parametrize("argv, message", [
    (["--n", "0"], "--n must be at least 1"),
    (["--n", "many"], "invalid int value: 'many'"),
])
def test_bad_arguments_are_refused(argv, message):
    result = run_python(RUN % (argv,))
    assert result.returncode == 2 and message in result.stderr
