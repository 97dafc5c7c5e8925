"""compute_pattern: the pattern scan, x0's safety, and the override rule end to end."""

import gc
import math

import numpy as np
import pytest

from conftest import SOURCE_FILE, entry_lines
from vendrel.sparse_solver import SparseSolver

PATTERN = "vendrel.sparse_solver.SparseSolver.compute_pattern"
RESIDUALS = "vendrel.sparse_solver.SparseSolver.compute_residuals"


def solver_for(function):
    """A solver whose residual function is `function`."""

    class Problem(SparseSolver):
        def compute_residuals(self, x):
            return function(x)

    return Problem()


def pattern(solver, x0):
    rows, cols = solver.compute_pattern(x0)
    assert rows.dtype == np.intc and cols.dtype == np.intc
    return rows.tolist(), cols.tolist()


def test_diagonal(capsys):
    assert pattern(solver_for(lambda x: 2 * x), np.arange(3.0)) == ([0, 1, 2], [0, 1, 2])
    assert capsys.readouterr().out == "0 0 is a thing\n1 1 is a thing\n2 2 is a thing\n"


def test_dense_in_column_major_order(capsys):
    dense = solver_for(lambda x: np.array([x.sum(), 2 * x.sum()]))
    assert pattern(dense, np.zeros(2)) == ([0, 1, 0, 1], [0, 0, 1, 1])
    assert capsys.readouterr().out.splitlines() == [
        "0 0 is a thing", "1 0 is a thing", "0 1 is a thing", "1 1 is a thing"]


def test_base_body_evaluates_n_plus_one_times(capsys):
    assert pattern(SparseSolver(), np.zeros(4)) == ([], [])
    assert capsys.readouterr().out == "computing base residual\n" * 5


def test_empty_x0(capsys):
    assert pattern(SparseSolver(), np.zeros(0)) == ([], [])
    assert capsys.readouterr().out == "computing base residual\n"


def test_nan_and_signed_zero(capsys):
    def residual(x):
        r = np.zeros(3)
        r[0] = math.nan                       # NaN in the base: reported in every column
        r[1] = -0.0 if x[1] != 0 else 0.0     # 0.0 to -0.0: not a change
        r[2] = math.nan if x[2] != 0 else 0.0  # NaN only when x[2] is raised
        return r

    assert pattern(solver_for(residual), np.zeros(3)) == ([0, 0, 0, 2], [0, 1, 2, 2])


@pytest.mark.parametrize("magnitude, found", [(2.0**34, []), (2.0**34 - 1024, [0])])
def test_the_absolute_step(magnitude, found):
    rows, cols = pattern(solver_for(lambda x: x.copy()), np.array([magnitude]))
    assert cols == found


def test_x0_keeps_its_bits(capsys):
    x0 = np.array([-0.0, math.nan, 1.5, -math.inf])
    before = x0.tobytes()
    pattern(solver_for(lambda x: x * 1.0), x0)
    assert x0.tobytes() == before


def test_strided_x0_is_raised_in_place_and_put_back(capsys):
    storage = np.arange(7.0)
    seen = []

    def residual(x):
        seen.append(storage.copy())
        return x.copy()

    assert pattern(solver_for(residual), storage[::2]) == ([0, 1, 2, 3], [0, 1, 2, 3])
    assert storage.tolist() == list(range(7))
    raised = [np.flatnonzero(s != np.arange(7.0)).tolist() for s in seen]
    assert raised == [[], [0], [2], [4], [6]]


def test_read_only_x0_is_refused(capsys):
    x0 = np.zeros(2)
    x0.flags.writeable = False
    with pytest.raises(ValueError, match="read-only") as excinfo:
        SparseSolver().compute_pattern(x0)
    assert entry_lines(excinfo, PATTERN) == [(25, SOURCE_FILE), (25, SOURCE_FILE)]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("x0, kind, message, entries", [
    ([0.0], TypeError, "Argument 'x0' has incorrect type (expected numpy.ndarray, got list)", []),
    (np.zeros(2, np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'", [25]),
    (np.zeros(2, np.int64), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long'", [25]),
    (np.zeros((1, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)",
     [25]),
    (None, TypeError, "Argument 'x0' must not be None", [25, 25]),
])
def test_x0_refused(capsys, x0, kind, message, entries):
    with pytest.raises(kind) as excinfo:
        SparseSolver().compute_pattern(x0)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, PATTERN) == [(line, SOURCE_FILE) for line in entries]
    assert capsys.readouterr().out == ""


def test_failing_evaluation_gives_x0_back(capsys):
    x0 = np.array([1.0, 2.0, 3.0, 4.0])

    def residual(x):
        if x[2] != 3.0:
            raise RuntimeError("no residual here")
        return x.copy()

    solver = solver_for(residual)
    with pytest.raises(RuntimeError) as excinfo:
        solver.compute_pattern(x0)
    assert entry_lines(excinfo, PATTERN) == [(25, SOURCE_FILE), (40, SOURCE_FILE)]
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE)]
    assert x0.tolist() == [1.0, 2.0, 3.0, 4.0]
    assert capsys.readouterr().out == "0 0 is a thing\n1 1 is a thing\n"


@pytest.mark.parametrize("residual, line, kind, message", [
    (lambda x: x.astype(np.float32), 36, ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda x: x[:1].copy(), 36, ValueError,
     "compute_residuals returned 1 values, fewer than the 2 of x0"),
    (lambda x: None, 36, ValueError,
     "compute_residuals returned 0 values, fewer than the 2 of x0"),
    (lambda x: x.copy() if x[0] == 0 else x[:1].copy(), 40, ValueError,
     "compute_residuals returned 1 values, fewer than the 2 of x0"),
    (lambda x: [0.0, 0.0], 36, TypeError, "Cannot convert list to numpy.ndarray"),
    (lambda x: np.zeros(2)[None], 36, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_unusable_residuals(capsys, residual, line, kind, message):
    x0 = np.zeros(2)
    with pytest.raises(kind) as excinfo:
        solver_for(residual).compute_pattern(x0)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, PATTERN) == [(25, SOURCE_FILE), (line, SOURCE_FILE)]
    assert x0.tolist() == [0.0, 0.0]


def test_longer_residual_entries_are_ignored(capsys):
    assert pattern(solver_for(lambda x: np.concatenate([x, x])), np.zeros(2)) == (
        [0, 1], [0, 1])


def test_none_residual_is_harmless_when_x0_is_empty(capsys):
    assert pattern(solver_for(lambda x: None), np.zeros(0)) == ([], [])


def test_refilled_residual_array_gives_the_true_pattern(capsys):
    out = np.zeros(3)

    def residual(x):
        out[:] = 3 * x
        return out

    assert pattern(solver_for(residual), np.ones(3)) == ([0, 1, 2], [0, 1, 2])


def test_pattern_rows_holds_a_copy_of_the_rows(capsys):
    solver = solver_for(lambda x: 2 * x)
    rows, _ = solver.compute_pattern(np.zeros(2))
    stored, reserved1, reserved2 = gc.get_referents(solver)[-3:]
    assert stored is not rows and stored.tolist() == rows.tolist()
    assert reserved1 is None and reserved2 is None
    rows[0] = 99
    assert stored.tolist() == [0, 1]
    second, _ = solver.compute_pattern(np.zeros(3))
    assert gc.get_referents(solver)[-3].tolist() == [0, 1, 2] and rows.tolist() == [99, 1]


def test_find_groups_takes_the_pattern_as_it_comes(capsys):
    solver = solver_for(lambda x: np.convolve(x, [1.0, 2.0, 1.0], "same"))
    groups = solver.find_groups(*solver.compute_pattern(np.ones(6)))
    assert len(groups) == 3


# The override rule, reached from compute_pattern's calls through the method table.

def test_base_body_through_the_class(capsys):
    solver = solver_for(lambda x: 2 * x)
    assert SparseSolver.compute_residuals(solver, np.zeros(2)).tolist() == [0.0, 0.0]
    assert capsys.readouterr().out == "computing base residual\n"


def test_slots_subclass_redefinition_is_used(capsys):
    class Slotted(SparseSolver):
        __slots__ = ()

        def compute_residuals(self, x):
            return 2 * x

    assert pattern(Slotted(), np.zeros(2)) == ([0, 1], [0, 1])
    assert capsys.readouterr().out == "0 0 is a thing\n1 1 is a thing\n"


def test_the_class_own_method_under_its_name_runs_the_body(capsys):
    class Plain(SparseSolver):
        pass

    class Reassigned(SparseSolver):
        compute_residuals = SparseSolver.compute_residuals

    on_instance = Plain()
    on_instance.compute_residuals = SparseSolver.compute_residuals.__get__(on_instance)
    for solver in (Plain(), Reassigned(), on_instance):
        assert pattern(solver, np.zeros(1)) == ([], [])
        assert capsys.readouterr().out == "computing base residual\n" * 2


def test_instance_attribute_is_called_without_self(capsys):
    class Open(SparseSolver):
        pass

    solver, calls = Open(), []
    solver.compute_residuals = lambda x: calls.append(x) or 2 * x
    x0 = np.zeros(2)
    assert pattern(solver, x0) == ([0, 1], [0, 1])
    assert len(calls) == 3 and all(c is x0 for c in calls)


def test_non_callable_override_fails_the_evaluation(capsys):
    class Open(SparseSolver):
        pass

    solver = Open()
    solver.compute_residuals = 42
    with pytest.raises(TypeError, match="not callable") as excinfo:
        solver.compute_pattern(np.zeros(1))
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE)]
    assert entry_lines(excinfo, PATTERN) == [(25, SOURCE_FILE), (36, SOURCE_FILE)]


def test_lookup_failure_fails_the_evaluation(capsys):
    class Odd(SparseSolver):
        def __getattribute__(self, name):
            if name == "compute_residuals":
                raise KeyError(name)
            return super().__getattribute__(name)

    with pytest.raises(KeyError) as excinfo:
        Odd().compute_pattern(np.zeros(1))
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE)]
