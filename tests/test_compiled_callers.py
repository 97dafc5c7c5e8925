"""The C-level method table as other compiled modules use it: do_stuff and the
overridable entries called with the skip-dispatch flag clear."""

import threading
import time

import numpy as np
import pytest

from conftest import SOURCE_FILE, entry_lines
from vendrel.sparse_solver import SparseSolver

DO_STUFF = "vendrel.sparse_solver.SparseSolver.do_stuff"
PATTERN = "vendrel.sparse_solver.SparseSolver.compute_pattern"
GROUPS = "vendrel.sparse_solver.SparseSolver.find_groups"
RESIDUALS = "vendrel.sparse_solver.SparseSolver.compute_residuals"


@pytest.fixture(scope="module")
def client(cython_client):
    return cython_client


def i32(values):
    return np.array(values, dtype=np.int32)


def test_do_stuff_increments_and_prints(client, capsys):
    v = i32([1, 2, 3])
    assert client.do_stuff(SparseSolver(), v) is None
    assert v.tolist() == [2, 3, 4]
    assert capsys.readouterr().out == str(np.array([2, 3, 4], dtype=np.int32)) + "\n"


def test_do_stuff_on_an_empty_view(client, capsys):
    client.do_stuff(SparseSolver(), i32([]))
    assert capsys.readouterr().out == str(np.array([], dtype=np.int32)) + "\n"


def test_do_stuff_on_every_second_element(client, capsys):
    storage = i32([0, 10, 20, 30, 40])
    client.do_stuff(SparseSolver(), storage[::2])
    assert storage.tolist() == [1, 10, 21, 30, 41]
    assert capsys.readouterr().out == str(np.array([1, 21, 41], dtype=np.int32)) + "\n"


def test_do_stuff_wraps_and_adds_up(client, capsys):
    v = i32([2**31 - 1, -1])
    client.do_stuff(SparseSolver(), v)
    assert v.tolist() == [-(2**31), 0]
    client.do_stuff(SparseSolver(), v)
    assert v.tolist() == [-(2**31) + 1, 1]


def test_do_stuff_with_a_none_view_prints_none(client, capsys):
    client.do_stuff_none(SparseSolver())
    assert capsys.readouterr().out == "None\n"


def test_do_stuff_fails_after_the_increment(client, monkeypatch, capsys):
    import vendrel.sparse_solver as module

    monkeypatch.delattr(module, "np")
    v = i32([5])
    with pytest.raises(NameError, match="name 'np' is not defined") as excinfo:
        client.do_stuff(SparseSolver(), v)
    assert v.tolist() == [6]
    assert entry_lines(excinfo, DO_STUFF) == [(131, SOURCE_FILE)]


def test_do_stuff_releases_the_interpreter_lock(client, capsys):
    v = np.zeros(40_000_000, dtype=np.int32)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)

    worker = threading.Thread(target=count)
    worker.start()
    time.sleep(0.01)
    try:
        for _ in range(5):
            start = len(ticks)
            began = time.perf_counter()
            client.do_stuff(SparseSolver(), v[::2])
            during = [t for t in ticks[start:] if t > began]
    finally:
        stop.set()
        worker.join()
    assert v[::2].min() == 5 and v[1::2].max() == 0
    assert during, "the other thread made no progress during do_stuff"


def test_the_table_reaches_the_bodies_of_a_plain_solver(client, capsys):
    solver = SparseSolver()
    assert client.compute_residuals(solver, np.zeros(2)).tolist() == [0.0, 0.0]
    rows, cols = client.compute_pattern(solver, np.zeros(1))
    assert rows.tolist() == [] and client.pattern_rows(solver).tolist() == []
    groups = client.find_groups(solver, i32([0, 1, 1]), i32([0, 1, 2]))
    assert [g.tolist() for g in groups] == [[0, 1], [2]]


def test_pattern_rows_is_read_by_compiled_callers(client, capsys):
    solver = SparseSolver()
    assert client.pattern_rows(solver) is None

    class Diagonal(SparseSolver):
        def compute_residuals(self, x):
            return 2 * x

    solver = Diagonal()
    rows, _ = solver.compute_pattern(np.zeros(2))
    stored = client.pattern_rows(solver)
    assert stored is not rows and stored.tolist() == [0, 1]


class Redefined(SparseSolver):
    result = None
    seen = None

    def compute_residuals(self, x):
        return self.result

    def compute_pattern(self, x0):
        type(self).seen = (x0,)
        return self.result

    def find_groups(self, rows, cols):
        type(self).seen = (rows, cols)
        return self.result


@pytest.mark.parametrize("result, message", [
    ([1], "Expected tuple, got list"),
    (type("TupleSub", (tuple,), {})(), "Expected tuple, got TupleSub"),
])
def test_compute_pattern_override_results_refused(client, result, message):
    solver = Redefined()
    solver.result = result
    with pytest.raises(TypeError) as excinfo:
        client.compute_pattern(solver, np.zeros(1))
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, PATTERN) == [(25, SOURCE_FILE)]


@pytest.mark.parametrize("result", [None, (1, 2)])
def test_compute_pattern_override_results_accepted(client, result):
    solver = Redefined()
    solver.result = result
    x0 = np.zeros(1)
    assert client.compute_pattern(solver, x0) is result
    assert Redefined.seen[0] is x0


def test_find_groups_override_receives_views_of_the_callers_memory(client):
    solver = Redefined()
    solver.result = ["mine"]
    rows, cols = i32([0, 1, 9, 2]), i32([5, 6])
    assert client.find_groups(solver, rows[::2], cols) == ["mine"]
    got_rows, got_cols = (np.asarray(v) for v in Redefined.seen)
    assert got_rows.tolist() == [0, 9] and got_cols.tolist() == [5, 6]
    assert np.shares_memory(got_rows, rows) and np.shares_memory(got_cols, cols)
    got_rows[1] = 4
    assert rows.tolist() == [0, 1, 4, 2]
    # Handed back to find_groups, they are taken as the views they are.
    assert [g.tolist() for g in SparseSolver().find_groups(*Redefined.seen)] == [[0, 1]]


def test_find_groups_override_with_a_none_view(client):
    solver = Redefined()
    solver.result = None
    assert client.find_groups_none(solver, i32([1])) is None
    assert Redefined.seen[1] is None


@pytest.mark.parametrize("result, message", [((), "Expected list, got tuple"),
                                             (np.zeros(1), "Expected list, got numpy.ndarray")])
def test_find_groups_override_results_refused(client, result, message):
    solver = Redefined()
    solver.result = result
    with pytest.raises(TypeError) as excinfo:
        client.find_groups(solver, i32([0]), i32([0]))
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, GROUPS) == [(51, SOURCE_FILE)]


def test_compute_residuals_override_result_refused(client):
    solver = Redefined()
    solver.result = [0.0]
    with pytest.raises(TypeError) as excinfo:
        client.compute_residuals(solver, np.zeros(1))
    assert str(excinfo.value) == "Cannot convert list to numpy.ndarray"
    assert entry_lines(excinfo, RESIDUALS) == [(19, SOURCE_FILE)]


def test_find_groups_through_the_table_refuses_what_it_cannot_read(client, capsys):
    with pytest.raises(TypeError, match="Argument 'cols' must not be None") as excinfo:
        client.find_groups_none(SparseSolver(), i32([1]))
    assert entry_lines(excinfo, GROUPS) == [(61, SOURCE_FILE)]
    with pytest.raises(ValueError, match="fewer than the 2 of cols"):
        client.find_groups(SparseSolver(), i32([0]), i32([0, 1]))
    assert capsys.readouterr().out == ""


def test_a_compiled_subclass_redefinition_is_used_by_compute_pattern(client, capsys):
    solver = client.Tripled()
    assert isinstance(solver, SparseSolver)
    rows, cols = solver.compute_pattern(np.zeros(3))
    assert rows.tolist() == [0, 1, 2] and cols.tolist() == [0, 1, 2]
    assert "computing base residual" not in capsys.readouterr().out
    assert client.pattern_rows(solver).tolist() == [0, 1, 2]
    del solver


def test_a_cplusplus_caller_through_the_header(header_client, capsys):
    assert header_client.residuals(SparseSolver(), np.zeros(3)).tolist() == [0.0] * 3
    assert capsys.readouterr().out == "computing base residual\n"
