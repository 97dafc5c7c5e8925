"""estimate_jacobian and SparseJacobian against SciPy's approx_derivative, and their refusals."""

import contextlib
import io
import re
import sys

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays
from scipy.optimize import least_squares
from scipy.optimize._numdiff import (  # SciPy's own sparse differences and step rules
    _adjust_scheme_to_bounds, _compute_absolute_step, approx_derivative)

from jacobian_problems import Coupled, CoupledSolver, grid_pattern
from vendrel.jacobian import SparseJacobian, estimate_jacobian
from vendrel.sparse_solver import SparseSolver

DISTANCES = [0.0, 1e-12, 1e-9, 1e-6, 1e-3, np.inf]


def quietly(function, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return function(*args)


@st.composite
def problems(draw):
    m, n = draw(st.integers(1, 8)), draw(st.integers(1, 8))
    mask = draw(arrays(bool, (m, n)))
    x0 = draw(arrays(np.float64, n, elements=st.floats(-3, 3)))
    problem = Coupled(mask, seed=draw(st.integers(0, 1000)))
    return problem, mask, x0


def as_given(mask, form):
    """The pattern in one of the forms users give it."""
    if form == "coo":
        return scipy.sparse.coo_matrix(mask)
    rows, cols = np.nonzero(mask if form == "rows" else mask.T)
    return (rows, cols) if form == "rows" else (cols, rows)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(problems(), st.sampled_from(["2-point", "3-point", "cs"]),
       st.sampled_from(["rows", "cols", "coo"]), st.sampled_from([None, "rel", "abs", "abs_array"]),
       st.booleans(), st.data())
def test_equals_approx_derivative(problem, method, form, steps, bounded, data):
    fun, mask, x0 = problem
    m, n = mask.shape
    before = x0.copy()
    options = {}
    if steps == "rel":
        options["rel_step"] = data.draw(st.sampled_from([1e-7, 1e-3, 0.0]))
    elif steps == "abs":
        options["abs_step"] = data.draw(st.sampled_from([1e-7, -1e-5, 0.0]))
    elif steps == "abs_array":
        options["abs_step"] = data.draw(arrays(np.float64, n, elements=st.floats(-1e-4, 1e-4)))
    if bounded:
        below = data.draw(arrays(np.float64, n, elements=st.sampled_from(DISTANCES)))
        above = data.draw(arrays(np.float64, n, elements=st.sampled_from(DISTANCES)))
        # SciPy's one-sided scheme needs room on one side at least.
        assume(((below > 0) | (above > 0)).all())
        options["bounds"] = (x0 - below, x0 + above)
        assume(((x0 - below <= x0) & (x0 <= x0 + above)).all())
    fun.calls = 0
    jac = estimate_jacobian(fun, x0, sparsity=as_given(mask, form), method=method, **options)
    assert np.array_equal(x0, before)
    assert jac.shape == (m, n) and jac.format == "csr"
    groups = int(jac_groups(mask).max()) + 1
    assert fun.calls == expected_calls(method, groups, x0, fun.c, options)
    expected = approx_derivative(fun, x0, method=method, sparsity=(scipy.sparse.csr_matrix(mask),
                                                                    jac_groups(mask)), **options)
    # The same operations in the same order as SciPy's: the same bits (the steps, the moved
    # points and the recovery are compiled passes; this holds them to it).
    np.testing.assert_array_equal(jac.toarray(), expected.toarray())


def jac_groups(mask):
    from vendrel.grouping import group_columns

    return group_columns(scipy.sparse.csc_matrix(mask))


def expected_calls(method, groups, x0, f0, options):
    """G for 2-point and cs, 2G for 3-point, and f(x0) where the formula needs it: by SciPy's
    own step rules, for 3-point next to a bound."""
    if method != "3-point":
        return groups + (method == "2-point")
    if "bounds" not in options:
        return 2 * groups
    h = _compute_absolute_step(options.get("rel_step"), x0, f0, method)
    if "abs_step" in options:
        step = np.broadcast_to(options["abs_step"], x0.shape)
        h = np.where((x0 + step) - x0 == 0, h, step)
    lb, ub = (np.broadcast_to(b, x0.shape) for b in options["bounds"])
    _, one_sided = _adjust_scheme_to_bounds(x0, h, 1, "2-sided", lb, ub)
    return 2 * groups + int(one_sided.any())


@settings(max_examples=80, deadline=None)
@given(problems(), st.data())
def test_any_groups_give_the_right_jacobian_or_a_clear_error(problem, data):
    fun, mask, x0 = problem
    n = mask.shape[1]
    groups = data.draw(arrays(np.int64, data.draw(st.sampled_from([n, n, n, n + 1, max(0, n - 1)])),
                              elements=st.integers(-1, n)))
    if len(groups) != n or (groups < 0).any() or any(
            (mask[:, groups == g].sum(axis=1) > 1).any() for g in np.unique(groups)):
        with pytest.raises(ValueError, match="groups"):
            estimate_jacobian(fun, x0, sparsity=scipy.sparse.csr_matrix(mask), groups=groups)
        return
    fun.calls = 0
    jac = estimate_jacobian(fun, x0, sparsity=scipy.sparse.csr_matrix(mask), groups=groups)
    assert fun.calls == 2 * len(np.unique(groups))  # a group number nobody uses costs nothing
    expected = approx_derivative(fun, x0, sparsity=(scipy.sparse.csr_matrix(mask), groups))
    np.testing.assert_allclose(jac.toarray(), expected.toarray(), rtol=1e-10, atol=0)


class Tridiagonal(SparseSolver):
    """r_i = x_i**2 - x_(i+1) + 0.03 x_(i-1)."""

    def compute_residuals(self, x):
        r = x**2
        r[:-1] -= x[1:]
        r[1:] += 0.03 * x[:-1]
        return r


def reference(fun, x0, **options):
    return approx_derivative(fun, x0, **options)  # SciPy's defaults are estimate_jacobian's


def test_row_ordered_pattern_with_find_groups_is_refused_and_regrouped():
    solver, x0 = Tridiagonal(), np.arange(1.0, 6.0)
    dense = reference(solver.compute_residuals, x0)
    rows, cols = (a.astype(np.int32) for a in scipy.sparse.csr_matrix(np.abs(dense) > 0).nonzero())
    positions = quietly(solver.find_groups, rows, cols)
    # find_groups takes runs of equal columns for groups: here it splits columns between groups.
    with pytest.raises(ValueError, match=r"column \d+ is split between groups \d+ and \d+"):
        estimate_jacobian(solver, x0, sparsity=(rows, cols), groups=positions)
    jac = estimate_jacobian(solver, x0, sparsity=(rows, cols))
    np.testing.assert_allclose(jac.toarray(), dense, rtol=1e-10, atol=0)
    assert jac[0, 0] == pytest.approx(2.0, abs=1e-6)


def test_column_ordered_find_groups_are_taken():
    solver, x0 = Tridiagonal(), np.arange(1.0, 8.0)
    rows, cols = quietly(solver.compute_pattern, x0.copy())
    positions = quietly(solver.find_groups, rows, cols)
    jac = estimate_jacobian(solver, x0, sparsity=(rows, cols), groups=positions)
    np.testing.assert_allclose(jac.toarray(), reference(solver.compute_residuals, x0), rtol=1e-10)


@pytest.mark.parametrize("form", ["matrix", "pair"])
def test_residual_longer_than_x0(form):
    mask = np.zeros((9, 4), dtype=bool)
    mask[[0, 1, 2, 3, 5], [0, 1, 2, 3, 1]] = True
    mask[6, :] = True  # rows 7 and 8 depend on nothing: a pair cannot say they exist
    solver, x0 = CoupledSolver(mask), np.linspace(0.5, 2.0, 4)
    sparsity = scipy.sparse.csc_matrix(mask) if form == "matrix" else np.nonzero(mask)
    jac = estimate_jacobian(solver, x0, sparsity=sparsity)
    assert jac.shape == (9, 4)
    expected = reference(solver.compute_residuals, x0, sparsity=scipy.sparse.csr_matrix(mask))
    np.testing.assert_allclose(jac.toarray(), expected.toarray(), rtol=1e-10, atol=0)
    assert np.count_nonzero(jac.toarray()[4:6]) == 1 and jac.toarray()[6].all()


class Misspelled(SparseSolver):
    def compute_residual(self, x):
        return x


@pytest.mark.parametrize("fun", [Misspelled(), SparseSolver(), Misspelled().compute_residuals])
def test_solver_without_compute_residuals_is_refused(fun):
    with pytest.raises(TypeError, match="does not define compute_residuals"):
        estimate_jacobian(fun, np.ones(3), sparsity=np.eye(3))
    with pytest.raises(TypeError, match="does not define compute_residuals"):
        SparseJacobian(fun, np.eye(3))


def failing(result=None, after=0):
    calls = []

    def fun(x):
        calls.append(1)
        x[:] = -1.0  # scribbles on its argument: that must not reach x0
        if len(calls) > after:
            return result
        return np.cumsum(np.abs(x))
    return fun


EYE = np.eye(3)


@pytest.mark.parametrize("arguments, error, message", [
    (dict(x0=np.zeros((2, 2))), ValueError, "x0 must be one-dimensional, not of shape (2, 2)"),
    (dict(x0=np.ones(3) + 1j), ValueError, "x0 must hold real numbers, not complex128"),
    (dict(x0=np.array([1.0, np.nan, 0.0])), ValueError, "x0 must be finite, but x0[1] is nan"),
    (dict(x0=np.array([1.0, 0.0, -np.inf])), ValueError, "x0 must be finite, but x0[2] is -inf"),
    (dict(x0=np.zeros(0)), ValueError, "x0 must hold at least one value"),
    (dict(method="central"), ValueError, "method must be one of '2-point', '3-point', 'cs'"),
    (dict(output="coo"), ValueError, "output must be one of 'csr', 'csc', 'dense', not 'coo'"),
    (dict(bounds=(0.5, 2.0)), ValueError, "x0 violates the bounds: x0[0] = 0.0 is outside"),
    (dict(bounds=([0, 0], 1)), ValueError, "the lower bound must be a scalar or have 3 values"),
    (dict(bounds=(np.nan, 1)), ValueError, "the lower bound holds NaN"),
    (dict(bounds=-1.0), ValueError, "bounds must be a pair (lb, ub)"),
    (dict(rel_step=[1e-6, 1e-6]), ValueError, "rel_step has 2 values; x0 has 3"),
    (dict(abs_step=np.nan), ValueError, "abs_step must be finite"),
    (dict(sparsity=np.ones((3, 2))), ValueError, "sparsity has 2 columns; x0 has 3 values"),
    (dict(sparsity=(np.array([0]), np.array([5]))), ValueError, "sparsity has entries in column 5"),
    (dict(sparsity=np.ones((3, 3)), groups=[0, 1, 0]), ValueError,
     "groups are not structurally orthogonal: columns 0 and 2 are both in group 0 and both have "
     "an entry in row 0"),
    (dict(groups=[0, 1]), ValueError, "groups has 2 entries; the pattern has 3 columns"),
    (dict(groups=[0, -1, 1]), ValueError, "groups[1] is -1, which leaves column 1 out"),
    (dict(groups=[0.0, 1.0, 2.0]), ValueError, "groups must be a group number per column"),
    (dict(groups=[np.array([0]), np.array([1, 2])]), ValueError,
     "groups as a list of position arrays needs sparsity as the pair (rows, cols)"),
    (dict(sparsity=(np.array([0, 1, 2]), np.array([0, 1, 2])), groups=[np.array([0, 1])]),
     ValueError, "no group holds position 2 (row 2, column 2) of the pattern"),
    (dict(sparsity=(np.array([0, 1, 2]), np.array([0, 1, 2])), groups=[[0, 1], [1, 2]]),
     ValueError, "position 1 is in more than one group"),
    (dict(sparsity=(np.array([0, 1, 2]), np.array([0, 1, 2])), groups=[[0, 5], [1, 2]]),
     ValueError, "groups[0] holds position 5, outside the 3 entries of the pattern"),
    (dict(sparsity=(EYE, [0, 0, 0]), groups=[0, 0, 0]), ValueError, "groups given twice"),
    (dict(fun=failing(np.array(["a", "b", "c"])), method="2-point"), TypeError,
     "fun returned <U1 values at x0 (evaluation 1 of 2, the base); it must return real"),
    (dict(fun=failing(np.zeros(4), after=1), method="2-point"), ValueError,
     "fun returned 4 values at evaluation 2 of 2 (group 0); the sparsity has 3 rows"),
    (dict(fun=failing(np.zeros(3, complex)), method="2-point"), TypeError,
     "fun returned complex128 values at x0 (evaluation 1 of 2, the base); it must return real"),
    (dict(fun=failing(np.zeros(3, float)), method="cs"), TypeError,
     "fun returned float64 values at evaluation 1 of 1 (group 0), where x is complex"),
    (dict(fun=failing(["a", "b", "c"])), TypeError, "fun returned <U1 values"),
    (dict(fun="residuals"), TypeError, "fun must be callable or a SparseSolver instance, not str"),
    (dict(workers=0), ValueError, "workers must be -1 (all cores) or at least 1, not 0"),
    (dict(workers="all"), TypeError,
     "workers must be None, an int, a map-like callable or a Dask client, not str"),
])
def test_refusals(arguments, error, message):
    call = dict(fun=lambda x: np.cumsum(x), x0=np.arange(3.0), sparsity=EYE)
    call.update(arguments)
    x0 = call["x0"]
    before = np.array(x0, copy=True)
    with pytest.raises(error, match=re.escape(message)):
        estimate_jacobian(call.pop("fun"), call.pop("x0"), **call)
    np.testing.assert_array_equal(x0, before)


class Stop(Exception):
    pass


@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_exception_from_fun_passes_through_and_x0_is_unchanged(method):
    stop, calls = Stop("third call"), []

    def fun(x):
        calls.append(1)
        x[0] = 1e300  # scribbles on its argument
        if len(calls) == 3:
            raise stop
        return x * 1.0

    x0 = np.linspace(-1.0, 1.0, 6)
    before = x0.copy()
    with pytest.raises(Stop) as raised:
        estimate_jacobian(fun, x0, sparsity=np.eye(6), groups=np.arange(6), method=method)
    assert raised.value is stop
    assert np.array_equal(x0, before) and len(calls) == 3


def test_residual_filling_one_array_on_every_call():
    class Reusing(SparseSolver):
        def __init__(self):
            self.out = np.empty(5)

        def compute_residuals(self, x):
            np.multiply(x, x, out=self.out)
            self.out[:-1] -= x[1:]
            return self.out

    solver, x0 = Reusing(), np.arange(1.0, 6.0)
    fresh = lambda x: Reusing().compute_residuals(x).copy()  # noqa: E731
    for method in ("2-point", "3-point"):
        jac = estimate_jacobian(solver, x0, sparsity=np.eye(5) + np.eye(5, k=1), method=method,
                                bounds=(0.0, 5.0))
        np.testing.assert_allclose(jac.toarray(), reference(fresh, x0, method=method,
                                                             bounds=(0.0, 5.0)), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int64])
def test_narrow_and_integer_x0_follow_scipy(dtype):
    seen = []
    fun = Coupled(np.eye(4, dtype=bool) | np.eye(4, k=-1, dtype=bool), seed=3)

    def recording(x):
        seen.append(x.dtype)
        return fun(x)

    x0 = np.array([1, 2, -3, 4], dtype=dtype)
    jac = estimate_jacobian(recording, x0, sparsity=fun.w)
    assert set(seen) == {np.dtype(dtype) if dtype != np.int64 else np.dtype(np.float64)}
    # SciPy before 1.11 fails on integer x0 with its default 3-point (it steps x in place);
    # later releases take it as float64, as estimate_jacobian does.
    expected = reference(fun, x0.astype(np.float64) if dtype == np.int64 else x0, sparsity=fun.w)
    if dtype == np.int64:
        np.testing.assert_allclose(jac.toarray(), expected.toarray(), rtol=1e-10, atol=0)
    else:
        # SciPy releases differ in the type they round a narrow x's neighbours to (1.10
        # evaluates them in float64, 1.18 again otherwise); all agree to the step's accuracy.
        rtol = 10 * np.sqrt(np.finfo(dtype).eps)
        np.testing.assert_allclose(jac.toarray(), expected.toarray(), rtol=rtol, atol=0)


@pytest.mark.parametrize("output", ["csr", "csc", "dense"])
def test_sparse_jacobian_reuses_its_plan(output):
    pattern = grid_pattern(6)
    fun = Coupled(pattern.toarray(), seed=1)
    jac = SparseJacobian(fun, pattern, output=output, method="3-point", bounds=(-1.0, 1.0))
    xs = [np.linspace(-1.0, 1.0, 36), np.full(36, 0.25), np.linspace(0.9, -0.2, 36)]
    results = [jac(x) for x in xs]
    # f(x) only for the first point, which touches the bounds
    assert jac.evaluations == 3 * 2 * len(np.unique(jac.groups)) + 1
    for x, result in zip(xs, results):  # earlier results are not overwritten by later calls
        expected = reference(fun, x, method="3-point", bounds=(-1.0, 1.0),
                             sparsity=(pattern, jac.groups)).toarray()
        dense = result if output == "dense" else result.toarray()
        np.testing.assert_allclose(dense, expected, rtol=1e-10, atol=0)
    if output != "dense":
        assert results[0].format == output
        # Ordinary arrays: nothing shared with another Jacobian, everything writable.
        for a, b in ((results[0].indices, results[1].indices),
                     (results[0].indptr, results[1].indptr), (results[0].data, results[1].data)):
            assert not np.shares_memory(a, b) and a.flags.writeable


def test_sparse_jacobian_report():
    jac = SparseJacobian(Coupled(grid_pattern(5).toarray()), grid_pattern(5))
    jac(np.ones(25), f0=np.zeros(25))
    assert jac.lower_bound == 5 and len(np.unique(jac.groups)) == 5
    assert jac.summary().splitlines() == [
        "Jacobian 25 x 25, 105 entries (16.8% of 625)",
        "groups: 5; lower bound 5; a dense difference perturbs 25 columns one at a time",
        "evaluations per Jacobian (2-point): 6 instead of 26, 20 saved; 5 made so far",
    ]


def test_least_squares_with_sparse_jacobian():
    def fun(x, target):
        r = x**2 - target
        r[1:] += x[:-1]
        return r

    target = np.linspace(1.0, 4.0, 30)
    pattern = np.eye(30, dtype=bool) | np.eye(30, k=-1, dtype=bool)
    jac = SparseJacobian(fun, pattern, args=(np.zeros(30),))
    found = least_squares(fun, np.ones(30), jac=jac, args=(target,), method="trf", tr_solver="lsmr")
    plain = least_squares(fun, np.ones(30), jac="2-point", args=(target,))
    assert found.cost < 1e-16 and found.njev == jac.evaluations / 3
    np.testing.assert_allclose(found.x, plain.x, rtol=1e-8)


def test_progress_bar_and_its_missing_extra(capsys, monkeypatch):
    pytest.importorskip("tqdm")
    estimate_jacobian(np.sin, np.ones(4), progress=True)
    err = capsys.readouterr().err
    assert "sparsity" in err and "Jacobian" in err and "5/5" in err
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=re.escape('pip install "vendrel[progress]"')):
        estimate_jacobian(np.sin, np.ones(4), progress=True)


def test_docstring_examples_run():
    import doctest

    import vendrel.jacobian

    failures, tried = doctest.testmod(vendrel.jacobian)
    assert tried >= 10 and failures == 0


def test_index_pair_takes_its_shape_from_the_first_call():
    pair = (np.array([0, 1]), np.array([0, 1]))  # nothing in column 2, or in rows 2 and 3

    def fun(x):
        return np.array([x[0] ** 2, x[1] ** 2, 1.0, 5.0])

    jac = SparseJacobian(fun, pair, bounds=(np.zeros(3), np.full(3, 10.0)), output="dense")
    np.testing.assert_allclose(jac(np.ones(3)), [[2, 0, 0], [0, 2, 0], [0, 0, 0], [0, 0, 0]],
                               rtol=1e-7)
    assert len(jac.groups) == 3
    with pytest.raises(ValueError, match="x has 4 values; the pattern has 3 columns"):
        jac(np.ones(4))
    with pytest.raises(ValueError, match="x has 1 values, but the pattern has entries in column 1"):
        SparseJacobian(fun, pair)(np.ones(1))
    with pytest.raises(ValueError, match="fun returned 1 values, but the pattern has entries in row 1"):
        SparseJacobian(lambda x: x[:1], pair)(np.ones(2))
