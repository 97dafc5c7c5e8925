"""estimate_jacobian: grouped forward differences against SciPy's own sparse differences."""

import contextlib
import io
import re

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.optimize._numdiff import approx_derivative, group_columns  # SciPy's own sparse differences

from patterns import banded_pattern, laplacian_pattern
from vendrel.jacobian import estimate_jacobian
from vendrel.sparse_solver import SparseSolver


class Counted(SparseSolver):
    """A residual function with a given sparsity: r_i = sum over j in S_i of c_ij x_j^2 + x_i."""

    def __init__(self, structure, coefficients):
        self.structure, self.coefficients, self.calls = structure, coefficients, 0

    def compute_residuals(self, x):
        self.calls += 1
        return self.function(x)

    def function(self, x):
        r = x.copy()
        for i, (members, weights) in enumerate(zip(self.structure, self.coefficients)):
            r[i] += np.dot(weights, x[members] ** 2) + np.sin(x[members]).sum()
        return r


@st.composite
def problems(draw):
    n = draw(st.integers(1, 12))
    structure = [sorted(draw(st.sets(st.integers(0, n - 1), max_size=3))) for _ in range(n)]
    coefficients = [np.array(draw(st.lists(st.floats(-3, 3), min_size=len(s), max_size=len(s))))
                    for s in structure]
    x0 = np.array(draw(st.lists(st.floats(-2, 2), min_size=n, max_size=n)))
    return Counted(structure, coefficients), x0


def quietly(function, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()):
        return function(*args, **kwargs)


@settings(max_examples=60, deadline=None)
@given(problems())
def test_equals_scipy_and_counts_evaluations(problem):
    solver, x0 = problem
    before = x0.copy()
    rows, cols = quietly(solver.compute_pattern, x0)
    groups = quietly(solver.find_groups, rows, cols) if len(cols) else []
    solver.calls = 0
    step = 1e-6
    jacobian = estimate_jacobian(solver, x0, (rows, cols), groups, step=step)
    assert solver.calls == len(groups) + 1
    assert np.array_equal(x0, before)
    assert isinstance(jacobian, getattr(scipy.sparse, "csc_array", scipy.sparse.csc_matrix))
    n = len(x0)
    sparsity = scipy.sparse.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n, n))
    expected = approx_derivative(solver.function, x0, method="2-point", abs_step=step,
                                 sparsity=sparsity)
    np.testing.assert_allclose(jacobian.toarray(), expected.toarray(), rtol=1e-10, atol=0)


def test_pattern_and_groups_are_found_when_not_given(capsys):
    solver = Counted([[0], [0, 1], [1, 2]], [np.ones(1), np.ones(2), np.ones(2)])
    jacobian = estimate_jacobian(solver, np.ones(3))
    assert jacobian.shape == (3, 3) and jacobian.nnz == 5
    assert "is a thing" in capsys.readouterr().out  # the methods' own trace


def dense_pattern(n):
    rows, cols = np.meshgrid(np.arange(n), np.arange(n))
    return rows.ravel().astype(np.intc), cols.ravel().astype(np.intc)


@pytest.mark.parametrize("change, message", [
    (dict(x0=np.zeros((2, 2))), "x0 must be a one-dimensional array of real numbers"),
    (dict(step=0.0), "step must be a positive finite number, not 0.0"),
    (dict(step=float("nan")), "step must be a positive finite number"),
    (dict(pattern=(np.zeros(2, int), np.zeros(3, int))), "equal length"),
    (dict(pattern=(np.array([0, 5]), np.array([0, 1])), groups=[[0, 1]]), "outside the 2 x 2 Jacobian"),
    (dict(pattern=(np.array([0, -1]), np.array([0, 1]))), "non-negative integers"),
    (dict(groups=[[0, 1, 2]]), "not structurally orthogonal: columns 0 and 1 share row 0"),
    (dict(groups=[[0, 1]]), "groups leave out position 2"),
    (dict(groups=[[0], [1], [2], [3], [3]]), "group 4 repeats a position"),
    (dict(groups=[[0], [1, 7]]), "group 1 has positions outside the pattern"),
    (dict(x0=np.array([2.0**60, 0.0])), "vanishes against x0[0]"),
])
def test_refusals(change, message):
    solver = Counted([[0, 1], [0, 1]], [np.ones(2), np.ones(2)])
    arguments = dict(x0=np.ones(2), pattern=dense_pattern(2), groups=[[0, 1], [2, 3]], step=1e-6)
    arguments.update(change)
    with pytest.raises(ValueError, match=re.escape(message)):
        estimate_jacobian(solver, **arguments)


@pytest.mark.parametrize("pattern, count", [(banded_pattern(60), 5), (laplacian_pattern(8), 7)])
def test_evaluations_against_scipys_grouping(pattern, count):
    rows, cols = pattern
    n = int(cols.max()) + 1
    groups = quietly(SparseSolver().find_groups, rows, cols)
    sparsity = scipy.sparse.csr_matrix((np.ones(len(rows)), (rows, cols)), shape=(n, n))
    scipy_groups = int(group_columns(sparsity).max()) + 1
    # SciPy's default grouping visits the columns in a random order (9 and 8 groups here);
    # find_groups' column order reaches the band's width.
    assert len(groups) == count
    assert len(groups) < scipy_groups
