"""The linear solvers of a Newton step: a table of factorisations, each ``factorize(J)`` giving
a ``solve(b)``.

A factorisation is made once per Jacobian and reused for every step that keeps the Jacobian,
so its cost is paid as rarely as the Jacobian's evaluations are. Direct solvers are SciPy's
SuperLU, always there, and UMFPACK or PARDISO where their Python packages are installed;
iterative solvers are SciPy's Krylov methods with an incomplete-LU preconditioner, for 3-D
problems whose LU fill grows too large.
"""

import inspect
from typing import Any, Callable, Dict, Optional, Tuple, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse
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


def _superlu(J: Any) -> Solve:
    A = _csc(J)
    # On a structurally symmetric Jacobian (stencils, most discretised PDEs) a minimum degree
    # ordering of A + A^T, with pivots preferred on the diagonal, fills about half as much as
    # SuperLU's default column ordering, and factorises faster.
    if _symmetric_structure(A):
        options: Dict[str, Any] = {"permc_spec": "MMD_AT_PLUS_A", "diag_pivot_thresh": 0.1}
    else:
        options = {"permc_spec": "COLAMD"}
    try:
        lu = scipy.sparse.linalg.splu(A, **options)
    except RuntimeError as error:  # SuperLU's "Factor is exactly singular"
        raise SingularJacobian(str(error)) from None
    return lu.solve


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


# The Krylov solves' relative tolerance: a Newton step solved to 1e-8 keeps Newton's
# quadratic convergence down to the tolerances root is used with.
KRYLOV_RTOL = 1e-8
KRYLOV_ITERATIONS = 1000


def _krylov(name: str) -> Factorize:
    method = getattr(scipy.sparse.linalg, name)
    # SciPy 1.12 renamed the relative tolerance from tol to rtol.
    tolerance = "rtol" if "rtol" in inspect.signature(method).parameters else "tol"

    def factorize(J: Any) -> Solve:
        A = _csc(J)
        try:
            # A light incomplete factor: on a 3-D seven-point Jacobian, tighter ones cost
            # more to make and to apply than the iterations they save.
            ilu = scipy.sparse.linalg.spilu(A, drop_tol=1e-3, fill_factor=2)
        except RuntimeError as error:
            raise SingularJacobian(str(error)) from None
        M = scipy.sparse.linalg.LinearOperator(A.shape, ilu.solve)

        def solve(b: FloatArray) -> FloatArray:
            x, info = method(A, b, M=M, atol=0.0, maxiter=KRYLOV_ITERATIONS,
                             **{tolerance: KRYLOV_RTOL})
            if info < 0:
                raise SingularJacobian("%s broke down (info %d)" % (name, info))
            # Not converged within its iterations (info > 0): the step is still a descent
            # direction in most cases, and the line search judges it.
            return np.asarray(x, dtype=np.float64)

        return solve

    return factorize


# name -> (factorize, what it is, where it comes from)
SOLVERS: Dict[str, Tuple[Factorize, str]] = {
    "splu": (_superlu, "SciPy's SuperLU"),
    "umfpack": (_umfpack, "UMFPACK (scikit-umfpack)"),
    "pardiso": (_pardiso, "PARDISO (pypardiso)"),
    "gmres": (_krylov("gmres"), "GMRES with an incomplete-LU preconditioner"),
    "lgmres": (_krylov("lgmres"), "LGMRES with an incomplete-LU preconditioner"),
    "bicgstab": (_krylov("bicgstab"), "BiCGSTAB with an incomplete-LU preconditioner"),
}

# "auto": the first installed, fastest first.
AUTO_ORDER = (("pardiso", "pypardiso"), ("umfpack", "scikits.umfpack"), ("splu", "scipy"))

NAMES = ("auto",) + tuple(SOLVERS)


def read_linear_solver(linear_solver: Any) -> Tuple[Factorize, str]:
    """The factorisation and its name, for the ``linear_solver`` argument."""
    if callable(linear_solver):
        return _checked(linear_solver), getattr(linear_solver, "__name__", "callable")
    if linear_solver == "auto":
        module: Optional[str]
        for name, module in AUTO_ORDER:
            if _installed(module):
                return SOLVERS[name][0], name
    if isinstance(linear_solver, str) and linear_solver in SOLVERS:
        name = linear_solver
        module = dict(AUTO_ORDER).get(name)
        if module is not None and not _installed(module):
            raise ValueError("linear_solver=%r needs the package %s, which is not installed"
                             % (name, module.split(".")[0]))
        return SOLVERS[name][0], name
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
