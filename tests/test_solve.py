"""vendrel.solve.root: convergence under each option, its accounting, and its failure reports."""

import re

import numpy as np
import pytest
import scipy.sparse

from vendrel.jacobian import SparseJacobian
from vendrel.solve import root
from vendrel.sparse_solver import SparseSolver

SIDE = 12


def bratu(x, side=SIDE, strength=6.0):
    h = 1.0 / (side + 1)
    u = np.pad(x.reshape(side, side), 1)
    laplacian = (u[:-2, 1:-1] + u[2:, 1:-1] + u[1:-1, :-2] + u[1:-1, 2:] - 4 * u[1:-1, 1:-1]) / h**2
    return (-laplacian - strength * np.exp(u[1:-1, 1:-1])).ravel()


def stencil(side=SIDE):
    line = scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(side, side))
    return scipy.sparse.kronsum(line, line, format="csr")


def bratu_jacobian(x, side=SIDE, strength=6.0):
    h = 1.0 / (side + 1)
    line = scipy.sparse.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(side, side))
    return (scipy.sparse.kronsum(line, line) / h**2
            - scipy.sparse.diags(strength * np.exp(x))).tocsr()


class Counted:
    """fun, counting its calls and keeping the points it was called at."""

    def __init__(self, fun):
        self.fun, self.points, self.calls = fun, [], 0

    def __call__(self, x):
        self.calls += 1
        self.points.append(np.array(x))
        return self.fun(x)


class Untraceable(Counted):
    """Counted, reading a value as a plain number after each call: a trace refuses that."""

    def __call__(self, x):
        r = super().__call__(x)
        float(r[0])
        return r


# broyden keeps no Jacobian for dogleg's model or ptc's shift: refused, see
# test_arguments_are_checked
@pytest.mark.parametrize("jac_update, globalization", [
    (update, globalization) for update in ("every", "lazy", "broyden")
    for globalization in ("line_search", "dogleg", "ptc")
    if update != "broyden" or globalization == "line_search"])
def test_bratu_converges_and_counts_every_evaluation(jac_update, globalization):
    fun = Counted(bratu)
    result = root(fun, np.zeros(SIDE * SIDE), sparsity=stencil(), jac_update=jac_update,
                  globalization=globalization)
    assert result.success and result.status == 1, result.message
    assert np.abs(bratu(result.x)).max() <= 1e-8
    np.testing.assert_array_equal(result.fun, bratu(result.x))
    assert result.nfev == len(fun.points)  # those inside the Jacobians included
    assert result.jac_nfev == 5 * result.njev  # five groups, f(x) passed in
    assert result.nfact >= result.njev >= 1
    assert result.time >= result.fun_time + result.jac_time + result.linear_time


def test_kept_jacobians_save_evaluations():
    runs = {update: root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(), jac_update=update)
            for update in ("every", "lazy", "broyden")}
    assert runs["every"].njev == runs["every"].nit
    assert runs["lazy"].njev < runs["lazy"].nit and runs["broyden"].njev < runs["broyden"].nit
    assert runs["broyden"].nfev <= 0.6 * runs["every"].nfev
    assert runs["lazy"].nfev < runs["every"].nfev


class BratuSolver(SparseSolver):
    def compute_residuals(self, x):
        return bratu(x)


@pytest.mark.parametrize("how", ["SparseJacobian", "analytic sparse", "analytic dense",
                                 "SparseSolver", "detected"])
def test_each_kind_of_jacobian_and_fun(how):
    x0 = np.zeros(SIDE * SIDE)
    if how == "SparseJacobian":
        jac = SparseJacobian(bratu, stencil())
        result = root(bratu, x0, jac=jac)
        assert jac.evaluations == result.jac_nfev == 5 * result.njev
    elif how == "analytic sparse":
        result = root(bratu, x0, jac=bratu_jacobian)
        assert result.jac_nfev == 0 and result.nfev == result.nit + 1
    elif how == "analytic dense":
        result = root(bratu, x0, jac=lambda x: bratu_jacobian(x).toarray())
    elif how == "SparseSolver":
        result = root(BratuSolver(), x0, sparsity=stencil())
    else:
        # bratu can be traced: its pattern costs one call; a wrapper that reads a value as a
        # plain number cannot be traced, and its pattern costs n + 1 (and the failed traced
        # call) instead.
        result = root(bratu, x0)
        assert result.nfev == 1 + 1 + 5 * result.njev + result.nit
        fun = Untraceable(bratu)
        with pytest.warns(RuntimeWarning, match="could not be traced"):
            counted = root(fun, x0)
        assert counted.nfev == fun.calls == result.nfev + SIDE * SIDE + 1
        np.testing.assert_array_equal(counted.x, result.x)
    assert result.success, result.message
    assert np.abs(bratu(result.x)).max() <= 1e-8


@pytest.mark.parametrize("linear_solver", ["splu", "gmres", "lgmres", "bicgstab", "callable"])
def test_each_linear_solver(linear_solver):
    made = []
    if linear_solver == "callable":
        def linear_solver(J):
            made.append(J.shape)
            return scipy.sparse.linalg.factorized(scipy.sparse.csc_matrix(J))
    result = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(), linear_solver=linear_solver,
                  jac_update="lazy")
    assert result.success, result.message
    assert np.abs(bratu(result.x)).max() <= 1e-8
    if made:
        assert len(made) == result.nfact == result.njev  # one factorisation per Jacobian kept


def test_singular_jacobian_is_reported():
    result = root(lambda x: np.array([x[0] + x[1], x[0] + x[1] - 1.0]), np.zeros(2),
                  sparsity=np.ones((2, 2)))
    assert not result.success and result.status == -3
    assert result.message.startswith("the Jacobian is singular")


def test_local_minimum_of_the_norm_fails_where_ptc_succeeds():
    # x^3 - 2x + 2 has one root, near -1.77; ||F|| has a local minimum near 0.82, which
    # Newton's steps from 0 fall into. The pseudo-time flow dx/dt = -F runs to the root.
    def fun(x):
        return x**3 - 2.0 * x + 2.0

    failed = root(fun, np.zeros(1), sparsity=np.ones((1, 1)))
    assert not failed.success and failed.status in (-2, -5), failed.message
    assert abs(fun(failed.x)[0]) == pytest.approx(abs(failed.fun[0]))
    assert abs(failed.fun[0]) > 0.5  # the best point found, not the root
    solved = root(fun, np.zeros(1), sparsity=np.ones((1, 1)), globalization="ptc")
    assert solved.success and solved.x[0] == pytest.approx(-1.7692923542)


@pytest.mark.parametrize("options, status", [
    ({"max_nfev": 8}, -1),
    ({"max_iter": 1}, 0),
    ({"callback": lambda x, f: True}, -7),
])
def test_budgets_and_callback_stop_without_success(options, status):
    fun = Counted(bratu)
    result = root(fun, np.zeros(SIDE * SIDE), sparsity=stencil(), **options)
    assert not result.success and result.status == status
    assert result.nfev == len(fun.points) <= options.get("max_nfev", 100)
    # the best point found, by max|F| as success is judged, is returned with its residual
    np.testing.assert_array_equal(result.fun, bratu(result.x))
    assert np.abs(result.fun).max() == min(np.abs(bratu(p)).max() for p in fun.points)


def test_stall_below_xtol_is_not_success():
    # A double root: Newton's steps halve forever, max|F| = x^2 cannot reach ftol = 0.
    result = root(lambda x: x**2, np.ones(1), sparsity=np.ones((1, 1)), ftol=0.0, xtol=1e-6)
    assert not result.success and result.status == -5
    assert "xtol" in result.message


@pytest.mark.filterwarnings("ignore:invalid value encountered in log")
def test_non_finite_residuals_shorten_the_step():
    # The full Newton step from 3 lands at x < 0, where log gives NaN.
    fun = Counted(np.log)
    result = root(fun, np.full(1, 3.0), sparsity=np.ones((1, 1)))
    assert result.success and result.x[0] == pytest.approx(1.0)
    assert any(p[0] < 0 for p in fun.points)


@pytest.mark.filterwarnings("ignore:invalid value encountered in log")
def test_non_finite_residual_at_x0():
    result = root(np.log, np.full(1, -1.0), sparsity=np.ones((1, 1)))
    assert result.status == -4 and not result.success and result.nfev == 1


def test_bounds_keep_every_evaluation_feasible():
    fun = Counted(lambda x: x**2 - 4.0)
    result = root(fun, np.full(3, 0.1), sparsity=scipy.sparse.eye(3), bounds=(0.0, np.inf))
    assert result.success and np.allclose(result.x, 2.0)
    assert min(p.min() for p in fun.points) >= 0.0
    # Below an upper bound of 1.5 there is no root: the solve fails at the bound.
    fun.points.clear()
    capped = root(fun, np.full(3, 0.1), sparsity=scipy.sparse.eye(3), bounds=(0.0, 1.5))
    assert not capped.success and np.allclose(capped.x, 1.5)
    assert max(p.max() for p in fun.points) <= 1.5


def test_scaling_measures_ftol_on_weighted_residuals():
    weights = np.full(SIDE * SIDE, 1e-3)
    result = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(), f_scale=weights, ftol=1e-8)
    assert result.success
    assert np.abs(weights * result.fun).max() <= 1e-8 < np.abs(result.fun).max() * 10


def test_verbose_prints_a_line_per_iteration(capsys):
    result = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(), jac_update="broyden",
                  verbose=1)
    lines = capsys.readouterr().out.splitlines()
    assert lines.pop(0) == "linear solver: splu (%d unknowns)" % (SIDE * SIDE)
    assert lines[0].split() == ["iter", "max|F|", "||F||", "step", "max|dx|", "nfev",
                                "Jacobian", "linear", "s"]
    rows = lines[2:-1]
    assert len(rows) == result.nit
    assert [int(row.split()[0]) for row in rows] == list(range(1, result.nit + 1))
    assert rows[0].split()[6] == "new" and rows[1].split()[6:8] == ["broyden", "1"]
    assert int(rows[-1].split()[5]) == result.nfev
    assert lines[-1].startswith("max|F| fell to ftol: %d iterations, %d residual evaluations"
                                % (result.nit, result.nfev))


def test_workers_give_the_serial_result():
    serial = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil())
    mapped = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(),
                  workers=lambda func, items: list(map(func, items)))
    np.testing.assert_array_equal(serial.x, mapped.x)


@pytest.mark.parametrize("options, error, message", [
    ({"jac_update": "sometimes"}, ValueError, "jac_update must be one of"),
    ({"globalization": "hope"}, ValueError, "globalization must be one of"),
    ({"jac_update": "broyden", "globalization": "dogleg"}, ValueError, "jac_update='broyden'"),
    ({"linear_solver": "cholesky"}, ValueError, "linear_solver must be one of"),
    ({"x0": np.zeros((2, 2))}, ValueError, "x0 must be one-dimensional, not of shape (2, 2)"),
    ({"x0": np.array([0.0, np.nan, 0.0, 0.0])}, ValueError, "x0[1] is nan"),
    ({"bounds": (1.0, 2.0)}, ValueError, "x0[0] = 0.5 is outside [1.0, 2.0]"),
    ({"fun": lambda x: x[:-1]}, ValueError, "fun must return 4 values"),
    ({"fun": 3}, TypeError, "fun must be callable"),
    ({"jac": "2-point"}, TypeError, "jac must be None"),
    ({"jac": lambda x: np.eye(3)}, ValueError, "jac must return an 4 x 4 matrix"),
    ({"jac": lambda x: np.eye(4), "workers": 2}, ValueError, "workers is for the Jacobian"),
    ({"ftol": -1.0}, ValueError, "ftol must be a number >= 0"),
    ({"x_scale": 0.0}, ValueError, "x_scale must be positive"),
    ({"verbose": 3}, ValueError, "verbose must be 0, 1 or 2"),
])
def test_arguments_are_checked(options, error, message):
    arguments = {"fun": lambda x: x**2 - 1.0, "x0": np.full(4, 0.5), "sparsity": np.eye(4)}
    arguments.update(options)
    if "jac" in options:
        del arguments["sparsity"]
    fun, x0 = arguments.pop("fun"), arguments.pop("x0")
    with pytest.raises(error, match=re.escape(message)):
        root(fun, x0, **arguments)


def test_auto_takes_an_installed_pardiso_and_refuses_a_missing_one(monkeypatch):
    import importlib.machinery
    import sys
    import types

    factorised = []

    class PyPardisoSolver:  # pypardiso's interface, on SuperLU
        def factorize(self, A):
            factorised.append(A.shape)
            self.lu = scipy.sparse.linalg.splu(scipy.sparse.csc_matrix(A))

        def solve(self, A, b):
            return self.lu.solve(b)

    fake = types.ModuleType("pypardiso")
    fake.__spec__ = importlib.machinery.ModuleSpec("pypardiso", None)
    fake.PyPardisoSolver = PyPardisoSolver
    monkeypatch.setitem(sys.modules, "pypardiso", fake)
    result = root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil())
    assert result.success and len(factorised) == result.nfact == result.njev
    monkeypatch.delitem(sys.modules, "pypardiso")
    monkeypatch.setattr(sys, "path", [])
    with pytest.raises(ValueError, match="linear_solver='pardiso' needs the package pypardiso"):
        root(bratu, np.zeros(SIDE * SIDE), sparsity=stencil(), linear_solver="pardiso")


@pytest.mark.filterwarnings("ignore:invalid value encountered in log")
def test_verbose_2_shows_each_rejected_step_length(capsys):
    # From 3, the full Newton step for log(x) = 0 lands below 0 (NaN), the next is too long.
    result = root(np.log, np.full(1, 3.0), sparsity=np.ones((1, 1)), verbose=2)
    lines = capsys.readouterr().out.splitlines()
    trials = [line.split() for line in lines if line.lstrip().startswith("trial")]
    assert trials[0][:4] == ["trial", "1:", "step", "1"]
    assert trials[0][-3:] == ["inf", "(non-finite", "residuals)"]
    assert [float(t[3]) for t in trials[1:]] == sorted((float(t[3]) for t in trials[1:]),
                                                       reverse=True)
    assert len(trials) >= 2 and result.success
    # the iteration rows still number 1 to nit
    rows = [line for line in lines if line[:5].strip().isdigit()]
    assert [int(row.split()[0]) for row in rows] == list(range(result.nit + 1))


def chandrasekhar(n=200, c=0.9):
    """Chandrasekhar's H-equation: every residual depends on every unknown."""
    mu = (np.arange(1, n + 1) - 0.5) / n
    weights = c / (2 * n) * mu[:, None] / (mu[:, None] + mu[None, :])

    def fun(x):
        return x - 1.0 / (1.0 - weights @ x)
    return fun


@pytest.mark.parametrize("fun, x0", [(chandrasekhar(), np.ones(200)),
                                     (bratu, np.zeros(SIDE * SIDE))])
def test_matrix_free_steps_make_no_jacobian(fun, x0):
    counted = Counted(fun)
    result = root(counted, x0, jac_update="matrix_free", ftol=1e-10)
    assert result.success, result.message
    assert np.abs(fun(result.x)).max() <= 1e-10
    assert result.njev == 0 and result.nfev == counted.calls
    assert result.jac_nfev == counted.calls - 1 - result.nit  # the products; F(x0) and F per step
    # a dense problem would cost n evaluations per grouped Jacobian
    assert result.nfev < len(x0)


@pytest.mark.parametrize("options, message", [
    ({"globalization": "dogleg"}, "jac_update='matrix_free' makes none"),
    ({"globalization": "ptc"}, "jac_update='matrix_free' makes none"),
    ({"sparsity": np.eye(3)}, "leave out sparsity"),
    ({"jac": lambda x: np.eye(3)}, "leave out jac"),
])
def test_matrix_free_refuses_what_needs_a_jacobian(options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        root(lambda x: x - 1.0, np.zeros(3), jac_update="matrix_free", **options)


@pytest.mark.parametrize("max_nfev", [1, 3, 8])
def test_matrix_free_keeps_within_the_budget(max_nfev):
    counted = Counted(chandrasekhar())
    result = root(counted, np.ones(200), jac_update="matrix_free", max_nfev=max_nfev)
    assert not result.success and result.status == -1
    assert counted.calls == result.nfev <= max_nfev
