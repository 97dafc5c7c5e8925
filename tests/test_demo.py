"""The demonstration that `python -m vendrel` runs."""

from conftest import run_python


def test_demonstration_runs_and_summarises():
    result = run_python("import runpy; runpy.run_module('vendrel', run_name='__main__')")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.count(" is a thing\n") == 22  # a tridiagonal 8 x 8 Jacobian
    assert "  column groups:                  3  [[0, 3, 6], [1, 4, 7], [2, 5]]\n" in out
    assert "  residual evaluations, grouped:  4" in out
    assert "  residual evaluations, dense:    9" in out
