"""Hostile input: random arguments and misbehaving residual functions and streams. The
interpreter must survive, x0 must come back bit for bit, rows and cols must never be
written, and every failure must be a Python exception carrying the module's entries."""

import contextlib
import io

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import module_entries
from vendrel.sparse_solver import SparseSolver

DTYPES = ["f8", "f4", "i4", "i8", "u1", "b1", "f2", "c16", ">f8", ">i4", "O", "U2",
          [("a", "f8")], [("a", "i4")], [("a", "f8"), ("b", "f8")], [("a", "f8", (2,))]]
SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


@st.composite
def arrays(draw):
    """Arrays of any of DTYPES, of 0 to 2 dimensions, strided, reversed or read-only."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.sampled_from([1, 1, 1, 0, 2]))
    shape = tuple(draw(st.lists(st.integers(0, 6), min_size=ndim, max_size=ndim)))
    base = np.zeros(shape, dtype=dtype) if dtype.kind != "O" else np.full(shape, 0.5, object)
    if dtype.kind in "fiu" and base.size:
        base[...] = draw(st.sampled_from([0, 1, 2])) if dtype.kind != "b" else True
    if ndim == 1 and draw(st.booleans()):
        base = base[::draw(st.sampled_from([2, -1, -2]))]
    if draw(st.booleans()):
        base.flags.writeable = False
    return base


OTHERS = st.sampled_from([
    lambda: None, lambda: [1.0, 2.0], lambda: 3, lambda: "text", lambda: b"bytes",
    lambda: memoryview(b"abcdefgh"), lambda: memoryview(bytearray(16)).cast("i"), object,
]).map(lambda make: make())
ARGUMENTS = st.one_of(arrays(), OTHERS)


class Behaviour:
    """A residual function that misbehaves at one evaluation."""

    def __init__(self, kind, at):
        self.kind, self.at, self.calls = kind, at, 0

    def __call__(self, x):
        call, self.calls = self.calls, self.calls + 1
        good = np.asarray(x, dtype=float) * 2.0
        if call != self.at:
            return good
        return {
            "raise": lambda: (_ for _ in ()).throw(RuntimeError("bad residual")),
            "list": lambda: list(good),
            "none": lambda: None,
            "float32": lambda: good.astype(np.float32),
            "2-D": lambda: good[None],
            "short": lambda: good[:-1],
            "long": lambda: np.concatenate([good, good]),
            "int": lambda: 7,
            "readonly": lambda: _readonly(good),
        }[self.kind]()


def _readonly(array):
    array.flags.writeable = False
    return array


BEHAVIOURS = st.builds(Behaviour, st.sampled_from(["raise", "list", "none", "float32", "2-D",
                                                    "short", "long", "int", "readonly"]),
                       st.integers(0, 6))


class BrokenStream(io.StringIO):
    """A stdout whose k-th write raises."""

    def __init__(self, k):
        super().__init__()
        self.k = k

    def write(self, text):
        self.k -= 1
        if self.k == 0:
            raise OSError("stream broken")
        return super().write(text)


def check_failure(error, method, carries_entries):
    assert isinstance(error, Exception)
    if carries_entries:
        names = [entry[0] for entry in module_entries(error.__traceback__)]
        assert "vendrel.sparse_solver.SparseSolver." + method in names


@SETTINGS
@given(ARGUMENTS, BEHAVIOURS, st.integers(0, 40))
def test_compute_pattern_survives(x0, behaviour, broken_write):
    class Problem(SparseSolver):
        def compute_residuals(self, x):
            return behaviour(x)

    snapshot = x0.tobytes() if isinstance(x0, np.ndarray) and x0.dtype.kind != "O" else None
    stream = BrokenStream(broken_write) if broken_write else io.StringIO()
    try:
        with contextlib.redirect_stdout(stream):
            result = Problem().compute_pattern(x0)
    except Exception as error:  # noqa: BLE001 - any Python exception is acceptable
        refused_by_type = isinstance(error, TypeError) and "has incorrect type" in str(error)
        check_failure(error, "compute_pattern", not refused_by_type)
    else:
        rows, cols = result
        assert rows.dtype == np.intc and len(rows) == len(cols)
    if snapshot is not None:
        assert x0.tobytes() == snapshot


@SETTINGS
@given(ARGUMENTS, ARGUMENTS, st.integers(0, 60))
def test_find_groups_survives(rows, cols, broken_write):
    snapshots = [a.tobytes() if isinstance(a, np.ndarray) and a.dtype.kind != "O" else None
                 for a in (rows, cols)]
    stream = BrokenStream(broken_write) if broken_write else io.StringIO()
    try:
        with contextlib.redirect_stdout(stream):
            result = SparseSolver().find_groups(rows, cols)
    except Exception as error:  # noqa: BLE001
        check_failure(error, "find_groups", True)
    else:
        assert sorted(p for a in result for p in a.tolist()) == list(range(len(cols)))
    for array, snapshot in zip((rows, cols), snapshots):
        if snapshot is not None:
            assert array.tobytes() == snapshot


@SETTINGS
@given(st.lists(st.integers(-3, 3), min_size=1, max_size=12),
       st.lists(st.integers(-3, 3), min_size=1, max_size=12))
def test_find_groups_on_any_int32_values(rows, cols):
    rows = np.array(rows + [0] * max(0, len(cols) - len(rows)), dtype=np.int32)
    cols = np.array(cols, dtype=np.int32)
    with contextlib.redirect_stdout(io.StringIO()):
        result = SparseSolver().find_groups(rows, cols)
    assert sorted(p for a in result for p in a.tolist()) == list(range(len(cols)))


@SETTINGS
@given(ARGUMENTS)
def test_compute_residuals_survives(x):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            result = SparseSolver().compute_residuals(x)
    except Exception as error:  # noqa: BLE001
        refused_by_type = isinstance(error, TypeError) and "has incorrect type" in str(error)
        check_failure(error, "compute_residuals", not refused_by_type)
    else:
        assert isinstance(result, np.ndarray) and result.shape == (len(x),)
