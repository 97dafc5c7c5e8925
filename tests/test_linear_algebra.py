"""The Newton solver's compiled linear algebra: ILU(0) on the Jacobian's own pattern, GMRES
preconditioned by it, the forcing terms that set each solve's accuracy, and the choice that
"auto" makes from the pattern."""

import numpy as np
import pytest
import scipy.sparse
import scipy.sparse.linalg

from vendrel import _linalg
from vendrel.problems import Bratu3D
from vendrel.solve import root
from vendrel.solve._linear import Forcing, Ilu0, SingularJacobian, grid_dimension, read_linear_solver


def random_matrix(n, density, seed, dominance=1.0):
    """A sparse matrix with every diagonal entry, dominant by `dominance` times its row."""
    rng = np.random.default_rng(seed)
    A = scipy.sparse.random(n, n, density=density, random_state=rng, format="csr")
    A.data -= 0.5
    row_sums = np.asarray(abs(A).sum(axis=1)).ravel()
    A = A + scipy.sparse.diags(dominance * row_sums + 1.0 + rng.random(n))
    A = scipy.sparse.csr_matrix(A)
    A.sum_duplicates()
    return A


def factors_as_matrices(A, factors):
    lu = scipy.sparse.csr_matrix((factors.lu, A.indices, A.indptr), shape=A.shape)
    L = scipy.sparse.tril(lu, k=-1) + scipy.sparse.identity(A.shape[0])
    U = scipy.sparse.triu(lu)
    return L, U


@pytest.mark.parametrize("n, density, seed", [(1, 1.0, 0), (30, 0.1, 1), (200, 0.02, 2),
                                               (500, 0.005, 3)])
def test_ilu0_reproduces_the_matrix_on_its_pattern(n, density, seed):
    A = random_matrix(n, density, seed)
    factors = Ilu0().factor(A)
    L, U = factors_as_matrices(A, factors)
    product = (L @ U).tocsr()
    rows = np.repeat(np.arange(n), np.diff(A.indptr))
    on_pattern = np.asarray(product[rows, A.indices]).ravel()
    np.testing.assert_allclose(on_pattern, A.data, rtol=1e-12, atol=1e-12)
    b = np.random.default_rng(seed).random(n)
    np.testing.assert_allclose(factors.apply(b), scipy.sparse.linalg.spsolve_triangular(
        U.tocsr(), scipy.sparse.linalg.spsolve_triangular(L.tocsr(), b, lower=True),
        lower=False), rtol=1e-10)


def test_ilu0_of_a_band_without_fill_is_exact():
    n = 50
    A = scipy.sparse.diags([-1.0, 4.0, -1.5], [-1, 0, 1], shape=(n, n), format="csr")
    b = np.arange(n, dtype=float)
    np.testing.assert_allclose(Ilu0().factor(A).apply(b), scipy.sparse.linalg.spsolve(
        A.tocsc(), b), rtol=1e-12)


@pytest.mark.parametrize("matrix, message", [
    # a stored zero on the diagonal
    (scipy.sparse.csr_matrix((np.array([0.0, 1.0, 1.0, 1.0]), np.array([0, 1, 0, 1]),
                              np.array([0, 2, 4])), shape=(2, 2)), "zero pivot in row 0"),
    # an elimination that leaves a zero: 1 - 1 * 1
    (scipy.sparse.csr_matrix(np.array([[1.0, 1.0], [1.0, 1.0]])), "zero pivot in row 1"),
    (scipy.sparse.csr_matrix(np.array([[0.0, 1.0], [1.0, 1.0]])), "row 0 has no diagonal entry"),
])
def test_ilu0_refuses_what_it_cannot_factor(matrix, message):
    with pytest.raises(SingularJacobian, match=message):
        Ilu0().factor(matrix)


def test_a_new_pattern_is_analysed_again():
    ilu = Ilu0()
    first, second = random_matrix(40, 0.1, 5), random_matrix(40, 0.1, 6)
    for A in (first, second, first):
        L, U = factors_as_matrices(A, ilu.factor(A))
        rows = np.repeat(np.arange(40), np.diff(A.indptr))
        np.testing.assert_allclose(np.asarray((L @ U).tocsr()[rows, A.indices]).ravel(), A.data,
                                   rtol=1e-12)


@pytest.mark.parametrize("restart", [1, 3, 30])
@pytest.mark.parametrize("rtol", [1e-2, 1e-6, 1e-11])
def test_gmres_meets_its_tolerance(restart, rtol):
    A = random_matrix(300, 0.02, 7, dominance=0.6)
    factors = Ilu0().factor(A)
    b = np.random.default_rng(8).standard_normal(300)
    x = np.full(300, np.nan)
    iterations, residual, converged, finite = _linalg.gmres(
        factors.indptr, factors.indices, A.data, factors.diag, factors.lu, b, x, rtol,
        restart, 10_000)
    assert converged and finite and iterations >= 1
    true_residual = np.linalg.norm(b - A @ x) / np.linalg.norm(b)
    assert true_residual <= 1.01 * rtol
    assert residual == pytest.approx(true_residual, rel=1e-3, abs=1e-13)


def test_gmres_of_a_zero_right_side_is_zero():
    A = random_matrix(20, 0.2, 9)
    factors = Ilu0().factor(A)
    x = np.full(20, np.nan)
    assert _linalg.gmres(factors.indptr, factors.indices, A.data, factors.diag, factors.lu,
                         np.zeros(20), x, 1e-8, 30, 100)[2]
    assert not x.any()


@pytest.mark.parametrize("ratios, floor", [([0.1, 0.01, 0.001], 0.0), ([0.99, 0.98, 0.99], 0.0),
                                            ([0.1, 1e-4, 1e-8], 0.25)])
def test_forcing_terms_follow_the_residual(ratios, floor):
    forcing = Forcing()
    tolerances = []
    for ratio in ratios:
        forcing.next(ratio, 1.0, floor)
        tolerances.append(forcing.rtol)
    assert all(floor <= t <= 0.9 for t in tolerances)  # never past 0.9, never below the floor
    if ratios[0] > 0.9:  # stalling: solves stay loose
        assert min(tolerances) > 0.5
    elif floor == 0.0:  # fast progress: each solve tighter than the one before
        assert tolerances == sorted(tolerances, reverse=True) and tolerances[-1] < 1e-3


def grid(shape):
    lines = [scipy.sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(m, m)) for m in shape]
    pattern = lines[0]
    for line in lines[1:]:
        pattern = scipy.sparse.kronsum(line, pattern)
    return scipy.sparse.csr_matrix(pattern)


@pytest.mark.parametrize("shape, dimension", [((5000,), 1), ((120, 90), 2), ((400, 30), 2),
                                              ((25, 22, 20), 3)])
def test_grid_dimension_from_the_pattern(shape, dimension):
    pattern = grid(shape)
    # a numbering that hides the grid changes nothing
    order = np.random.default_rng(0).permutation(pattern.shape[0])
    assert grid_dimension(pattern[order][:, order])[0] == dimension


@pytest.mark.parametrize("shape, chosen", [((110, 100), "splu"), ((23, 22, 21), "gmres"),
                                           ((10, 10, 10), "splu")])
def test_auto_chooses_from_the_pattern(shape, chosen, capsys):
    factorize, _, _ = read_linear_solver("auto", verbose=1)
    factorize.prepare(grid(shape))
    assert factorize.name == chosen
    assert capsys.readouterr().out.startswith("linear solver: %s (" % chosen)


def test_root_on_a_3d_grid_uses_inexact_newton_steps():
    problem = Bratu3D(22)
    x0 = problem.start()
    ftol = 1e-8 * np.abs(problem(x0)).max()
    result = root(problem, x0, sparsity=problem.pattern(), ftol=ftol)
    assert result.success, result.message
    assert np.abs(problem(result.x)).max() <= ftol
    direct = root(problem, x0, sparsity=problem.pattern(), ftol=ftol, linear_solver="splu")
    np.testing.assert_allclose(result.x, direct.x, atol=1e3 * ftol)


@pytest.mark.parametrize("symmetric", [True, False])
@pytest.mark.parametrize("scrambled", [False, True])
def test_superlu_solves_in_the_callers_numbering(symmetric, scrambled):
    from vendrel.solve._linear import SuperLU

    A = (grid((30, 20)) * 1.0).tocsr()
    A = A + scipy.sparse.diags(np.arange(1.0, 601.0))
    if not symmetric:
        A = A + scipy.sparse.diags(np.full(590, 0.5), 10)
    if scrambled:
        order = np.random.default_rng(4).permutation(600)
        A = A.tocsr()[order][:, order]
    b = np.random.default_rng(5).random(600)
    factorize = SuperLU()
    for scale in (1.0, 2.0):  # the second factorisation reuses the pattern's analysis
        x = factorize(A * scale)(b)
        np.testing.assert_allclose((A * scale) @ x, b, rtol=1e-10, atol=1e-12)


def _bad_patterns():
    good = (np.array([0, 2, 4]), np.array([0, 1, 0, 1]), np.array([0, 3]))
    yield "a column outside", (good[0], np.array([0, 1, 0, 7]), good[2])
    yield "decreasing pointers", (np.array([0, 3, 2]), np.array([0, 1]), np.array([0, 1]))
    yield "a diagonal elsewhere", (good[0], good[1], np.array([1, 3]))
    yield "a diagonal past its row", (good[0], good[1], np.array([0, 9]))


@pytest.mark.parametrize("name, pattern, entry", [
    (name, pattern, entry) for name, pattern in _bad_patterns()
    for entry in ("analyse", "factorise", "apply", "gmres")
    if not (entry == "analyse" and "diagonal" in name)],  # analysis finds the diagonals itself
    ids=lambda v: v if isinstance(v, str) else "")
def test_compiled_passes_refuse_a_pattern_that_does_not_fit(name, pattern, entry):
    indptr, indices, diag = (np.ascontiguousarray(a, dtype=np.int64) for a in pattern)
    values, vector = np.ones(len(indices)), np.ones(len(diag))
    calls = {
        "analyse": lambda: _linalg.ilu0_analyse(indptr, indices, np.empty(len(diag), np.int64)),
        "factorise": lambda: _linalg.ilu0_factorise(indptr, indices, diag, values.copy(),
                                                    np.empty(2, np.int64)),
        "apply": lambda: _linalg.ilu0_apply(indptr, indices, diag, values, vector, np.empty(2)),
        "gmres": lambda: _linalg.gmres(indptr, indices, values, diag, values, vector,
                                       np.empty(2), 1e-8, 30, 100),
    }
    with pytest.raises(ValueError, match="do not fit|outside the matrix"):
        calls[entry]()
