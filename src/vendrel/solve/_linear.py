"""The linear solvers of a Newton step: a table of factorisations, each ``factorize(J)`` giving
a ``solve(b)``.

A factorisation is made once per Jacobian and reused for every step that keeps the Jacobian,
so its cost is paid as rarely as the Jacobian's evaluations are. Direct solvers are SciPy's
SuperLU, always there, and UMFPACK or PARDISO where their Python packages are installed;
iterative solvers are SciPy's Krylov methods preconditioned by ILU(0) on the Jacobian's own
pattern (analysed once, refactorised in place in compiled code), for 3-D problems whose LU
fill grows too large, solved only as accurately as the Newton step needs (`Forcing`).
"auto" chooses between them from the pattern.
"""

import inspect
import math
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse
import scipy.sparse.csgraph
import scipy.sparse.linalg

FloatArray = npt.NDArray[np.float64]
Solve = Callable[[FloatArray], FloatArray]
Factorize = Callable[[Any], Solve]


class SingularJacobian(Exception):
    """The Jacobian could not be factorised, or its solve gave non-finite values."""


def _csc(J: Any) -> Any:
    if not scipy.sparse.issparse(J):
        J = np.asarray(J, dtype=np.float64)
        if J.ndim != 2:
            raise ValueError("the Jacobian must be two-dimensional, not of shape %s" % (J.shape,))
        return scipy.sparse.csc_matrix(J)
    return scipy.sparse.csc_matrix(cast(Any, J), dtype=np.float64)


def _symmetric_structure(A: Any) -> bool:
    """Whether A's pattern equals its transpose's: then an ordering of A + A^T fills less."""
    if A.shape[0] != A.shape[1]:
        return False
    pattern = A.copy()
    pattern.data = np.ones_like(pattern.data)
    return bool((pattern != pattern.T).nnz == 0)


class SuperLU:
    """SciPy's SuperLU, with the pattern's analysis kept for the Jacobians of one solve.

    On a structurally symmetric Jacobian (stencils, most discretised PDEs) a minimum degree
    ordering of A + A^T, with pivots preferred on the diagonal, fills about half as much as
    SuperLU's default column ordering. That ordering depends on the numbering it starts
    from, and on a scrambled one (an unstructured mesh, a grid numbered at random) it takes
    minutes where it took a fraction of a second: the matrix is first renumbered by reverse
    Cuthill-McKee, which gives any numbering of the same graph the same start."""

    def __init__(self) -> None:
        self.indptr: Any = None
        self.indices: Any = None
        self.order: Optional[npt.NDArray[np.intp]] = None  # None: not symmetric

    def __call__(self, J: Any) -> Solve:
        A = _csc(J)
        if self.indptr is None or not (np.array_equal(A.indptr, self.indptr)
                                       and np.array_equal(A.indices, self.indices)):
            self.indptr, self.indices = A.indptr.copy(), A.indices.copy()
            self.order = None
            if _symmetric_structure(A):
                self.order = np.asarray(scipy.sparse.csgraph.reverse_cuthill_mckee(
                    A.tocsr(), symmetric_mode=True), dtype=np.intp)
        order = self.order
        try:
            if order is None:
                lu = scipy.sparse.linalg.splu(A, permc_spec="COLAMD")
                return lu.solve
            lu = scipy.sparse.linalg.splu(A[order][:, order].tocsc(), permc_spec="MMD_AT_PLUS_A",
                                          diag_pivot_thresh=0.1)
        except RuntimeError as error:  # SuperLU's "Factor is exactly singular"
            raise SingularJacobian(str(error)) from None

        def solve(b: FloatArray) -> FloatArray:
            x = np.empty(len(b))
            x[order] = lu.solve(np.asarray(b, dtype=np.float64)[order])
            return x

        return solve


def _umfpack(J: Any) -> Solve:
    # An optional dependency, without type information
    from scikits.umfpack import (  # type: ignore[import-not-found, import-untyped, unused-ignore]
        splu as umfpack_splu)

    try:
        lu = umfpack_splu(_csc(J))
    except RuntimeError as error:
        raise SingularJacobian(str(error)) from None
    return lu.solve  # type: ignore[no-any-return]


def _pardiso(J: Any) -> Solve:
    # An optional dependency, without type information
    import pypardiso  # type: ignore[import-not-found, import-untyped, unused-ignore]

    A = scipy.sparse.csr_matrix(J, dtype=np.float64)
    solver = pypardiso.PyPardisoSolver()
    solver.factorize(A)

    def solve(b: FloatArray) -> FloatArray:
        return np.asarray(solver.solve(A, b), dtype=np.float64)

    return solve


def _installed(module: str) -> bool:
    import importlib.util

    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):
        return False


KRYLOV_ITERATIONS = 1000


class Forcing:
    """The relative tolerance of each Krylov solve: Eisenstat and Walker's second choice, as
    Kelley gives it (Iterative Methods for Linear and Nonlinear Equations, 1995, eq. 6.20),
    with its safeguards. A step far from the root is solved loosely, one near it tightly, and
    never much more tightly than the residual's own tolerance asks."""

    GAMMA, ETA_MAX, FIRST = 0.9, 0.9, 0.5

    def __init__(self) -> None:
        self.rtol = self.FIRST

    def next(self, norm: float, norm_before: float, floor: float) -> None:
        """After a step that took ||F|| from norm_before to norm; floor: the tolerance that
        would meet ftol at once (0.5 ftol / max|F|)."""
        eta = self.GAMMA * (norm / max(norm_before, 1e-300)) ** 2
        kept = self.GAMMA * self.rtol ** 2
        if kept > 0.1:
            eta = max(eta, kept)
        self.rtol = min(self.ETA_MAX, max(eta, floor))


class Factors(NamedTuple):
    """ILU(0) factors: L \\ U in the values of the pattern they were made on."""

    indptr: npt.NDArray[np.int64]
    indices: npt.NDArray[np.int64]
    diag: npt.NDArray[np.int64]
    lu: FloatArray

    def apply(self, b: FloatArray) -> FloatArray:
        from vendrel import _linalg

        x = np.empty(len(b))
        _linalg.ilu0_apply(self.indptr, self.indices, self.diag, self.lu,
                           np.ascontiguousarray(b, dtype=np.float64), x)
        return x


class Ilu0:
    """ILU(0) of Jacobians of one pattern: the pattern analysed for the first, then each
    factorised numerically in compiled code."""

    def __init__(self) -> None:
        self.indptr: Optional[npt.NDArray[np.int64]] = None
        self.indices: Optional[npt.NDArray[np.int64]] = None

    def factor(self, A: Any) -> Factors:
        """The factors of A, a CSR matrix with sorted, distinct indices."""
        from vendrel import _linalg

        if self.indptr is None or self.indices is None or \
                not (np.array_equal(A.indptr, self.indptr) and np.array_equal(A.indices, self.indices)):
            self.indptr = np.ascontiguousarray(A.indptr, dtype=np.int64)
            self.indices = np.ascontiguousarray(A.indices, dtype=np.int64)
            self.diag = np.empty(A.shape[0], dtype=np.int64)
            self.work = np.empty(A.shape[0], dtype=np.int64)
            try:
                _linalg.ilu0_analyse(self.indptr, self.indices, self.diag)
            except ValueError as error:
                self.indptr = None
                raise SingularJacobian(str(error)) from None
        values = np.array(A.data, dtype=np.float64)
        row = _linalg.ilu0_factorise(self.indptr, self.indices, self.diag, values, self.work)
        if row >= 0:
            raise SingularJacobian("ILU(0) met a zero pivot in row %d" % row)
        return Factors(self.indptr, self.indices, self.diag, values)


def _csr(J: Any) -> Any:
    """J as a CSR matrix with sorted, distinct indices, sharing nothing with J."""
    A = scipy.sparse.csr_matrix(J, dtype=np.float64, copy=True)
    A.sum_duplicates()
    return A


# GMRES's restart: PETSc's default, and a basis of 31 vectors.
RESTART = 30


def _gmres(forcing: Forcing) -> Factorize:
    """GMRES in compiled code, right-preconditioned by ILU(0) of the Jacobian's pattern."""
    preconditioner = Ilu0()

    def factorize(J: Any) -> Solve:
        from vendrel import _linalg

        A = _csr(J)
        factors = preconditioner.factor(A)
        data = np.ascontiguousarray(A.data)

        def solve(b: FloatArray) -> FloatArray:
            x = np.empty(len(b))
            _, _, _, finite = _linalg.gmres(
                factors.indptr, factors.indices, data, factors.diag, factors.lu,
                np.ascontiguousarray(b, dtype=np.float64), x, forcing.rtol, RESTART,
                KRYLOV_ITERATIONS)
            if not finite:
                raise SingularJacobian("GMRES met non-finite values")
            # Not converged within its iterations: the step is still a descent direction in
            # most cases, and the line search judges it.
            return x

        return solve

    return factorize


def tolerance_name(method: Callable[..., Any]) -> str:
    """The name of a SciPy Krylov method's relative tolerance: SciPy 1.12 renamed tol to
    rtol."""
    return "rtol" if "rtol" in inspect.signature(method).parameters else "tol"


def _krylov(name: str, forcing: Forcing) -> Factorize:
    """One of SciPy's Krylov methods, preconditioned by ILU(0) of the Jacobian's pattern."""
    if name == "gmres":
        return _gmres(forcing)
    method = getattr(scipy.sparse.linalg, name)
    tolerance = tolerance_name(method)
    preconditioner = Ilu0()

    def factorize(J: Any) -> Solve:
        A = _csr(J)
        M = scipy.sparse.linalg.LinearOperator(A.shape, preconditioner.factor(A).apply)

        def solve(b: FloatArray) -> FloatArray:
            x, info = method(A, b, M=M, atol=0.0, maxiter=KRYLOV_ITERATIONS,
                             **{tolerance: forcing.rtol})
            if info < 0:
                raise SingularJacobian("%s broke down (info %d)" % (name, info))
            return np.asarray(x, dtype=np.float64)

        return solve

    return factorize


def grid_dimension(J: Any) -> Tuple[int, int]:
    """The dimension of the grid a square pattern looks like, from its graph's diameter D
    (two breadth-first sweeps): a side-m grid in d dimensions has n = m^d unknowns and D =
    d (m - 1), so d is the one of 1, 2, 3 for which (D / d + 1)^d comes nearest n. Also D."""
    graph: Any = scipy.sparse.csr_matrix(J, dtype=bool)
    sweep: Any = scipy.sparse.csgraph.dijkstra  # typed for weighted graphs alone
    n = graph.shape[0]
    if n < 2:
        return 1, 0
    far = 0
    distances: Any = None
    for _ in range(2):
        distances = sweep(graph, directed=False, indices=far, unweighted=True)
        reached = np.isfinite(distances)
        far = int(np.argmax(np.where(reached, distances, -1.0)))
    diameter = int(distances[far])
    reach = int(np.isfinite(distances).sum())  # the component the sweeps stayed in
    best = min((1, 2, 3), key=lambda d: abs(math.log(reach) - d * math.log(diameter / d + 1.0)))
    return best, diameter


# Where "auto" leaves direct factorisation: grids of three dimensions past this many unknowns,
# where an LU's fill grows as n^(4/3) and ILU(0) with GMRES needs few iterations.
ITERATIVE_FROM = 10_000


class Auto:
    """"auto": a direct factorisation, or GMRES with ILU(0) where the pattern is a 3-D grid's
    of at least ITERATIVE_FROM unknowns; chosen at the first Jacobian, and said with verbose."""

    def __init__(self, direct: str, forcing: Forcing, verbose: int = 0) -> None:
        self.direct, self.forcing, self.verbose = direct, forcing, verbose
        self.chosen: Optional[Factorize] = None
        self.name = direct
        self.reason = ""

    def __call__(self, J: Any) -> Solve:
        if self.chosen is None:
            self.prepare(J)
        assert self.chosen is not None
        return self.chosen(J)

    def prepare(self, pattern: Any) -> None:
        """Chooses from the pattern, before the first Jacobian where it is known."""
        self.chosen = self.choose(pattern)
        if self.verbose:
            print("linear solver: %s (%s)" % (self.name, self.reason))

    def choose(self, J: Any) -> Factorize:
        n = J.shape[0]
        if scipy.sparse.issparse(J) and n >= ITERATIVE_FROM:
            dimension, diameter = grid_dimension(J)
            self.reason = "the pattern looks like a %d-D grid: diameter %d for %d unknowns" % (
                dimension, diameter, n)
            if dimension >= 3:
                self.name = "gmres"
                return _krylov("gmres", self.forcing)
        else:
            self.reason = "%d unknowns" % n
        return SOLVERS[self.direct][0]()


# name -> (what makes a factorize for one solve, what it is); the Krylov methods are made per
# solve too, with its Forcing.
SOLVERS: Dict[str, Tuple[Callable[[], Factorize], str]] = {
    "splu": (SuperLU, "SciPy's SuperLU"),
    "umfpack": (lambda: _umfpack, "UMFPACK (scikit-umfpack)"),
    "pardiso": (lambda: _pardiso, "PARDISO (pypardiso)"),
}
KRYLOV = {
    "gmres": "GMRES preconditioned by ILU(0), in compiled code",
    "lgmres": "LGMRES preconditioned by ILU(0)",
    "bicgstab": "BiCGSTAB preconditioned by ILU(0)",
}

# "auto"'s direct choice: the first installed, fastest first.
AUTO_ORDER = (("pardiso", "pypardiso"), ("umfpack", "scikits.umfpack"), ("splu", "scipy"))

NAMES = ("auto",) + tuple(SOLVERS) + tuple(KRYLOV)


def read_linear_solver(linear_solver: Any,
                       verbose: int = 0) -> Tuple[Factorize, str, Optional[Forcing]]:
    """The factorisation, its name, and the Forcing its Krylov solves read (None for a
    direct one), for the ``linear_solver`` argument."""
    if callable(linear_solver):
        return _checked(linear_solver), getattr(linear_solver, "__name__", "callable"), None
    if isinstance(linear_solver, str) and linear_solver == "auto":
        direct = next(name for name, module in AUTO_ORDER if _installed(module))
        forcing = Forcing()
        return Auto(direct, forcing, verbose), "auto", forcing
    if isinstance(linear_solver, str) and linear_solver in KRYLOV:
        forcing = Forcing()
        return _krylov(linear_solver, forcing), linear_solver, forcing
    if isinstance(linear_solver, str) and linear_solver in SOLVERS:
        name = linear_solver
        module = dict(AUTO_ORDER).get(name)
        if module is not None and not _installed(module):
            raise ValueError("linear_solver=%r needs the package %s, which is not installed"
                             % (name, module.split(".")[0]))
        return SOLVERS[name][0](), name, None
    raise ValueError("linear_solver must be one of %s or a callable factorize(J) -> solve(b), "
                     "not %r" % (", ".join(map(repr, NAMES)), linear_solver))


def _checked(factorize: Callable[[Any], Any]) -> Factorize:
    def checked(J: Any) -> Solve:
        solve = factorize(J)
        if not callable(solve):
            raise TypeError("linear_solver(J) must return a function solve(b), not %s"
                            % type(solve).__name__)
        return solve  # type: ignore[no-any-return]

    return checked


def solve_checked(solve: Solve, b: FloatArray, name: Optional[str] = None) -> FloatArray:
    """solve(b) as a finite float vector of b's length, or SingularJacobian."""
    x = np.asarray(solve(b), dtype=np.float64).reshape(-1)
    if x.shape != b.shape:
        raise ValueError("the linear solver's solve(b) returned %d values for %d unknowns"
                         % (x.size, b.size))
    if not np.all(np.isfinite(x)):
        raise SingularJacobian("the solve gave non-finite values")
    return x
