"""vendrel.hessian: Hessians from gradient differences equal to the analytic ones within each
method's accuracy, as accurate as SciPy's dense difference with a star colouring, fit for
scipy.optimize.minimize, and clear refusals."""

import numpy as np
import pytest
import scipy.sparse
from scipy.optimize import minimize
from scipy.optimize._numdiff import approx_derivative

from conftest import run_python
from vendrel.grouping import symmetric_grouping
from vendrel.hessian import SparseHessian, estimate_hessian


def rosenbrock(x):
    return np.sum(100.0 * (x[1:] - x[:-1] ** 2) ** 2 + (1.0 - x[:-1]) ** 2)


def rosenbrock_grad(x):
    g = np.zeros_like(x)
    t = x[1:] - x[:-1] ** 2
    g[:-1] = -400.0 * x[:-1] * t - 2.0 * (1.0 - x[:-1])
    g[1:] += 200.0 * t
    return g


def rosenbrock_hess(x):
    n = len(x)
    diag = np.zeros_like(x)
    diag[:-1] = 1200.0 * x[:-1] ** 2 - 400.0 * x[1:] + 2.0
    diag[1:] += 200.0
    off = -400.0 * x[:-1]
    return scipy.sparse.diags([off, diag, off], [-1, 0, 1], shape=(n, n)).toarray()


SIDE = 7


def grid_grad(u):
    """Of sum over the grid's edges of (u_a - u_b)**4 / 4, plus sum of exp(u)."""
    v = u.reshape(SIDE, SIDE)
    g = np.exp(v)
    dx, dy = (v[1:] - v[:-1]) ** 3, (v[:, 1:] - v[:, :-1]) ** 3
    g[1:] += dx
    g[:-1] -= dx
    g[:, 1:] += dy
    g[:, :-1] -= dy
    return g.reshape(-1)


def grid_hess(u):
    v = u.reshape(SIDE, SIDE)
    n = SIDE * SIDE
    H = np.diag(np.exp(u))
    index = np.arange(n).reshape(SIDE, SIDE)
    for a, b, w in ((index[1:], index[:-1], 3 * (v[1:] - v[:-1]) ** 2),
                    (index[:, 1:], index[:, :-1], 3 * (v[:, 1:] - v[:, :-1]) ** 2)):
        a, b, w = a.reshape(-1), b.reshape(-1), w.reshape(-1)
        np.add.at(H, (a, a), w)
        np.add.at(H, (b, b), w)
        np.add.at(H, (a, b), -w)
        np.add.at(H, (b, a), -w)
    return H


def grid_pattern():
    path = scipy.sparse.diags([np.ones(SIDE - 1), np.ones(SIDE), np.ones(SIDE - 1)], [-1, 0, 1])
    eye = scipy.sparse.eye(SIDE)
    return (scipy.sparse.kron(path, eye) + scipy.sparse.kron(eye, path)).tocsc() != 0


def tridiagonal(n):
    return np.abs(np.subtract.outer(np.arange(n), np.arange(n))) <= 1


PROBLEMS = {
    "rosenbrock": (rosenbrock_grad, rosenbrock_hess, tridiagonal(30),
                   np.linspace(-1.2, 1.3, 30)),
    "grid": (grid_grad, grid_hess, grid_pattern(),
             np.sin(np.arange(SIDE * SIDE, dtype=float))),
}

# How close each method comes, relative to the Hessian's largest entry.
TOLERANCE = {"2-point": 1e-5, "3-point": 1e-8, "cs": 1e-13}


@pytest.mark.parametrize("coloring", ["star", "acyclic"])
@pytest.mark.parametrize("method", ["2-point", "3-point", "cs"])
@pytest.mark.parametrize("problem", PROBLEMS)
def test_equal_to_the_analytic_hessian(problem, method, coloring):
    grad, hess, pattern, x = PROBLEMS[problem]
    H = SparseHessian(grad, pattern, method=method, coloring=coloring)
    got = H(x).toarray()
    np.testing.assert_array_equal(got, got.T)
    exact = hess(x)
    scale = np.abs(exact).max()
    tolerance = TOLERANCE[method] * (10 if coloring == "acyclic" and method != "cs" else 1)
    assert np.abs(got - exact).max() <= tolerance * scale
    assert H.evaluations == H.cost()


@pytest.mark.parametrize("method", ["2-point", "3-point"])
@pytest.mark.parametrize("problem", PROBLEMS)
def test_star_reads_what_scipys_dense_difference_reads(problem, method):
    # Row i of a star colour's difference depends on x_j alone among the colour's columns,
    # so each entry is SciPy's difference for column j in row i, or for column i in row j.
    grad, _, pattern, x = PROBLEMS[problem]
    got = SparseHessian(grad, pattern, method=method)(x).toarray()
    dense = approx_derivative(grad, x, method=method)
    entries = scipy.sparse.csr_array(pattern).toarray()
    close = lambda a, b: np.abs(a - b) <= 1e-12 * np.maximum(1.0, np.abs(b))
    assert (close(got, dense) | close(got, dense.T))[entries].all()


def test_fewer_gradients_than_columns():
    grad, _, pattern, x = PROBLEMS["grid"]
    H = SparseHessian(grad, pattern)
    H(x)
    assert H.evaluations == 6 and H.grouping.count == 5  # star: 5 colours, and grad(x)
    H(x, g0=grad(x))
    assert H.evaluations == 11


@pytest.mark.parametrize("method", ["2-point", "3-point"])
def test_bounds_are_kept(method):
    lb, ub = -1.2, 1.3

    def grad(x):
        assert ((x >= lb) & (x <= ub)).all(), "evaluated outside the bounds"
        return rosenbrock_grad(x)

    x = np.linspace(lb, ub, 30)
    got = SparseHessian(grad, tridiagonal(30), method=method, bounds=(lb, ub))(x).toarray()
    exact = rosenbrock_hess(x)
    assert np.abs(got - exact).max() <= 1e-4 * np.abs(exact).max()


def test_arguments_and_workers():
    def grad(x, a, *, b):
        return a * rosenbrock_grad(x) + b * x

    x = np.linspace(-1, 1, 12)
    serial = SparseHessian(grad, tridiagonal(12), args=(2.0,), kwargs={"b": 3.0})
    mapped = SparseHessian(grad, tridiagonal(12), args=(2.0,), kwargs={"b": 3.0}, workers=map)
    expected = 2.0 * rosenbrock_hess(x) + 3.0 * np.eye(12)
    for H in (serial, mapped):
        assert np.abs(H(x).toarray() - expected).max() <= 1e-4 * np.abs(expected).max()
    # Arguments at the call, as minimize passes them, replace those given before.
    np.testing.assert_allclose(serial(x, 1.0, b=0.0).toarray(), rosenbrock_hess(x),
                               rtol=0, atol=1e-4 * np.abs(rosenbrock_hess(x)).max())


@pytest.mark.parametrize("output", ["csr", "csc", "dense"])
def test_outputs_and_out(output):
    grad, hess, pattern, x = PROBLEMS["rosenbrock"]
    H = SparseHessian(grad, pattern, method="cs", output=output)
    first = H(x)
    again = H(x + 0.5, out=first)
    assert again is first
    dense = again if output == "dense" else again.toarray()
    np.testing.assert_allclose(dense, hess(x + 0.5), rtol=1e-13, atol=1e-10)


def test_hessp_keeps_one_hessian_per_point():
    grad, hess, pattern, x = PROBLEMS["rosenbrock"]
    H = SparseHessian(grad, pattern, method="cs")
    p = np.arange(30.0)
    np.testing.assert_allclose(H.hessp(x, p), hess(x) @ p, rtol=1e-12)
    used = H.evaluations
    np.testing.assert_allclose(H.hessp(x, 2 * p), hess(x) @ (2 * p), rtol=1e-12)
    assert H.evaluations == used
    H.hessp(x + 1.0, p)
    assert H.evaluations == 2 * used


@pytest.mark.parametrize("method, use", [("trust-constr", "hess"), ("Newton-CG", "hess"),
                                         ("Newton-CG", "hessp"), ("trust-ncg", "hessp"),
                                         ("trust-krylov", "hessp"), ("trust-exact", "hess")])
def test_minimize_takes_it_in_one_line(method, use):
    if (method, use) == ("Newton-CG", "hess") and not _newton_cg_takes_sparse():
        pytest.skip("this SciPy's Newton-CG multiplies the Hessian with np.dot, not @")
    n = 40
    H = SparseHessian(rosenbrock_grad, tridiagonal(n))
    given = {use: H if use == "hess" else H.hessp}
    if method == "trust-exact":  # factors a dense matrix
        given = {"hess": SparseHessian(rosenbrock_grad, tridiagonal(n), output="dense")}
    result = minimize(rosenbrock, np.full(n, -0.5), jac=rosenbrock_grad, method=method,
                      tol=1e-10, options={"maxiter": 2000}, **given)
    assert np.abs(result.x - 1.0).max() < 1e-4, result.message


def _newton_cg_takes_sparse():
    import scipy.sparse

    try:
        minimize(lambda x: x @ x, np.ones(2), jac=lambda x: 2 * x, method="Newton-CG",
                 hess=lambda x: scipy.sparse.csr_matrix(2 * np.eye(2)))
    except (TypeError, ValueError, NotImplementedError):
        return False
    return True


def test_estimate_hessian_finds_the_pattern():
    x = np.linspace(-1.2, 1.3, 20)
    got = estimate_hessian(rosenbrock_grad, x, "3-point")
    assert got.nnz == 3 * 20 - 2
    np.testing.assert_allclose(got.toarray(), rosenbrock_hess(x), rtol=0,
                               atol=1e-7 * np.abs(rosenbrock_hess(x)).max())


def test_a_grouping_already_made_is_used():
    made = symmetric_grouping(tridiagonal(30), "acyclic")
    H = SparseHessian(rosenbrock_grad, made)
    assert H.grouping is made and H.cost() == 3


@pytest.mark.parametrize("call, error, message", [
    (lambda: SparseHessian(lambda x: x[:-1], tridiagonal(4))(np.ones(4)), ValueError,
     "grad returned an array of shape (3,) at x; it must return one value per component of x "
     "(4)"),
    (lambda: SparseHessian(rosenbrock_grad, tridiagonal(5))(np.ones(4)), ValueError,
     "x has 4 components; the Hessian's pattern is 5 x 5"),
    (lambda: SparseHessian(rosenbrock_grad, np.triu(tridiagonal(4))), ValueError,
     "sparsity is not symmetric: entry (0, 1) is in it and (1, 0) is not; pass "
     "symmetrise=True for the union with its transpose"),
    (lambda: SparseHessian(rosenbrock_grad, None), ValueError,
     "sparsity is required; estimate_hessian finds it when not given"),
    (lambda: SparseHessian(rosenbrock_grad, tridiagonal(4), method="5-point"), ValueError,
     "method must be one of '2-point', '3-point', 'cs', not '5-point'"),
    (lambda: SparseHessian(np.abs, tridiagonal(4), method="cs")(np.ones(4)), TypeError,
     "grad returned float64 values at x + i h; method='cs' needs a gradient that carries the "
     "imaginary part through"),
    (lambda: SparseHessian(3, tridiagonal(4)), TypeError, "grad must be callable, not int"),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_a_process_pool_gives_the_serial_hessian():
    # In a fresh interpreter with a time limit: a pool that never answers fails the test
    # instead of hanging it. np.sin is the gradient of -sum(cos x): a picklable one.
    done = run_python("""
        import numpy as np
        from vendrel.hessian import SparseHessian
        pattern = np.abs(np.subtract.outer(np.arange(9), np.arange(9))) <= 1
        x = np.linspace(-1.0, 1.0, 9)
        serial = SparseHessian(np.sin, pattern, method="3-point")(x).toarray()
        with SparseHessian(np.sin, pattern, method="3-point", workers=2) as pooled:
            assert np.array_equal(pooled(x).toarray(), serial)
        assert np.abs(serial - np.diag(np.cos(x))).max() < 1e-9
        print("same")
    """)
    assert done.stdout.strip() == "same", done.stderr


def test_a_float32_point_takes_float32_steps_as_scipy_does():
    x = np.float32([0.1, 1.7, -2.3, 0.9])
    got = estimate_hessian(lambda v: v**2, x, sparsity=np.eye(4)).toarray().diagonal()
    scipy_says = approx_derivative(lambda v: v**2, x, method="2-point").diagonal()
    # A float32 step is about 3e-4 |x|: forward differences of x**2 are off by about that.
    error = np.abs(got - 2 * x.astype(float))
    assert (error > 1e-5).all() and (error < 1e-2).all()
    np.testing.assert_allclose(got, scipy_says, rtol=1e-3)
