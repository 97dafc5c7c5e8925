"""find_groups: the printed trace, the groups, and input outside the contract."""

import contextlib
import io

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import SOURCE_FILE, entry_lines
from grouping_model import group_columns
from vendrel.sparse_solver import SparseSolver

GROUPS = "vendrel.sparse_solver.SparseSolver.find_groups"


def i32(values):
    return np.array(values, dtype=np.int32)


def run(capsys, rows, cols, **kwargs):
    result = SparseSolver().find_groups(i32(rows), i32(cols), **kwargs)
    return capsys.readouterr().out, [a.tolist() for a in result]


def test_the_documented_trace(capsys):
    out, result = run(capsys, [0, 1, 1], [0, 1, 2])
    assert out.split("\n") == [
        "2", "[[0], [1], [2]]", "0 ", "1 ", "1 ",
        "trying to merge colum  1 in column  0", "row ii 1", "row jj 0", "should merge",
        "trying to merge colum  2 in column  0", "row ii 1", "row jj 0", "row jj 1",
        "trying to merge colum  2 in column  1", "1 already merged",
        "[[0, 1], [1], [2]]", "0 merged 0", "1 merged 1", "2 merged 0",
        "[array([0, 1]), array([2])]", ""]
    assert result == [[0, 1], [2]]


@pytest.mark.parametrize("rows, cols, expected, tried", [
    ([5], [3], [[0]], 0),
    ([0, 1, 2], [0, 1, 2], [[0, 1, 2]], 2),        # group 2 joins group 0 too
    ([0, 0, 0, 0], [0, 1, 2, 3], [[0], [1], [2], [3]], 6),
    ([0, 1, 0], [0, 1, 0], [[0, 1], [2]], 3),      # a column index that comes back
    ([0, 2, 1, 3], [4, 4, 7, 7], [[0, 1, 2, 3]], 1),  # runs of several positions
])
def test_grouping_cases(capsys, rows, cols, expected, tried):
    out, result = run(capsys, rows, cols)
    assert result == expected
    assert out.count("trying to merge colum ") == tried
    assert out == group_columns(rows, cols)[0]


def test_extra_rows_are_never_read(capsys):
    short = run(capsys, [0, 1, 1], [0, 1, 2])
    longer = run(capsys, [0, 1, 1, 0, 0], [0, 1, 2])
    assert short == longer


def test_result_arrays_use_numpys_default_integer(capsys):
    result = SparseSolver().find_groups(i32([0, 1]), i32([0, 0]))
    assert [a.dtype for a in result] == [np.array([0]).dtype]


def test_strided_and_reversed_views_are_read_in_view_order(capsys):
    rows = i32([0, 9, 1, 9, 1, 9])[::2]
    cols = i32([2, 1, 0])[::-1]
    result = SparseSolver().find_groups(rows, cols)
    assert capsys.readouterr().out == group_columns([0, 1, 1], [0, 1, 2])[0]
    assert [a.tolist() for a in result] == [[0, 1], [2]]


@pytest.mark.parametrize("call", [
    lambda s, r, c: s.find_groups(r, c),
    lambda s, r, c: s.find_groups(rows=r, cols=c),
    lambda s, r, c: s.find_groups(cols=c, rows=r),
    lambda s, r, c: s.find_groups(r, cols=c),
])
def test_argument_forms_are_equivalent(capsys, call):
    rows, cols = i32([0, 1, 1]), i32([0, 1, 2])
    result = call(SparseSolver(), rows, cols)
    assert [a.tolist() for a in result] == [[0, 1], [2]]
    assert capsys.readouterr().out == group_columns([0, 1, 1], [0, 1, 2])[0]
    assert rows.tolist() == [0, 1, 1] and cols.tolist() == [0, 1, 2]


@pytest.mark.parametrize("rows, cols, kind, message", [
    (i32([]), i32([]), ValueError, "find_groups needs at least one entry in cols"),
    (i32([0]), i32([]), ValueError, "find_groups needs at least one entry in cols"),
    (None, i32([0]), TypeError, "Argument 'rows' must not be None"),
    (i32([0]), None, TypeError, "Argument 'cols' must not be None"),
    (None, None, TypeError, "Argument 'cols' must not be None"),
    (i32([0]), i32([0, 1]), ValueError, "rows has 1 entries, fewer than the 2 of cols"),
])
def test_input_outside_the_contract(capsys, rows, cols, kind, message):
    with pytest.raises(kind) as excinfo:
        SparseSolver().find_groups(rows, cols)
    assert str(excinfo.value) == message
    assert entry_lines(excinfo, GROUPS) == [(51, SOURCE_FILE), (61, SOURCE_FILE)]
    assert capsys.readouterr().out == ""


@pytest.fixture
def module():
    import vendrel.sparse_solver as module

    return module


def test_missing_np_fails_at_the_merged_flags(module, monkeypatch, capsys):
    monkeypatch.delattr(module, "np")
    with pytest.raises(NameError, match="name 'np' is not defined") as excinfo:
        SparseSolver().find_groups(i32([0, 1]), i32([0, 1]))
    assert entry_lines(excinfo, GROUPS) == [(51, SOURCE_FILE), (85, SOURCE_FILE)]
    assert capsys.readouterr().out == "1\n[[0], [1]]\n0 \n1 \n"


def test_short_merged_flags_are_refused(module, monkeypatch, capsys):
    real = np

    class FewFlags:
        def __getattr__(self, name):
            return getattr(real, name)

        @staticmethod
        def zeros(count, dtype):
            return real.zeros(count - 1, dtype)

    monkeypatch.setattr(module, "np", FewFlags())
    with pytest.raises(ValueError, match="np.zeros returned 1 flags for 2 groups"):
        SparseSolver().find_groups(i32([0, 1]), i32([0, 1]))


class FailingStream:
    """A stdout that fails on the write that starts its n-th line."""

    def __init__(self, n):
        self.n, self.lines, self.text = n, 0, ""

    def write(self, text):
        if self.text == "" or self.text.endswith("\n"):
            self.lines += 1
            if self.lines == self.n:
                raise OSError("stream closed")
        self.text += text
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("line_number, source_line", [
    (1, 61), (2, 72), (3, 79), (6, 91), (7, 101), (8, 103), (9, 108), (15, 93), (16, 113),
    (17, 117), (20, 120),
])
def test_print_failures_report_their_statement(monkeypatch, line_number, source_line):
    stream = FailingStream(line_number)
    monkeypatch.setattr("sys.stdout", stream)
    with pytest.raises(OSError) as excinfo:
        SparseSolver().find_groups(i32([0, 1, 1]), i32([0, 1, 2]))
    assert entry_lines(excinfo, GROUPS) == [(51, SOURCE_FILE), (source_line, SOURCE_FILE)]


@st.composite
def patterns(draw):
    """Column-major patterns as compute_pattern makes them, and arbitrary column orders."""
    columns = draw(st.lists(st.integers(0, 9), min_size=1, max_size=8))
    if draw(st.booleans()):
        columns = sorted(set(columns))
    rows, cols = [], []
    for column in columns:
        members = draw(st.lists(st.integers(0, 7), min_size=1, max_size=4, unique=True))
        rows += sorted(members)
        cols += [column] * len(members)
    return rows, cols


@settings(max_examples=200, deadline=None)
@given(patterns())
def test_grouping_matches_the_model(pattern):
    rows, cols = pattern
    stream = io.StringIO()
    with contextlib.redirect_stdout(stream):
        result = SparseSolver().find_groups(i32(rows), i32(cols))
    trace, expected = group_columns(rows, cols)
    assert stream.getvalue() == trace
    assert [a.tolist() for a in result] == [a.tolist() for a in expected]
    # Every position in exactly one group; no two runs in a group share a row.
    positions = sorted(p for a in result for p in a.tolist())
    assert positions == list(range(len(cols)))
    run_of = [0]
    for p in range(1, len(cols)):
        run_of.append(run_of[-1] + (cols[p] != cols[p - 1]))
    for array in result:
        owner = {}
        for p in array.tolist():
            assert owner.setdefault(rows[p], run_of[p]) == run_of[p]
