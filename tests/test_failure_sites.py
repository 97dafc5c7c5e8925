"""Every row of a method's failure table is a failure site of its own: reached from Python (or
through the C-level table, for the override rows), each row gives its own site number, and the
same row reached twice gives the same one."""

import contextlib
import io

import numpy as np
import pytest

from conftest import module_entries
from vendrel import sparse_solver
from vendrel.sparse_solver import SparseSolver

PREFIX = "vendrel.sparse_solver.SparseSolver."


def i32(values):
    return np.array(values, dtype=np.int32)


class NoStdout:
    """A stdout whose write fails: every print fails."""


class Raising:
    def __call__(self, *args, **kwargs):
        raise RuntimeError("raised by a NumPy stand-in")


def np_without(*names):
    """A stand-in for `np` whose attributes `names` are missing or fail when called."""
    class Stand:
        def __getattr__(self, name):
            if name in names:
                raise AttributeError(name)
            return getattr(np, name)
    return Stand()


def np_returning(name, value):
    class Stand:
        def __getattr__(self, attribute):
            if attribute == name:
                return lambda *a, **k: value
            return getattr(np, attribute)
    return Stand()


def np_raising(name):
    class Stand:
        def __getattr__(self, attribute):
            return Raising() if attribute == name else getattr(np, attribute)
    return Stand()


@contextlib.contextmanager
def module_np(monkeypatch, value):
    if value is None:
        monkeypatch.delattr(sparse_solver, "np")
    else:
        monkeypatch.setattr(sparse_solver, "np", value)
    yield


def innermost(excinfo, method):
    """(site, line) of the innermost entry of `method`, and the sites of all its entries."""
    entries = [(site, line) for fn, site, line, _ in module_entries(excinfo.tb)
               if fn == PREFIX + method]
    assert entries, "no traceback entry for %s" % method
    return entries[-1], [site for site, _ in entries]


class Residuals(SparseSolver):
    def __init__(self, result):
        self.result = result

    def compute_residuals(self, x):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def short_residuals(x):
    return np.zeros(len(x) - 1)


# (row, method, call, expected line): call(monkeypatch, client) makes the failure of the row.
def _residuals_rows():
    solver = SparseSolver
    return [
        ("method buffer", lambda mp, c: solver().compute_residuals(np.zeros((2, 2))), 19),
        ("length", lambda mp, c: solver().compute_residuals(None), 23),
        ("np missing", lambda mp, c: (module_np(mp, None).__enter__(),
                                      solver().compute_residuals(np.zeros(2))), 23),
        ("no zeros", lambda mp, c: (module_np(mp, np_without("zeros")).__enter__(),
                                    solver().compute_residuals(np.zeros(2))), 23),
        ("zeros call", lambda mp, c: (module_np(mp, np_raising("zeros")).__enter__(),
                                      solver().compute_residuals(np.zeros(2))), 23),
        ("zeros result", lambda mp, c: (module_np(mp, np_returning("zeros", [0.0])).__enter__(),
                                        solver().compute_residuals(np.zeros(2))), 23),
        ("print", lambda mp, c: (mp.setattr("sys.stdout", NoStdout()),
                                 solver().compute_residuals(np.zeros(2))), 22),
        ("override call", lambda mp, c: c.compute_residuals(Residuals(RuntimeError("r")),
                                                            np.zeros(2)), 19),
        ("override result", lambda mp, c: c.compute_residuals(Residuals([1.0]), np.zeros(2)), 19),
        ("lookup", lambda mp, c: c.compute_residuals(Hiding(), np.zeros(2)), 19),
    ]


def _pattern_rows():
    solver = SparseSolver
    x = np.zeros(2)
    return [
        ("method buffer", lambda mp, c: solver().compute_pattern(np.zeros((2, 2))), 25),
        ("entry buffer", lambda mp, c: solver().compute_pattern(np.broadcast_to(0.0, 2)), 25),
        ("lookup", lambda mp, c: c.compute_pattern(Hiding(), x.copy()), 25),
        ("base call", lambda mp, c: Residuals(RuntimeError("b")).compute_pattern(x.copy()), 36),
        ("base refused", lambda mp, c: Residuals(np.zeros(2, "f4")).compute_pattern(x.copy()), 36),
        ("base short", lambda mp, c: type("S", (SparseSolver,), {
            "compute_residuals": lambda self, x: short_residuals(x)})().compute_pattern(x.copy()),
         36),
        ("store", lambda mp, c: (module_np(mp, np_raising("array")).__enter__(),
                                 Residuals(np.zeros(2)).compute_pattern(x.copy())), 48),
        ("store result", lambda mp, c: (module_np(mp, np_returning("array", [1])).__enter__(),
                                        Residuals(np.zeros(2)).compute_pattern(x.copy())), 48),
        ("print", lambda mp, c: (mp.setattr("sys.stdout", NoStdout()),
                                 Changing().compute_pattern(x.copy())), 45),
        ("override call", lambda mp, c: c.compute_pattern(PatternOverride(RuntimeError("p")),
                                                          x.copy()), 25),
        ("override result", lambda mp, c: c.compute_pattern(PatternOverride([1]), x.copy()), 25),
    ]


class Hiding(SparseSolver):
    """Its methods cannot be looked up: the override rule's look-up fails."""

    def __getattribute__(self, name):
        if name in ("compute_residuals", "compute_pattern", "find_groups"):
            raise RuntimeError("no %s here" % name)
        return object.__getattribute__(self, name)


class Changing(SparseSolver):
    def compute_residuals(self, x):
        return x * 2.0


class Perturbed(SparseSolver):
    """Fails at the first perturbed evaluation, in the way given."""

    def __init__(self, how):
        self.how, self.calls = how, 0

    def compute_residuals(self, x):
        self.calls += 1
        if self.calls == 1:
            return np.zeros(len(x))
        if self.how == "raise":
            raise RuntimeError("perturbed")
        return np.zeros(len(x), "f4") if self.how == "refused" else np.zeros(len(x) - 1)


class PatternOverride(SparseSolver):
    def __init__(self, result):
        self.result = result

    def compute_pattern(self, x0):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class GroupsOverride(SparseSolver):
    def __init__(self, result):
        self.result = result

    def find_groups(self, rows, cols):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def _groups_rows():
    solver = SparseSolver
    r, c = i32([0, 1]), i32([0, 1])
    return [
        ("count", lambda mp, c_: solver().find_groups(r), 51),
        ("keyword count", lambda mp, c_: solver().find_groups(r, c, r, cols=c), 51),
        ("missing cols", lambda mp, c_: solver().find_groups(rows=r), 51),
        ("keyword", lambda mp, c_: solver().find_groups(r, c, other=1), 51),
        ("rows refused", lambda mp, c_: solver().find_groups(r.astype(np.int64), c), 51),
        ("cols refused", lambda mp, c_: solver().find_groups(r, c.astype(np.int64)), 51),
        ("input", lambda mp, c_: solver().find_groups(i32([]), i32([])), 61),
        ("last column", lambda mp, c_: (mp.setattr("sys.stdout", NoStdout()),
                                        solver().find_groups(r, c)), 61),
        ("flags", lambda mp, c_: (module_np(mp, np_raising("zeros")).__enter__(),
                                  solver().find_groups(r, c)), 85),
        ("array", lambda mp, c_: (module_np(mp, np_raising("array")).__enter__(),
                                  solver().find_groups(r, c)), 119),
        ("override call", lambda mp, c_: c_.find_groups(GroupsOverride(RuntimeError("g")), r, c),
         51),
        ("override result", lambda mp, c_: c_.find_groups(GroupsOverride((1,)), r, c), 51),
    ]


def _perturbed_rows():
    x = np.zeros(2)
    return [
        ("evaluate call", lambda mp, c: Perturbed("raise").compute_pattern(x.copy()), 40),
        ("evaluate refused", lambda mp, c: Perturbed("refused").compute_pattern(x.copy()), 40),
        ("evaluate short", lambda mp, c: Perturbed("short").compute_pattern(x.copy()), 40),
    ]


TABLES = {
    "compute_residuals": _residuals_rows(),
    "compute_pattern": _pattern_rows() + _perturbed_rows(),
    "find_groups": _groups_rows(),
}


def reach(monkeypatch, client, call):
    with contextlib.redirect_stdout(io.StringIO()):
        with pytest.raises(Exception) as excinfo:
            with monkeypatch.context() as mp:
                call(mp, client)
    return excinfo


@pytest.mark.parametrize("method", sorted(TABLES))
def test_each_row_of_a_failure_table_has_its_own_site(method, monkeypatch, cython_client):
    seen = {}
    for row, call, line in TABLES[method]:
        (site, where), _ = innermost(reach(monkeypatch, cython_client, call), method)
        assert where == line, row
        again, _ = innermost(reach(monkeypatch, cython_client, call), method)
        assert again == (site, where), "row %r reached twice gave two sites" % row
        assert site not in seen, "rows %r and %r share site %d" % (seen.get(site), row, site)
        seen[site] = row


@pytest.mark.parametrize("method, call", [
    ("compute_residuals", lambda: SparseSolver().compute_residuals(None)),
    ("find_groups", lambda: SparseSolver().find_groups(i32([]), i32([]))),
])
def test_a_failure_inside_a_method_gives_the_outer_entry_a_site_of_its_own(method, call):
    """The Python-visible method's outer entry (the C-level entry failed) is another row than
    its own argument refusals."""
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(Exception) as inner:
        call()
    with pytest.raises(Exception) as refused:
        getattr(SparseSolver(), method)(np.zeros((2, 2)), *(() if method != "find_groups"
                                                            else (i32([0]),)))
    _, sites = innermost(inner, method)
    assert len(sites) == 2 and sites[0] != sites[1]
    _, refusal = innermost(refused, method)
    assert sites[0] not in refusal
