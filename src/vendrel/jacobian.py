"""Sparse Jacobians by grouped finite differences, in the idiom of SciPy's ``approx_derivative``.

`estimate_jacobian` makes one Jacobian; `SparseJacobian` plans once and makes the many
Jacobians of a Newton-type iteration; `detect_sparsity` finds the pattern when it is not known.
The residual function is any callable ``fun(x, *args, **kwargs)`` or a `SparseSolver` instance
(its ``compute_residuals``), and its evaluations can run in worker processes or on a cluster.
"""

import threading
import warnings
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generic, Literal, Optional, Sequence, Tuple,
                    TypeVar, Union, overload)

import numpy as np
import numpy.typing as npt

from vendrel import _plan, _steps, grouping
from vendrel._detection import detect
from vendrel._differences import Differences
from vendrel._evaluation import Residual, Workers, residual_target
from vendrel._plan import CscArray, CsrArray, FloatArray, Jacobian

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from vendrel.plot import PathLike

__all__ = ["SparseJacobian", "detect_sparsity", "estimate_jacobian"]

DETECTION_METHODS = ("perturb", "trace", "auto")

Bounds = Tuple[npt.ArrayLike, npt.ArrayLike]
WorkersLike = Union[None, int, Callable[..., Any]]

#: The type of the Jacobians a `SparseJacobian` makes, set by its ``output``.
J = TypeVar("J", bound=Jacobian)


# The overloads tell a type checker what comes back for each ``output``: a csr_array by default.
@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, *, sparsity: Any = ..., groups: Any = ..., method: str = ...,
    rel_step: Optional[npt.ArrayLike] = ..., abs_step: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., f0: Optional[npt.ArrayLike] = ..., args: Sequence[Any] = ...,
    kwargs: Optional[Dict[str, Any]] = ..., output: Literal["csr"] = ...,
    workers: WorkersLike = ..., progress: bool = ...,
) -> CsrArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, *, sparsity: Any = ..., groups: Any = ..., method: str = ...,
    rel_step: Optional[npt.ArrayLike] = ..., abs_step: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., f0: Optional[npt.ArrayLike] = ..., args: Sequence[Any] = ...,
    kwargs: Optional[Dict[str, Any]] = ..., output: Literal["csc"],
    workers: WorkersLike = ..., progress: bool = ...,
) -> CscArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, *, sparsity: Any = ..., groups: Any = ..., method: str = ...,
    rel_step: Optional[npt.ArrayLike] = ..., abs_step: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., f0: Optional[npt.ArrayLike] = ..., args: Sequence[Any] = ...,
    kwargs: Optional[Dict[str, Any]] = ..., output: Literal["dense"],
    workers: WorkersLike = ..., progress: bool = ...,
) -> FloatArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, *, sparsity: Any = ..., groups: Any = ..., method: str = ...,
    rel_step: Optional[npt.ArrayLike] = ..., abs_step: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., f0: Optional[npt.ArrayLike] = ..., args: Sequence[Any] = ...,
    kwargs: Optional[Dict[str, Any]] = ..., output: str,
    workers: WorkersLike = ..., progress: bool = ...,
) -> Jacobian: ...


def estimate_jacobian(
    fun: Any,
    x0: npt.ArrayLike,
    *,
    sparsity: Any = None,
    groups: Any = None,
    method: str = "2-point",
    rel_step: Optional[npt.ArrayLike] = None,
    abs_step: Optional[npt.ArrayLike] = None,
    bounds: Bounds = (-np.inf, np.inf),
    f0: Optional[npt.ArrayLike] = None,
    args: Sequence[Any] = (),
    kwargs: Optional[Dict[str, Any]] = None,
    output: str = "csr",
    workers: WorkersLike = None,
    progress: bool = False,
) -> Jacobian:
    """The Jacobian of `fun` at `x0` by grouped finite differences.

    Columns that share no row are perturbed together, so that a Jacobian costs one residual
    evaluation per group of columns (two for ``"3-point"``) instead of one per unknown. Steps,
    bounds and the difference formulas are those of ``scipy.optimize.approx_derivative``.

    Parameters
    ----------
    fun : callable or SparseSolver
        ``fun(x, *args, **kwargs)`` returning m values (m may differ from n), or a
        `SparseSolver` instance whose class defines ``compute_residuals``.
    x0 : array_like, shape (n,)
        The point: real and finite. It is never changed.
    sparsity : sparse matrix or array, array_like, or tuple, optional
        The pattern: anything `vendrel.grouping` takes (a matrix, or a tuple ``(rows, cols)`` of
        index arrays in any order), or SciPy's tuple ``(structure, groups)``. None finds it
        with `detect_sparsity` (n + 1 further evaluations).
    groups : array_like or list of arrays, optional
        A group number per column, or the list that ``SparseSolver.find_groups`` returns
        (positions into the ``(rows, cols)`` given as `sparsity`). None groups the columns with
        ``vendrel.grouping.group_columns(sparsity, "best")``.
    method : {"2-point", "3-point", "cs"}, optional
        Forward differences, central differences (one-sided next to a bound), or complex step.
    rel_step, abs_step : float or array_like, optional
        Steps as in SciPy: relative ``rel_step * sign(x0) * |x0|``, absolute `abs_step`, or by
        default ``eps**(1/2)`` (``eps**(1/3)`` for 3-point) times ``sign(x0) * max(1, |x0|)``.
        A step that vanishes against its component falls back to the default.
    bounds : tuple of array_like, optional
        Lower and upper bounds on x; evaluations stay within them.
    f0 : array_like, optional
        ``fun(x0)``, if already known.
    args, kwargs : optional
        Further arguments of `fun`.
    output : {"csr", "csc", "dense"}, optional
        A ``scipy.sparse`` array (matrix on SciPy releases without arrays) or a NumPy array.
    workers : int or map-like callable, optional
        Where the evaluations run: an int is a process pool of that size (-1: all cores); a
        callable ``workers(func, iterable)`` is used as a map, e.g. ``Pool.map`` or a Dask
        client's ``map`` and ``gather``. Results equal the serial ones bit for bit.
    progress : bool, optional
        Show a progress bar (needs tqdm: ``pip install "vendrel[progress]"``).

    Returns
    -------
    J : csr_array, csc_array or ndarray, shape (m, n)

    Notes
    -----
    Evaluations: one per group for ``"2-point"`` and ``"cs"``, two for ``"3-point"``, and one
    more for ``fun(x0)`` where the formula needs it (2-point, and 3-point next to a bound) and
    `f0` is not given. Differences are taken in float64.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.jacobian import estimate_jacobian
    >>> def fun(x):
    ...     return x**2 - np.r_[x[1:], 0.0]
    >>> band = (np.array([0, 0, 1, 1, 2]), np.array([0, 1, 1, 2, 2]))
    >>> estimate_jacobian(fun, [1.0, 2.0, 3.0], sparsity=band).toarray().round(6)
    array([[ 2., -1.,  0.],
           [ 0.,  4., -1.],
           [ 0.,  0.,  6.]])
    """
    point, narrow = _steps.as_point(x0)
    residual = Residual(residual_target(fun), args, kwargs)
    method = _steps.check_method(method)
    pool = Workers(workers)
    try:
        if sparsity is None:
            limits = _steps.as_bounds(bounds, len(point))
            _steps.check_within(point, *limits, name="x0")
            sparsity, base = detect(residual, point, narrow, rel_step, abs_step, limits, 1, 0,
                                    pool, progress)
            if f0 is None:
                f0 = base
        plan = _make_plan(sparsity, groups, len(point), method, rel_step, abs_step, bounds, output)
        result: Jacobian = plan(point, narrow, residual, pool, f0, progress, [0])
        return result
    finally:
        pool.close()


def _make_plan(sparsity: Any, groups: Any, n: Optional[int], method: str, rel_step: Any,
               abs_step: Any, bounds: Any, output: str) -> Differences:
    structure, groups = _plan.split_sparsity(sparsity, groups)
    pattern, open_shape = _plan.read_pattern(structure, n)
    if groups is None:
        column_groups = grouping.group_columns(pattern, "best")
    else:
        column_groups, pattern = _plan.column_groups(groups, pattern,
                                                     structure if open_shape else None)
    return Differences(pattern, open_shape, column_groups, method, rel_step, abs_step, bounds, output)


class SparseJacobian(Generic[J]):
    """A Jacobian planned once, for the many Jacobians of a Newton-type iteration.

    The pattern is put in canonical form, the columns grouped, and the indices that recover
    each entry from the grouped differences computed, once. Each call then evaluates the
    residual once per group (twice for ``"3-point"``, plus ``fun(x)`` where needed) and gathers
    the entries in one vectorised pass into an array whose index arrays are shared, read-only,
    between the Jacobians it returns.

    Parameters are those of `estimate_jacobian`, except that `sparsity` is required. With
    ``workers`` an int, the process pool is kept for the calls; `close` (or a ``with`` block)
    shuts it down.

    A `SparseJacobian` can be given as ``jac=`` to ``scipy.optimize.least_squares``: it is
    called as ``jac(x, *args, **kwargs)``, and arguments given there replace `args` and
    `kwargs`.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.jacobian import SparseJacobian
    >>> def fun(x):
    ...     return x**2 - np.r_[x[1:], 0.0]
    >>> band = np.eye(4, dtype=bool) | np.eye(4, k=1, dtype=bool)
    >>> jac = SparseJacobian(fun, band)
    >>> jac(np.arange(1.0, 5.0)).diagonal().round(6)
    array([2., 4., 6., 8.])
    >>> jac.groups, jac.evaluations
    (array([0, 1, 0, 1]), 3)
    """

    # As for estimate_jacobian, the overloads give the type of the Jacobians for each ``output``.
    @overload
    def __init__(
        self: "SparseJacobian[CsrArray]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: Literal["csr"] = ..., workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[CscArray]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: Literal["csc"], workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[FloatArray]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: Literal["dense"], workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[Jacobian]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: str, workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ...,
    ) -> None: ...

    def __init__(
        self,
        fun: Any,
        sparsity: Any,
        *,
        groups: Any = None,
        method: str = "2-point",
        rel_step: Optional[npt.ArrayLike] = None,
        abs_step: Optional[npt.ArrayLike] = None,
        bounds: Bounds = (-np.inf, np.inf),
        output: str = "csr",
        workers: WorkersLike = None,
        args: Sequence[Any] = (),
        kwargs: Optional[Dict[str, Any]] = None,
        progress: bool = False,
    ) -> None:
        if sparsity is None:
            raise ValueError("sparsity is required; detect_sparsity finds it")
        self._residual = Residual(residual_target(fun), args, kwargs)
        self._plan = _make_plan(sparsity, groups, None, method, rel_step, abs_step, bounds, output)
        self._lower_bound = grouping.lower_bound(self._plan.pattern)
        self._workers = Workers(workers)
        self._progress = progress
        self._counter = [0]
        self._lock = threading.Lock()

    def __call__(self, x: npt.ArrayLike, *args: Any, f0: Optional[npt.ArrayLike] = None,
                 **kwargs: Any) -> J:
        """The Jacobian at `x`; `f0` is ``fun(x)`` if already known."""
        point, narrow = _steps.as_point(x, "x")
        residual = self._residual
        if args or kwargs:
            residual = Residual(residual.target, args, kwargs)
        with self._lock:  # the plan keeps work arrays between calls
            result: J = self._plan(point, narrow, residual, self._workers, f0, self._progress,
                                   self._counter)
            return result

    @property
    def groups(self) -> npt.NDArray[np.intp]:
        """The group of each column, numbered from 0."""
        return self._plan.groups.copy()

    @property
    def lower_bound(self) -> int:
        """The most entries in a row: no grouping needs fewer groups."""
        return int(self._lower_bound)

    @property
    def evaluations(self) -> int:
        """The residual evaluations made so far."""
        return self._counter[0]

    def summary(self) -> str:
        """A few lines on the plan: size, entries, groups and the evaluations they save."""
        plan = self._plan
        m, n = plan.pattern.shape if plan.m is None or plan.n is None else (plan.m, plan.n)
        per_call = plan.evaluations(False)
        dense = (2 * n if plan.method == "3-point" else n) + int(plan.method == "2-point")
        entries = plan.pattern.nnz
        return "\n".join([
            "Jacobian %d x %d, %d entries (%.3g%% of %d)"
            % (m, n, entries, 100.0 * entries / max(1, m * n), m * n),
            "groups: %d; lower bound %d; a dense difference perturbs %d columns one at a time"
            % (plan.count, self.lower_bound, n),
            "evaluations per Jacobian (%s): %d instead of %d, %d saved; %d made so far"
            % (plan.method, per_call, dense, dense - per_call, self.evaluations),
        ])

    def close(self) -> None:
        """Shuts down the process pool made for ``workers=<int>``, if any."""
        self._workers.close()

    def plot(self, path: "Optional[PathLike]" = None, *, title: Optional[str] = None,
             max_pixels: int = 600) -> "Figure":
        """The pattern with each column coloured by its group, as `vendrel.plot.plot_pattern`
        draws it; saved as a PNG at `path` if given. Needs matplotlib
        (``pip install "vendrel[plot]"``)."""
        from vendrel.plot import plot_pattern

        plan = self._plan
        pattern = plan.pattern
        if plan.m is not None and plan.n is not None:
            # An index pair's shape is known from the first call on.
            pattern = _plan.pad(pattern, plan.m, plan.n)
        return plot_pattern(pattern, plan.groups, path, title=title, max_pixels=max_pixels)

    def __enter__(self) -> "SparseJacobian[J]":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        m, n = self._plan.pattern.shape
        return "<SparseJacobian %d x %d, %d groups, %s>" % (m, n, self._plan.count, self._plan.method)

    # SciPy's solvers as clients: each makes the Jacobian the way that solver calls it, and
    # spares the evaluation of f(x) the solver has just made (vendrel.clients).

    @classmethod
    def for_ivp(cls, rhs: Any, sparsity: Any, **options: Any) -> Any:
        """``jac`` for ``solve_ivp``: see `vendrel.clients.for_ivp`."""
        from vendrel import clients

        return clients.for_ivp(rhs, sparsity, **options)

    @classmethod
    def for_least_squares(cls, fun: Any, sparsity: Any, bounds: Bounds = (-np.inf, np.inf),
                          **options: Any) -> Any:
        """``jac`` for ``least_squares``: see `vendrel.clients.for_least_squares`."""
        from vendrel import clients

        return clients.for_least_squares(fun, sparsity, bounds, **options)

    @classmethod
    def for_minpack(cls, fun: Any, sparsity: Any, **options: Any) -> Any:
        """``jac`` for ``root(method="hybr" or "lm")``: see `vendrel.clients.for_minpack`."""
        from vendrel import clients

        return clients.for_minpack(fun, sparsity, **options)


def detect_sparsity(
    fun: Any,
    x0: npt.ArrayLike,
    *,
    points: int = 1,
    rel_step: Optional[npt.ArrayLike] = None,
    abs_step: Optional[npt.ArrayLike] = None,
    args: Sequence[Any] = (),
    kwargs: Optional[Dict[str, Any]] = None,
    workers: WorkersLike = None,
    progress: bool = False,
    seed: Any = 0,
    method: str = "perturb",
) -> CsrArray:
    """The sparsity pattern of `fun`'s Jacobian near `x0`, found by differences or by tracing.

    By perturbation (the default), each component of x is raised by its step in turn, and
    every residual entry that changes (compared exactly; NaN before and after counts as
    unchanged) is an entry of the pattern: n + 1 evaluations per point. By tracing, `fun` is
    called once on a traced array (`vendrel.tracing.trace_sparsity`), which gives the pattern
    at every x at once. Nothing is printed.

    Parameters
    ----------
    method : {"perturb", "trace", "auto"}, optional
        ``"trace"`` raises `vendrel.tracing.TracingError` where `fun` does something that
        cannot be traced; ``"auto"`` then warns, naming the operation, and perturbs.
    fun, x0, args, kwargs, workers, progress
        As for `estimate_jacobian`.
    points : int, optional
        With more than one, the pattern is the union over x0 and ``points - 1`` random points
        within ``1e-3 * max(1, |x0|)`` of it (seeded by `seed`), so that an entry that vanishes
        at x0 by accident is still found.
    rel_step, abs_step : float or array_like, optional
        As for `estimate_jacobian`'s ``"2-point"``.

    Returns
    -------
    pattern : csr_array of bool, shape (m, n)

    Warns
    -----
    RuntimeWarning
        When the residual at a point has NaN or infinite entries.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.jacobian import detect_sparsity
    >>> detect_sparsity(lambda x: x[:-1] * x[1:], np.ones(4)).toarray()
    array([[ True,  True, False, False],
           [False,  True,  True, False],
           [False, False,  True,  True]])
    """
    if method not in DETECTION_METHODS:
        raise ValueError("method must be one of %s, not %r"
                         % (", ".join(map(repr, DETECTION_METHODS)), method))
    point, narrow = _steps.as_point(x0)
    try:
        count = int(points)
    except (TypeError, ValueError):
        raise TypeError("points must be an integer, not %r" % (points,)) from None
    if count < 1 or count != points:
        raise ValueError("points must be a positive integer, not %r" % (points,))
    if method != "perturb":
        from vendrel.tracing import TracingError, trace_sparsity

        try:
            traced: CsrArray = trace_sparsity(
                fun, point.astype(narrow if narrow is not None else np.float64), args=args,
                kwargs=kwargs)
            return traced
        except TracingError as error:
            if method == "trace":
                raise
            warnings.warn("the residual function could not be traced (%s); finding the pattern "
                          "by perturbation instead, %d evaluations"
                          % (error.operation, (len(point) + 1) * count), RuntimeWarning,
                          stacklevel=2)
    residual = Residual(residual_target(fun), args, kwargs)
    pool = Workers(workers)
    try:
        pattern, _ = detect(residual, point, narrow, rel_step, abs_step, (None, None), count, seed,
                            pool, progress)
    finally:
        pool.close()
    return pattern
