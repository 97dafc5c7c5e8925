"""How failures and progress lines leave the module: traceback entries and print."""

import builtins
import contextlib
import io
import types

import numpy as np
import pytest

from conftest import SOURCE_FILE, entry_lines, module_entries
from vendrel.sparse_solver import SparseSolver

RESIDUALS = "vendrel.sparse_solver.SparseSolver.compute_residuals"


def fail_with_none():
    with pytest.raises(TypeError) as excinfo:
        SparseSolver().compute_residuals(None)
    return excinfo


def test_entries_name_function_file_line_and_site(capsys):
    excinfo = fail_with_none()
    assert str(excinfo.value) == "object of type 'NoneType' has no len()"
    entries = module_entries(excinfo.tb)
    assert [(fn, line, file) for fn, _, line, file in entries] == [
        (RESIDUALS, 19, SOURCE_FILE), (RESIDUALS, 23, SOURCE_FILE)]
    outer_site, inner_site = entries[0][1], entries[1][1]
    assert outer_site > 0 and inner_site > 0 and outer_site != inner_site
    # The line was printed before the length failed.
    assert capsys.readouterr().out == "computing base residual\n"


def test_a_site_reached_twice_shares_its_code_object():
    def codes(excinfo):
        tb, found = excinfo.tb, []
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == SOURCE_FILE:
                found.append(tb.tb_frame.f_code)
            tb = tb.tb_next
        return found

    first, second = codes(fail_with_none()), codes(fail_with_none())
    assert len(first) == 2 and all(a is b for a, b in zip(first, second))


def test_progress_lines_follow_sys_stdout():
    stream = io.StringIO()
    with contextlib.redirect_stdout(stream):
        SparseSolver().compute_residuals(np.zeros(2))
    assert stream.getvalue() == "computing base residual\n"


def test_print_is_fetched_once(monkeypatch, capsys):
    SparseSolver().compute_residuals(np.zeros(1))
    calls = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: calls.append(a))
    SparseSolver().compute_residuals(np.zeros(1))
    assert calls == []
    assert capsys.readouterr().out == "computing base residual\n" * 2


def test_failing_print_fails_the_statement(monkeypatch):
    monkeypatch.setattr("sys.stdout", object())
    with pytest.raises(AttributeError) as excinfo:
        SparseSolver().compute_residuals(np.zeros(1))
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE), (22, SOURCE_FILE)]


@pytest.fixture
def module():
    import vendrel.sparse_solver as module

    return module


def test_np_is_looked_up_at_call_time(module, monkeypatch, capsys):
    marked = np.ones(2)
    monkeypatch.setattr(module, "np", types.SimpleNamespace(zeros=lambda n: marked[:n]))
    assert SparseSolver().compute_residuals(np.zeros(2)).tolist() == [1.0, 1.0]


def test_missing_np_raises_name_error_after_printing(module, monkeypatch, capsys):
    monkeypatch.delattr(module, "np")
    with pytest.raises(NameError) as excinfo:
        SparseSolver().compute_residuals(np.zeros(2))
    assert str(excinfo.value) == "name 'np' is not defined"
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE), (23, SOURCE_FILE)]
    assert capsys.readouterr().out == "computing base residual\n"


def test_np_falls_back_on_builtins(module, monkeypatch):
    monkeypatch.delattr(module, "np")
    monkeypatch.setattr(builtins, "np", types.SimpleNamespace(zeros=lambda n: np.full(n, 7.0)),
                        raising=False)
    assert (SparseSolver().compute_residuals(np.zeros(3)) == 7).all()


@pytest.mark.parametrize("zeros, kind, message", [
    (lambda n: [0.0] * n, TypeError, "Cannot convert list to numpy.ndarray"),
    (None, AttributeError, None),
    (lambda n: 1 / 0, ZeroDivisionError, "division by zero"),
])
def test_zeros_failures_are_reported_at_line_23(module, monkeypatch, zeros, kind, message):
    fake = types.SimpleNamespace() if zeros is None else types.SimpleNamespace(zeros=zeros)
    monkeypatch.setattr(module, "np", fake)
    with pytest.raises(kind) as excinfo:
        SparseSolver().compute_residuals(np.zeros(2))
    if message is not None:
        assert str(excinfo.value) == message
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE), (23, SOURCE_FILE)]


def test_zeros_may_return_none(module, monkeypatch):
    monkeypatch.setattr(module, "np", types.SimpleNamespace(zeros=lambda n: None))
    assert SparseSolver().compute_residuals(np.zeros(2)) is None
