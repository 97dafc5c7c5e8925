"""What the engine's public functions take and give: one rule for a pattern argument,
every argument checked where it is received, Jacobians that are ordinary arrays, and
ColumnGrouping's contract."""

import re
import subprocess
import sys

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from vendrel import grouping
from vendrel.jacobian import SparseJacobian, detect_sparsity, estimate_jacobian


def two_rows(x):
    return np.array([x[0] + x[1], x[1] + 3 * x[2]])


TWO_ROWS = [[1, 1, 0], [0, 1, 1]]
EXPECTED = np.array([[1.0, 1.0, 0.0], [0.0, 1.0, 3.0]])


# Every form names the same 2 x 3 pattern; a nested list is a matrix, always.
FORMS = {
    "nested list": TWO_ROWS,
    "array": np.array(TWO_ROWS),
    "bool array": np.array(TWO_ROWS, dtype=bool),
    "csr": scipy.sparse.csr_matrix(TWO_ROWS),
    "coo array": scipy.sparse.coo_array(np.array(TWO_ROWS)),
    "pairs": (np.array([0, 0, 1, 1]), np.array([0, 1, 1, 2])),
    "list pairs in a tuple": ([0, 0, 1, 1], [0, 1, 1, 2]),
    "scipy structure, groups": (np.array(TWO_ROWS), np.array([0, 1, 0])),
}


@pytest.mark.parametrize("form", sorted(FORMS))
def test_every_form_of_a_pattern_gives_the_same_answer_everywhere(form):
    sparsity = FORMS[form]
    for method in ("2-point", "3-point", "cs"):
        J = estimate_jacobian(two_rows, np.ones(3), method, sparsity=sparsity)
        np.testing.assert_allclose(J.toarray(), EXPECTED, rtol=1e-6)
    jac = SparseJacobian(two_rows, sparsity)
    np.testing.assert_allclose(jac(np.ones(3)).toarray(), EXPECTED, rtol=1e-6)
    assert jac.grouping.pattern.toarray().tolist() == (np.array(TWO_ROWS) != 0).tolist()
    if form != "scipy structure, groups":
        assert grouping.as_pattern(sparsity).toarray().tolist() == (np.array(TWO_ROWS) != 0).tolist()
        assert grouping.lower_bound(sparsity) == 2
        assert grouping.group_columns(sparsity).max() + 1 == 2


@pytest.mark.parametrize("sparsity, message", [
    ([np.array([0, 1]), np.array([1, 2])], "sparsity is a list of arrays: a tuple (rows, cols) "
     "gives index pairs, np.array([...]) a matrix; say which"),
    ((np.array([0, 1]), np.array([1, 2]), np.array([0, 0])), "sparsity as a tuple must have two "
     "items, (rows, cols) or (structure, groups), not 3"),
    ([[1, 0], [1]], "a ragged nested list is none of them"),
    ([1, 0, 1], "not an array of shape (3,)"),
    ((np.array([0, 1]), np.eye(2)), "got items of 1 and 2 dimensions"),
    (None, "sparsity must be a sparse matrix or array"),
    ([["a", "b"]], "not an array of shape (1, 2) and type <U1"),
])
def test_an_ambiguous_or_malformed_pattern_is_refused_everywhere(sparsity, message):
    calls = [lambda: grouping.group_columns(sparsity), lambda: grouping.column_grouping(sparsity),
             lambda: grouping.as_pattern(sparsity)]
    if sparsity is not None:  # None means "detect it" to estimate_jacobian
        calls += [lambda: estimate_jacobian(two_rows, np.ones(3), sparsity=sparsity),
                  lambda: SparseJacobian(two_rows, sparsity)]
    for call in calls:
        with pytest.raises(ValueError, match=re.escape(message)):
            call()


BAD = {
    "workers": -5,
    "points": 7.5,
    "rel_step": "big",
    "abs_step": np.nan,
    "progress": "yes",
    "seed": -1,
    "args": 3,
    "kwargs": [1],
}


@pytest.mark.parametrize("method", ["perturb", "trace", "auto"])
@pytest.mark.parametrize("name", sorted(BAD))
def test_detect_sparsity_checks_every_argument_whatever_the_method(method, name):
    call = dict(method=method, **{name: BAD[name]})
    with pytest.raises((ValueError, TypeError), match=name):
        detect_sparsity(lambda x: x[:-1] * x[1:], np.ones(4), **call)


@pytest.mark.parametrize("call, message", [
    (dict(as_linear_operator=True, workers=-5), "workers"),
    (dict(as_linear_operator=True, output="coo"), "output"),
    (dict(as_linear_operator=True, sparsity=[1, 2]), "sparsity"),
    (dict(as_linear_operator=True, progress=1), "progress"),
    (dict(as_linear_operator="yes"), "as_linear_operator"),
    (dict(full_output=None), "full_output"),
    (dict(method="4-point"), "method"),
    (dict(abs_step=np.inf), "abs_step"),
    (dict(rel_step=np.inf), "rel_step"),  # used (no abs_step): refused, not an infinite step
    (dict(rel_step=[1e-8, 1e-8]), "rel_step has 2 values; x0 has 3"),
    (dict(bounds=(0.0, [1.0, 2.0])), "upper bound"),
    (dict(f0=["a", "b", "c"]), "f0 must hold numbers"),
    (dict(args=None), "args"),
    (dict(sparsity=np.eye(3), out=np.zeros((2, 2)), output="dense"), "out"),
])
def test_estimate_jacobian_checks_every_argument(call, message):
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        estimate_jacobian(lambda x: x**2, np.ones(3), **call)


@pytest.mark.parametrize("call, message", [
    (dict(bounds=(0.0, [1.0, 2.0])), "the upper bound must be a scalar or have 3 values"),
    (dict(rel_step=[1.0, 2.0]), "rel_step has 2 values; x0 has 3"),
    (dict(output="coo"), "output"),
    (dict(progress="no"), "progress"),
    (dict(method="cs", workers=-5), "workers"),
    (dict(bounds=(0.0, np.ones((2, 2)))), "the upper bound"),
    (dict(groups=[0, 1, 2], order="fastest"), "order must be one of"),
    (dict(groups=[0, 1, 2], seed=-1), "seed must not be negative"),
])
def test_sparse_jacobian_checks_every_argument_when_built(call, message):
    with pytest.raises((ValueError, TypeError), match=re.escape(message)):
        SparseJacobian(lambda x: x**2, np.eye(3), **call)
    if "the upper bound must" not in message and "values; x0" not in message:
        # An index pair leaves n open: the form is still checked at once.
        with pytest.raises((ValueError, TypeError), match=re.escape(message)):
            SparseJacobian(lambda x: x**2, (np.arange(3), np.arange(3)), **call)


# Fault 3: Jacobians are ordinary arrays.
@pytest.mark.parametrize("output", ["csr", "csc"])
def test_jacobians_can_be_changed_in_place_without_harm(output):
    mask = np.eye(6, dtype=bool) | np.eye(6, k=1, dtype=bool) | np.eye(6, k=-2, dtype=bool)

    def fun(x):
        return mask.astype(float) @ x**2 * np.r_[1.0, 0.0, 1.0, 1.0, 1.0, 1.0]

    jac = SparseJacobian(fun, mask, output=output)
    x = np.linspace(1.0, 2.0, 6)
    first, second = jac(x), jac(x)
    reference = second.toarray()
    first.eliminate_zeros()   # row 1 is all zero: the structure shrinks
    first.sort_indices()
    first.data *= 2.0
    first += first
    first.indices[:] = 0 if first.nnz else first.indices
    np.testing.assert_array_equal(second.toarray(), reference)
    np.testing.assert_array_equal(jac(x).toarray(), reference)
    np.testing.assert_array_equal(jac.grouping.pattern.toarray(), mask)
    groups = jac.groups
    groups[:] = 99
    assert (jac.groups != 99).all()


@pytest.mark.parametrize("output", ["csr", "csc", "dense"])
def test_out_receives_the_values_in_place(output):
    mask = np.tril(np.ones((5, 5), dtype=bool))
    fun = lambda x: np.cumsum(x**3)  # noqa: E731
    jac = SparseJacobian(fun, mask, output=output)
    target = jac(np.ones(5))
    data_before = target if output == "dense" else target.data
    result = jac(np.full(5, 2.0), out=target)
    assert result is target
    assert np.shares_memory(data_before, target if output == "dense" else target.data)
    expected = estimate_jacobian(fun, np.full(5, 2.0), "2-point", sparsity=mask, output=output)
    np.testing.assert_array_equal(np.asarray(result if output == "dense" else result.toarray()),
                                  np.asarray(expected if output == "dense" else expected.toarray()))
    if output != "dense":
        target.sort_indices()
        target.indices[[1, 2]] = target.indices[[2, 1]]
        made = jac.evaluations
        with pytest.raises(ValueError, match="out must be a %s matrix with the pattern" % output):
            jac(np.ones(5), out=target)
        assert jac.evaluations == made  # refused before anything was evaluated


def test_importing_the_engine_leaves_the_compiled_solver_unloaded():
    code = ("import sys, numpy as np, vendrel.jacobian, vendrel.grouping\n"
            "J = vendrel.jacobian.estimate_jacobian(np.sin, np.ones(3), sparsity=np.eye(3))\n"
            "assert 'vendrel.sparse_solver' not in sys.modules, 'loaded'\n"
            "class Solver:\n"
            "    def compute_residuals(self, x):\n"
            "        return np.sin(x)\n"
            "K = vendrel.jacobian.estimate_jacobian(Solver(), np.ones(3), sparsity=np.eye(3))\n"
            "assert abs(K - J).max() == 0 and 'vendrel.sparse_solver' not in sys.modules\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


# ColumnGrouping's contract.
@st.composite
def patterns(draw):
    m, n = draw(st.integers(0, 9)), draw(st.integers(0, 9))
    return draw(arrays(bool, (m, n)))


@settings(max_examples=60, deadline=None)
@given(patterns(), st.sampled_from(grouping.ORDERS), st.data())
def test_decompress_inverts_the_grouped_sums(mask, order, data):
    found = grouping.column_grouping(mask, order, seed=3)
    m, n = mask.shape
    values = np.where(mask, data.draw(arrays(np.float64, mask.shape,
                                             elements=st.floats(-5, 5, width=32))), 0.0)
    seed_matrix = np.zeros((n, found.count))
    seed_matrix[np.arange(n), found.groups] = 1.0
    B = values @ seed_matrix
    for output in ("csr", "csc", "dense"):
        J = found.decompress(B, output)
        dense = J if output == "dense" else J.toarray()
        np.testing.assert_array_equal(dense, values)
    np.testing.assert_array_equal(found.decompress(np.asfortranarray(B), "dense"), values)
    assert found.count == (found.groups.max() + 1 if n else 0)
    assert found.lower_bound == grouping.lower_bound(mask)
    assert found.pattern.toarray().tolist() == mask.tolist()
    assert found.order in (*grouping.ORDERS, "lattice", "search")
    np.testing.assert_array_equal(grouping.group_columns(mask, order, seed=3), found.groups)


@settings(max_examples=60, deadline=None)
@given(patterns(), st.sampled_from(grouping.ORDERS))
def test_group_columns_numbers_groups_as_documented(mask, order):
    """From 0, in the order of each group's lowest-numbered column with entries; columns
    without entries in group 0."""
    groups = grouping.group_columns(mask, order, seed=1)
    used = mask.any(axis=0)
    assert (groups[~used] == 0).all()
    firsts = [int(g) for g in groups[used]]
    order_of_first_use = list(dict.fromkeys(firsts))
    assert order_of_first_use == list(range(len(order_of_first_use)))


def test_given_groups_are_checked_and_kept():
    found = grouping.column_grouping(np.eye(3), groups=[5, 5, 7])
    assert found.groups.tolist() == [0, 0, 1] and found.order == "given" and found.count == 2
    with pytest.raises(ValueError, match=re.escape(
            "columns 0 and 1 are both in group 0 and both have an entry in row 0")):
        grouping.column_grouping(np.ones((1, 2)), groups=[0, 0])


@pytest.mark.parametrize("extra", [{}, {"groups": [0, 1, 0, 1]}, {"order": "dsatur"}, {"seed": 2}])
def test_a_column_grouping_is_taken_as_made(extra):
    band = np.eye(4, dtype=bool) | np.eye(4, k=1, dtype=bool)
    made = grouping.column_grouping(band, "smallest_last")

    def fun(x):
        return x**2 - np.r_[x[1:], 0.0]

    if extra:
        with pytest.raises(ValueError, match="groups, order and seed do not apply"):
            SparseJacobian(fun, made, **extra)
        return
    jac = SparseJacobian(fun, made)
    assert jac.grouping is made
    x = np.arange(1.0, 5.0)
    assert (jac(x) != SparseJacobian(fun, band)(x)).nnz == 0


class Buffered:
    """Residuals written into memory the function keeps: one buffer, two in turn, a view."""

    def __init__(self, style, n):
        self.style, self.buffers, self.calls = style, [np.empty(n), np.empty(n)], 0

    def __call__(self, x):
        self.calls += 1
        target = self.buffers[self.calls % 2 if self.style == "two in turn" else 0]
        np.multiply(x, x, out=target)
        target[:-1] -= x[1:]
        return target[:] if self.style == "a view" else target


@pytest.mark.parametrize("style", ["one buffer", "two in turn", "a view"])
@pytest.mark.parametrize("method", ["2-point", "3-point"])
def test_a_residual_that_reuses_its_memory_is_copied_before_it_is_overwritten(style, method):
    x0 = np.arange(1.0, 7.0)
    band = np.eye(6) + np.eye(6, k=1)

    def fresh(x):
        return Buffered(style, 6)(x).copy()

    for jac in (SparseJacobian(Buffered(style, 6), band, method=method),):
        np.testing.assert_array_equal(jac(x0).toarray(),
                                      estimate_jacobian(fresh, x0, method, sparsity=band).toarray())


@pytest.mark.parametrize("x0, message", [
    ([1e308, 1e308, -1e308], None),  # finite values whose sum overflows are accepted
    ([1.0, np.nan, 2.0], "x0 must be finite, but x0[1] is nan"),
    ([np.inf, -np.inf, 2.0], "x0 must be finite, but x0[0] is inf"),
])
def test_x0_must_be_finite_however_large(x0, message):
    def fun(x):
        return x / 2

    if message is None:
        J = estimate_jacobian(fun, np.array(x0), "2-point", sparsity=np.eye(3))
        np.testing.assert_allclose(J.toarray(), np.eye(3) / 2, rtol=1e-5)
    else:
        with pytest.raises(ValueError, match=re.escape(message)):
            estimate_jacobian(fun, np.array(x0), sparsity=np.eye(3))


@pytest.mark.parametrize("form", ["nested list", "csr", "pairs", "scipy structure, groups"])
def test_a_pattern_is_read_once_and_crosses_into_the_core_once(form, monkeypatch):
    from vendrel import _grouping

    calls = []
    for name in ("column_grouping", "canonical", "lower_bound"):
        original = getattr(_grouping, name)
        monkeypatch.setattr(_grouping, name,
                            lambda *a, _name=name, _f=original: calls.append(_name) or _f(*a))
    original_read = grouping.read_sparsity
    monkeypatch.setattr(grouping, "read_sparsity",
                        lambda *a, **k: calls.append("read") or original_read(*a, **k))
    jac = SparseJacobian(two_rows, FORMS[form])
    assert calls == ["read", "column_grouping"]
    calls.clear()
    np.testing.assert_allclose(jac(np.ones(3)).toarray(), EXPECTED, rtol=1e-6)
    jac.summary()
    assert calls == []  # a Jacobian reads no pattern again
    estimate_jacobian(two_rows, np.ones(3), sparsity=FORMS[form])
    assert calls == ["read", "column_grouping"]


def _grid_residual(x):
    u = x.reshape(4, 4)
    return 4.0 * u - np.roll(u, 1, axis=0) - np.roll(u, 1, axis=1) + u**3


@pytest.mark.parametrize("shape", ["grid", "column", "list", "nested"])
def test_every_reader_takes_a_residual_of_any_shape_in_c_order(shape):
    """Tracing, perturbation, estimation and root read a result the same way: flattened in
    C order, lists and tuples joined in order."""
    from vendrel.solve import root
    from vendrel.tracing import trace_sparsity

    def fun(x):
        r = _grid_residual(x)
        return {"grid": r, "column": r.reshape(-1, 1), "list": [r[:2], r[2:]],
                "nested": (list(r[:2]), r[2:])}[shape]

    x0 = np.linspace(0.5, 1.5, 16)
    flat = lambda x: _grid_residual(x).ravel()  # noqa: E731
    expected = estimate_jacobian(flat, x0, sparsity=np.ones((16, 16))).toarray() != 0
    traced = trace_sparsity(fun, x0).toarray()
    perturbed = detect_sparsity(fun, x0).toarray()
    np.testing.assert_array_equal(traced, expected)
    np.testing.assert_array_equal(perturbed, expected)
    np.testing.assert_allclose(estimate_jacobian(fun, x0, sparsity=traced).toarray(),
                               estimate_jacobian(flat, x0, sparsity=traced).toarray())
    result = root(fun, x0, sparsity=traced)
    assert result.success and np.abs(flat(result.x)).max() <= 1e-8
