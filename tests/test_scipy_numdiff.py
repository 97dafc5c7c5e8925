"""SciPy's own tests of approx_derivative's sparse differences (test__numdiff.py,
TestApproxDerivativeSparse), run against estimate_jacobian as a SciPy user would switch:
by changing the import. Plus the inputs SciPy takes that the sparse tests do not cover."""

import inspect
from itertools import product
from multiprocessing.dummy import Pool

import numpy as np
import pytest
from numpy.testing import assert_allclose
from scipy.optimize._numdiff import approx_derivative as scipy_approx_derivative
from scipy.sparse import csr_array
from scipy.sparse.linalg import LinearOperator

from vendrel.grouping import group_columns
from vendrel.jacobian import estimate_jacobian as approx_derivative


class TestApproxDerivativeSparse:
    # Example from Numerical Optimization 2nd edition, p. 198.
    def setup_method(self):
        self.rng = np.random.default_rng(121091202)
        self.n = 50
        self.lb = -0.1 * (1 + np.arange(self.n))
        self.ub = 0.1 * (1 + np.arange(self.n))
        self.x0 = np.empty(self.n)
        self.x0[::2] = (1 - 1e-7) * self.lb[::2]
        self.x0[1::2] = (1 - 1e-7) * self.ub[1::2]
        self.J_true = self.jac(self.x0)

    def fun(self, x):
        e = x[1:]**3 - x[:-1]**2
        return np.hstack((0, 3 * e)) + np.hstack((2 * e, 0))

    def jac(self, x):
        n = x.size
        J = np.zeros((n, n))
        J[0, 0] = -4 * x[0]
        J[0, 1] = 6 * x[1]**2
        for i in range(1, n - 1):
            J[i, i - 1] = -6 * x[i-1]
            J[i, i] = 9 * x[i]**2 - 4 * x[i]
            J[i, i + 1] = 6 * x[i+1]**2
        J[-1, -1] = 9 * x[-1]**2
        J[-1, -2] = -6 * x[-2]
        return J

    def structure(self, n):
        A = np.zeros((n, n), dtype=int)
        A[0, 0] = 1
        A[0, 1] = 1
        for i in range(1, n - 1):
            A[i, i - 1: i + 2] = 1
        A[-1, -1] = 1
        A[-1, -2] = 1
        return A

    def test_all(self):
        A = self.structure(self.n)
        order = np.arange(self.n)
        groups_1 = group_columns(A, order)
        self.rng.shuffle(order)
        groups_2 = group_columns(A, order)

        with Pool(2) as pool:
            for method, groups, l, u, mf in product(
                    ['2-point', '3-point', 'cs'], [groups_1, groups_2],
                    [-np.inf, self.lb], [np.inf, self.ub], [map, pool.map]):
                J = approx_derivative(self.fun, self.x0, method=method,
                                      bounds=(l, u), sparsity=(A, groups),
                                      workers=mf)
                assert isinstance(J, csr_array)
                assert_allclose(J.toarray(), self.J_true, rtol=1e-6)

                rel_step = np.full_like(self.x0, 1e-8)
                rel_step[::2] *= -1
                J = approx_derivative(self.fun, self.x0, method=method,
                                      rel_step=rel_step, sparsity=(A, groups),
                                      workers=mf)
                assert_allclose(J.toarray(), self.J_true, rtol=1e-5)

    def test_no_precomputed_groups(self):
        A = self.structure(self.n)
        J = approx_derivative(self.fun, self.x0, sparsity=A)
        assert_allclose(J.toarray(), self.J_true, rtol=1e-6)

    def test_equivalence(self):
        structure = np.ones((self.n, self.n), dtype=int)
        groups = np.arange(self.n)
        for method in ['2-point', '3-point', 'cs']:
            J_dense = scipy_approx_derivative(self.fun, self.x0, method=method)
            J_sparse = approx_derivative(
                self.fun, self.x0, sparsity=(structure, groups), method=method)
            assert_allclose(J_dense, J_sparse.toarray(),
                            rtol=5e-16, atol=7e-15)

    def test_same_values_as_scipy_bit_for_bit(self):
        A = self.structure(self.n)
        groups = group_columns(A)
        for method, bounds in product(['2-point', '3-point', 'cs'],
                                      [(-np.inf, np.inf), (self.lb, self.ub)]):
            ours = approx_derivative(self.fun, self.x0, method, sparsity=(A, groups),
                                     bounds=bounds)
            theirs = scipy_approx_derivative(self.fun, self.x0, method, sparsity=(A, groups),
                                             bounds=bounds)
            np.testing.assert_array_equal(ours.toarray(), theirs.toarray())


def fun_vector_scalar(x):
    return np.sum(x ** 2) + np.sin(x).sum()


def fun_scalar_vector(x):
    return np.array([x[0] ** 2, np.tan(x[0]), np.exp(x[0])])


@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_inputs_as_scipy_takes_them(method):
    x0 = np.array([0.5, -1.5, 2.0])
    sparsity = np.ones((1, 3))
    expected = scipy_approx_derivative(fun_vector_scalar, x0, method, sparsity=sparsity)
    # method by position, abs_step with rel_step ignored (np.inf, as SciPy's own test passes)
    for ours, theirs in [
        (approx_derivative(fun_vector_scalar, x0, method, sparsity=sparsity), expected),
        (approx_derivative(fun_vector_scalar, x0, method, np.inf, 1.49e-8, sparsity=sparsity),
         scipy_approx_derivative(fun_vector_scalar, x0, method, np.inf, 1.49e-8,
                                 sparsity=sparsity)),
    ]:
        np.testing.assert_array_equal(ours.toarray(), theirs.toarray())
    # a scalar x0 is a point of one value
    J = approx_derivative(fun_scalar_vector, 1.0, method, sparsity=np.ones((3, 1)))
    np.testing.assert_array_equal(
        J.toarray(), scipy_approx_derivative(fun_scalar_vector, 1.0, method,
                                             sparsity=np.ones((3, 1))).toarray())
    # full_output counts the evaluations made; SciPy always makes f(x0), needed or not
    calls = []

    def counted(x):
        calls.append(1)
        return fun_scalar_vector(x)

    J, info = approx_derivative(counted, 1.0, method, sparsity=np.ones((3, 1)), full_output=True)
    assert set(info) == {"nfev"} and info["nfev"] == len(calls)
    if "full_output" in inspect.signature(scipy_approx_derivative).parameters:  # SciPy >= 1.11
        _, theirs = scipy_approx_derivative(fun_scalar_vector, 1.0, method,
                                            sparsity=np.ones((3, 1)), full_output=True)
        assert info["nfev"] == theirs["nfev"] - (method != "2-point")


def test_the_default_method_is_scipys():
    x0 = np.array([0.5, -1.5, 2.0])
    np.testing.assert_array_equal(
        approx_derivative(np.sin, x0, sparsity=np.eye(3)).toarray(),
        scipy_approx_derivative(np.sin, x0, sparsity=np.eye(3)).toarray())


@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
def test_as_linear_operator(method):
    x0 = np.array([0.5, -1.5, 2.0])

    def fun(x):
        return np.array([x[0] * x[1], np.sin(x[2]) + x[0], x[1] ** 3])

    ours = approx_derivative(fun, x0, method, as_linear_operator=True)
    theirs = scipy_approx_derivative(fun, x0, method, as_linear_operator=True)
    assert isinstance(ours, LinearOperator) and ours.shape == (3, 3)
    rng = np.random.default_rng(0)
    for _ in range(3):
        p = rng.normal(size=3)
        np.testing.assert_array_equal(ours.matvec(p), theirs.matvec(p))
    np.testing.assert_array_equal(ours.matvec(np.zeros(3)), np.zeros(3))
    with pytest.raises(ValueError, match="bounds are not supported"):
        approx_derivative(fun, x0, method, bounds=(-3, 3), as_linear_operator=True)
