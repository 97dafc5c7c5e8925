"""Solving F(x) = 0 with sparse Jacobians by grouped differences: a Newton method that spends
residual evaluations sparingly.

`root` takes SciPy's names and returns SciPy's ``OptimizeResult``; each Jacobian comes from a
`vendrel.jacobian.SparseJacobian` (one evaluation per group of columns), an analytic
function, or is kept, or is updated by Broyden's rule, as ``jac_update`` says.
"""

import numbers
import warnings
from typing import Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt
from scipy.optimize import OptimizeResult

from vendrel import _steps, grouping
from vendrel._evaluation import check_arguments, flat_result
from vendrel.jacobian import SparseJacobian, detect_sparsity
from vendrel.solve import _root
from vendrel.solve._linear import NAMES as LINEAR_SOLVERS
from vendrel.solve._linear import Auto, Forcing, read_linear_solver
from vendrel.sparse_solver import SparseSolver

__all__ = ["root", "JAC_UPDATES", "GLOBALIZATIONS", "LINEAR_SOLVERS"]

FloatArray = npt.NDArray[np.float64]

#: The values of ``jac_update``.
JAC_UPDATES = ("every", "lazy", "broyden", "matrix_free")
#: The values of ``globalization``.
GLOBALIZATIONS = ("line_search", "dogleg", "ptc")


def root(
    fun: Any,
    x0: npt.ArrayLike,
    *,
    sparsity: Any = None,
    jac: Any = None,
    args: Sequence[Any] = (),
    kwargs: Optional[Dict[str, Any]] = None,
    jac_update: str = "every",
    globalization: str = "line_search",
    linear_solver: Any = "auto",
    bounds: Tuple[npt.ArrayLike, npt.ArrayLike] = (-np.inf, np.inf),
    x_scale: npt.ArrayLike = 1.0,
    f_scale: npt.ArrayLike = 1.0,
    ftol: float = 1e-8,
    xtol: float = float(np.finfo(float).eps ** (2.0 / 3.0)),
    max_iter: int = 100,
    max_nfev: Optional[int] = None,
    ptc_step: Optional[float] = None,
    callback: Optional[Callable[[FloatArray, FloatArray], Any]] = None,
    verbose: int = 0,
    workers: Any = None,
) -> OptimizeResult:
    """A root of ``fun(x) = 0`` by Newton's method with sparse Jacobians.

    Parameters
    ----------
    fun : callable or SparseSolver
        ``fun(x, *args, **kwargs)`` returning n values for n unknowns, or a `SparseSolver`
        instance whose class defines ``compute_residuals``.
    x0 : array_like, shape (n,)
        The starting point: real, finite, within `bounds`.
    sparsity : optional
        The Jacobian's pattern, as `vendrel.jacobian.SparseJacobian` takes it. None (with `jac`
        None) finds it with `detect_sparsity`: by tracing `fun` where it can be traced (one
        call), else by perturbation (n + 1 evaluations, with a warning that says why).
    jac : SparseJacobian or callable, optional
        None makes a ``SparseJacobian(fun, sparsity, bounds=bounds, workers=workers)``. A
        `SparseJacobian` is called as ``jac(x, f0=F(x))``, so each Jacobian costs one evaluation
        per group; any other callable as ``jac(x, *args, **kwargs)``, returning a sparse
        matrix or a dense array (an analytic Jacobian).
    jac_update : {"every", "lazy", "broyden", "matrix_free"}, optional
        ``"every"``: a new Jacobian every iteration (Newton's method). ``"lazy"``: the
        Jacobian and its factorisation are kept while each step cuts ||F|| by a factor 0.3 or
        more, for at most 10 iterations, and remade when a step falls short or the line search
        fails (modified Newton, as KINSOL's). ``"broyden"``: the kept factorisation is
        corrected by Broyden's rank-one updates, restarted from a new Jacobian after 20
        updates or a step that cuts ||F|| by less than half. ``"matrix_free"``: no
        Jacobian; each step is solved by GMRES on products J v, each one forward difference
        and so one evaluation (Jacobian-free Newton-Krylov, as SciPy's ``newton_krylov``),
        to the accuracy the step needs: for problems whose Jacobian grouping cannot make
        cheap (dense rows, dense problems). Line search only; no `sparsity` or `jac`.
    globalization : {"line_search", "dogleg", "ptc"}, optional
        ``"line_search"``: backtracking on ||F||^2 with Armijo's test and interpolated step
        lengths; non-finite residuals shorten the step. ``"dogleg"``: Powell's trust region
        (not with ``"broyden"``). ``"ptc"``: pseudo-transient continuation, steps
        ``(I / dt + J) dx = -F`` with the pseudo-time step dt growing as ||F|| falls
        (switched evolution relaxation), for steady states that Newton's method cannot reach
        from a poor start (not with ``"broyden"``).
    linear_solver : str or callable, optional
        ``"auto"``: GMRES with ILU(0) where the pattern is a 3-D grid's of at least 10^4
        unknowns (told from the diameter of its graph), where a direct factorisation's fill
        grows too fast; else the fastest installed direct solver (PARDISO through pypardiso,
        UMFPACK through scikit-umfpack, else SciPy's SuperLU). ``verbose=1`` says which and
        why. ``"splu"``, ``"umfpack"``, ``"pardiso"``; ``"gmres"``, ``"lgmres"``,
        ``"bicgstab"`` preconditioned by ILU(0) on the Jacobian's own pattern (analysed
        once, refactorised in place), each solve as accurate as its Newton step needs
        (Eisenstat and Walker's forcing terms); or a callable ``factorize(J)`` returning a
        function ``solve(b)``.
    bounds : tuple of array_like, optional
        Lower and upper bounds on x, each a number or one per unknown, with lower < upper.
        Every iterate stays within them (steps are projected onto the box), and so does
        every difference of the Jacobian that `root` makes; give a `SparseJacobian` of your
        own the same ``bounds``.
    x_scale, f_scale : array_like, optional
        The typical size of each unknown and the weight of each residual: the trust region
        and the relative step (`xtol`) are measured in ``x / x_scale``; norms of F, and
        `ftol`, in ``f_scale * F``.
    ftol : float, optional
        Success when ``max |f_scale * F(x)| <= ftol``; the only success. A trial point that
        meets it is taken, though ||F|| may have risen.
    xtol : float, optional
        The iteration stops, unsuccessfully, when a step is below ``xtol`` relative to
        ``max(|x|, x_scale)`` in every component while max|F| is still above `ftol`.
    max_iter, max_nfev : int, optional
        Limits on iterations and on residual evaluations (those inside Jacobians included);
        the iteration stops before an evaluation, or a Jacobian, that would go over.
    ptc_step : float, optional
        The first pseudo-time step of ``"ptc"``; by default ``0.1 / max|F(x0)|``, so that the
        first step moves x by about a tenth of the residual's size.
    callback : callable, optional
        ``callback(x, f)`` after each iteration, with copies; a true return value stops,
        unsuccessfully unless x meets `ftol`.
    verbose : {0, 1, 2}, optional
        1 prints a line per iteration and a summary; 2 also each rejected step length.
    workers : int or map-like callable, optional
        Where the evaluations of each Jacobian run, as for `SparseJacobian`; only for the
        Jacobian that `root` makes.

    Returns
    -------
    OptimizeResult
        ``x`` (on failure the point with the smallest ``max |f_scale * F|`` found), ``fun``,
        ``success``, ``status`` (1 success; 0 iteration limit, -1 evaluation limit, -2 line
        search failed, -3 singular Jacobian, -4 non-finite F(x0), -5 stalled below xtol, -6
        trust region collapsed, -7 stopped by callback), ``message``, ``nit``, ``nfev`` (all
        residual evaluations), ``njev`` (Jacobians made), ``jac_nfev`` (evaluations inside
        them), ``nfact`` (factorisations), ``time`` and its parts ``fun_time``,
        ``jac_time``, ``linear_time`` in seconds.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.solve import root
    >>> def fun(x):
    ...     return x**3 + x - np.r_[x[1:], 0.0] - 1.0
    >>> band = np.eye(5, dtype=bool) | np.eye(5, k=1, dtype=bool)
    >>> result = root(fun, np.zeros(5), sparsity=band)
    >>> result.success, bool(np.abs(fun(result.x)).max() <= 1e-8)
    (True, True)
    """
    # Every argument is checked here, before anything is evaluated.
    point, _ = _steps.as_point(x0, "x0")
    n = len(point)
    lower, upper = _read_bounds(bounds, n)
    _steps.check_within(point, lower, upper, "x0")
    residual = _read_fun(fun, args, kwargs, n)
    if jac_update not in JAC_UPDATES:
        raise ValueError("jac_update must be one of %s, not %r"
                         % (", ".join(map(repr, JAC_UPDATES)), jac_update))
    if globalization not in GLOBALIZATIONS:
        raise ValueError("globalization must be one of %s, not %r"
                         % (", ".join(map(repr, GLOBALIZATIONS)), globalization))
    if jac_update == "matrix_free" and globalization != "line_search":
        raise ValueError("globalization=%r needs a Jacobian at each step, and "
                         "jac_update='matrix_free' makes none; use 'line_search'"
                         % globalization)
    if jac_update == "matrix_free" and (jac is not None or sparsity is not None):
        raise ValueError("jac_update='matrix_free' makes no Jacobian: leave out %s"
                         % ("jac" if jac is not None else "sparsity"))
    if jac_update == "broyden" and globalization != "line_search":
        raise ValueError("globalization=%r needs the Jacobian itself at each step, and "
                         "jac_update='broyden' keeps only its factorisation; use 'every' or "
                         "'lazy'" % globalization)
    factorize, _, forcing = read_linear_solver(linear_solver, verbose if verbose in (1, 2) else 0)
    x_scale_ = _positive(x_scale, n, "x_scale")
    f_scale_ = _positive(f_scale, n, "f_scale")
    for name, value in (("ftol", ftol), ("xtol", xtol)):
        if not _real(value, name) >= 0:
            raise ValueError("%s must be a number >= 0, not %r" % (name, value))
    if _integer(max_iter, "max_iter") < 0:
        raise ValueError("max_iter must be an integer >= 0, not %r" % (max_iter,))
    if max_nfev is not None and _integer(max_nfev, "max_nfev", none=True) < 1:
        raise ValueError("max_nfev must be a positive integer or None, not %r" % (max_nfev,))
    if ptc_step is not None and not (_real(ptc_step, "ptc_step", none=True) > 0
                                     and np.isfinite(ptc_step)):
        raise ValueError("ptc_step must be a positive number, not %r" % (ptc_step,))
    if verbose not in (0, 1, 2):
        raise ValueError("verbose must be 0, 1 or 2, not %r" % (verbose,))
    if callback is not None and not callable(callback):
        raise TypeError("callback must be callable, not %s" % type(callback).__name__)

    made = None
    pre_nfev = 0
    if jac is not None and workers is not None:
        raise ValueError("workers is for the Jacobian that root makes; give it to your "
                         "SparseJacobian instead")
    if jac is not None and sparsity is not None:
        raise ValueError("sparsity is for the Jacobian that root makes; with jac given, "
                         "leave it out")
    if jac_update == "matrix_free":
        pass  # no pattern, no Jacobian: products by differences
    elif jac is None:
        name = "sparsity"
        if sparsity is None:
            sparsity, pre_nfev = _detect(fun, point, args, kwargs, workers)
            name = "the pattern detected in fun"
        # Grouped here, so that a pattern of another size than x0's is called that before the
        # bounds, of x0's size, meet it.
        found = _square(grouping.column_grouping(sparsity), n, name)
        _warn_dense_rows(found, jac_update)
        made = jac = SparseJacobian(fun, found, bounds=(lower, upper), workers=workers,
                                    args=args, kwargs=kwargs)
    elif isinstance(jac, SparseJacobian):
        _warn_dense_rows(_square(jac.grouping, n, "jac's pattern"), jac_update)
    try:
        make, cost = _read_jac(jac, args, kwargs, n) if jac is not None else (_no_jacobian,
                                                                               lambda: 0)
        problem = _root.Problem(residual, make, cost, factorize, lower, upper, x_scale_,
                                f_scale_, max_nfev, verbose)
        problem.nfev = pre_nfev
        problem.forcing = Forcing() if jac_update == "matrix_free" else forcing
        if isinstance(factorize, Auto) and isinstance(jac, SparseJacobian):
            factorize.prepare(jac.grouping.pattern)
        return _root.newton(problem, point, jac_update=jac_update, globalization=globalization,
                            ftol=float(ftol), xtol=float(xtol), max_iter=int(max_iter),
                            ptc_step=ptc_step, callback=callback)
    finally:
        if made is not None:
            made.close()


#: A Jacobian of more groups than this share of its columns is called out: its rows with
#: entries in most columns are what costs the evaluations.
DENSE_SHARE = 0.5


def _warn_dense_rows(found: grouping.ColumnGrouping, jac_update: str) -> None:
    """Warns where the grouping costs more than DENSE_SHARE of n evaluations per Jacobian,
    naming the rows that force it (those with entries in more than that share of columns)."""
    m, n = found.shape
    if n < 8 or found.count <= DENSE_SHARE * n:
        return
    counts = np.diff(found.pattern.tocsr().indptr)
    dense = np.flatnonzero(counts > DENSE_SHARE * n)
    rows = "rows %s have" % _listed(dense) if len(dense) > 1 else (
        "row %d has" % dense[0] if len(dense) else "the pattern has")
    advice = "" if jac_update == "broyden" else (
        "; jac_update='broyden' makes fewer of them, jac_update='matrix_free' none (one "
        "evaluation per Krylov iteration instead), and a row given analytically (a jac of "
        "your own) costs none")
    warnings.warn("%s entries in most of the %d columns: each Jacobian costs %d evaluations "
                  "for %d unknowns%s" % (rows, n, found.count, n, advice), RuntimeWarning,
                  stacklevel=3)


def _listed(rows: Any, most: int = 5) -> str:
    shown = ", ".join(str(int(i)) for i in rows[:most])
    return shown + (" and %d more" % (len(rows) - most) if len(rows) > most else "")


def _detect(fun: Any, point: FloatArray, args: Sequence[Any],
            kwargs: Optional[Dict[str, Any]], workers: Any) -> Tuple[Any, int]:
    """The pattern, and the evaluations it cost: one traced call where `fun` can be traced,
    else n + 1 by perturbation."""
    from vendrel.tracing import TracingError

    try:
        return detect_sparsity(fun, point, args=args, kwargs=kwargs, method="trace"), 1
    except TracingError as error:
        warnings.warn("fun could not be traced (%s); finding the pattern by perturbation "
                      "instead, %d evaluations" % (error.operation, len(point) + 1),
                      RuntimeWarning, stacklevel=3)
    pattern = detect_sparsity(fun, point, args=args, kwargs=kwargs, workers=workers)
    return pattern, len(point) + 2  # the traced call ran fun too


def _read_bounds(bounds: Any, n: int) -> Tuple[FloatArray, FloatArray]:
    """The bounds as two arrays of length n that root owns."""
    lb, ub = _steps.as_bounds(bounds, n)
    lower = np.full(n, -np.inf) if lb is None else np.array(lb)
    upper = np.full(n, np.inf) if ub is None else np.array(ub)
    # An unknown fixed by its bounds leaves the Jacobian no room for a difference.
    fixed = np.flatnonzero(lower == upper)
    if len(fixed):
        j = int(fixed[0])
        raise ValueError("bounds must have lower < upper, but both are %r in component %d"
                         % (float(lower[j]), j))
    return lower, upper


def _positive(value: Any, n: int, name: str) -> FloatArray:
    """x_scale or f_scale: a positive number, or one per unknown."""
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise ValueError("%s must hold real numbers, not %s"
                         % (name, _steps.describe(value, array)))
    if array.ndim > 1 or (array.ndim == 1 and len(array) != n):
        raise ValueError("%s must be a number or have %d values, one per unknown, not shape %r"
                         % (name, n, array.shape))
    array = np.broadcast_to(array.astype(np.float64), (n,)).copy()
    bad = np.flatnonzero(~((array > 0) & np.isfinite(array)))
    if len(bad):
        raise ValueError("%s must be positive and finite in every component, not %r%s"
                         % (name, float(array[bad[0]]),
                            "" if np.ndim(value) == 0 else " in component %d" % bad[0]))
    return array


def _real(value: Any, name: str, none: bool = False) -> float:
    """A real number (NaN too: the caller's comparison refuses it), else a TypeError."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a real number%s, not %r"
                        % (name, " or None" if none else "", value))
    return float(value)


def _integer(value: Any, name: str, none: bool = False) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an integer%s, not %r"
                        % (name, " or None" if none else "", value))
    return int(value)


def _square(found: grouping.ColumnGrouping, n: int, name: str) -> grouping.ColumnGrouping:
    """The grouping of a pattern of n rows and n columns (one per residual, one per unknown),
    an index pair's made so; else a ValueError that says the pattern's size."""
    m, k = found.shape
    if found.pairs and m <= n and k <= n:
        return found.padded(n, n)
    if (m, k) != (n, n):
        raise ValueError("%s is %d x %d%s; x0 has %d values, so it must be %d x %d"
                         % (name, m, k, " (the least that holds its index pairs)"
                            if found.pairs else "", n, n, n))
    return found


def _read_fun(fun: Any, args: Sequence[Any], kwargs: Optional[Dict[str, Any]],
              n: int) -> Callable[[FloatArray], FloatArray]:
    if isinstance(fun, SparseSolver):
        if type(fun).compute_residuals is SparseSolver.compute_residuals:
            raise TypeError("%s does not define compute_residuals" % type(fun).__qualname__)
        target = fun.compute_residuals
    elif callable(fun):
        target = fun
    else:
        raise TypeError("fun must be callable or a SparseSolver instance, not %s"
                        % type(fun).__name__)
    extra, named = check_arguments(args, kwargs)

    def residual(x: FloatArray) -> FloatArray:
        # A copy each way: fun may change its argument, and may return the same array on
        # every call (as a SparseSolver may).
        value = np.array(flat_result(target(x.copy(), *extra, **named)), dtype=np.float64)
        if value.shape != (n,):
            raise ValueError("fun must return %d values, one per unknown, not %d"
                             % (n, value.size))
        return value

    return residual


def _no_jacobian(x: FloatArray, f: FloatArray) -> Tuple[Any, int]:
    raise AssertionError("jac_update='matrix_free' makes no Jacobian")


def _read_jac(jac: Any, args: Sequence[Any], kwargs: Optional[Dict[str, Any]],
              n: int) -> Tuple[Callable[[FloatArray, FloatArray], Tuple[Any, int]],
                               Callable[[], int]]:
    """The Jacobian as ``make(x, f) -> (J, evaluations)``, and ``cost()``, the most
    evaluations the next one can make."""
    import scipy.sparse

    if isinstance(jac, SparseJacobian):
        def grouped(x: FloatArray, f: FloatArray) -> Tuple[Any, int]:
            before = jac.evaluations
            J = jac(x, f0=f)
            return J, jac.evaluations - before

        # the Jacobian's own count: two per group for 3-point, more next to a bound
        return _shape_checked(grouped, n), lambda: jac.cost(f0_given=True)
    if not callable(jac):
        raise TypeError("jac must be None, a SparseJacobian or a callable, not %s"
                        % type(jac).__name__)
    extra, named = check_arguments(args, kwargs)

    def analytic(x: FloatArray, f: FloatArray) -> Tuple[Any, int]:
        J = jac(x.copy(), *extra, **named)
        if not scipy.sparse.issparse(J):
            J = np.asarray(J, dtype=np.float64)
        return J, 0

    return _shape_checked(analytic, n), lambda: 0


def _shape_checked(make: Callable[[FloatArray, FloatArray], Tuple[Any, int]],
                   n: int) -> Callable[[FloatArray, FloatArray], Tuple[Any, int]]:
    def checked(x: FloatArray, f: FloatArray) -> Tuple[Any, int]:
        J, evaluations = make(x, f)
        if getattr(J, "shape", None) != (n, n):
            raise ValueError("jac must return an %d x %d matrix, not one of shape %s"
                             % (n, n, getattr(J, "shape", None)))
        return J, evaluations

    return checked
