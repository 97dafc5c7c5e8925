"""Sparse Jacobians by grouped finite differences, in the idiom of SciPy's ``approx_derivative``.

`estimate_jacobian` makes one Jacobian; `SparseJacobian` plans once and makes the many
Jacobians of a Newton-type iteration; `detect_sparsity` finds the pattern when it is not known.
The residual function is any callable ``fun(x, *args, **kwargs)`` or a `SparseSolver` instance
(its ``compute_residuals``), and its evaluations can run in worker processes or on a cluster.
"""

from __future__ import annotations

import warnings
from typing import (TYPE_CHECKING, Any, Callable, Dict, Generic, Literal, Optional, Sequence, Tuple,
                    TypeVar, Union, overload)

import numpy as np
import numpy.typing as npt

from vendrel import _steps, clients, grouping
from vendrel._detection import detect
from vendrel._differences import CscArray, CsrArray, Differences, FloatArray, Jacobian
from vendrel._evaluation import (Residual, Workers, check_arguments, check_flag, check_progress,
                                 residual_target)

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
# The positional order is approx_derivative's.
@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
    abs_step: Optional[npt.ArrayLike] = ..., f0: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., sparsity: Any = ..., as_linear_operator: Literal[False] = ...,
    args: Sequence[Any] = ..., kwargs: Optional[Dict[str, Any]] = ...,
    full_output: Literal[False] = ..., workers: WorkersLike = ..., *, groups: Any = ...,
    output: Literal["csr"] = ..., out: Any = ..., progress: bool = ...,
) -> CsrArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
    abs_step: Optional[npt.ArrayLike] = ..., f0: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., sparsity: Any = ..., as_linear_operator: Literal[False] = ...,
    args: Sequence[Any] = ..., kwargs: Optional[Dict[str, Any]] = ...,
    full_output: Literal[False] = ..., workers: WorkersLike = ..., *, groups: Any = ...,
    output: Literal["csc"], out: Any = ..., progress: bool = ...,
) -> CscArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
    abs_step: Optional[npt.ArrayLike] = ..., f0: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., sparsity: Any = ..., as_linear_operator: Literal[False] = ...,
    args: Sequence[Any] = ..., kwargs: Optional[Dict[str, Any]] = ...,
    full_output: Literal[False] = ..., workers: WorkersLike = ..., *, groups: Any = ...,
    output: Literal["dense"], out: Any = ..., progress: bool = ...,
) -> FloatArray: ...


@overload
def estimate_jacobian(
    fun: Any, x0: npt.ArrayLike, method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
    abs_step: Optional[npt.ArrayLike] = ..., f0: Optional[npt.ArrayLike] = ...,
    bounds: Bounds = ..., sparsity: Any = ..., as_linear_operator: bool = ...,
    args: Sequence[Any] = ..., kwargs: Optional[Dict[str, Any]] = ...,
    full_output: bool = ..., workers: WorkersLike = ..., *, groups: Any = ...,
    output: str = ..., out: Any = ..., progress: bool = ...,
) -> Any: ...


def estimate_jacobian(
    fun: Any,
    x0: npt.ArrayLike,
    method: str = "3-point",
    rel_step: Optional[npt.ArrayLike] = None,
    abs_step: Optional[npt.ArrayLike] = None,
    f0: Optional[npt.ArrayLike] = None,
    bounds: Bounds = (-np.inf, np.inf),
    sparsity: Any = None,
    as_linear_operator: bool = False,
    args: Sequence[Any] = (),
    kwargs: Optional[Dict[str, Any]] = None,
    full_output: bool = False,
    workers: WorkersLike = None,
    *,
    groups: Any = None,
    output: str = "csr",
    out: Any = None,
    progress: bool = False,
) -> Any:
    """The Jacobian of `fun` at `x0` by grouped finite differences.

    Columns that share no row are perturbed together, so that a Jacobian costs one residual
    evaluation per group of columns (two for ``"3-point"``) instead of one per unknown. The
    arguments, their order, their meanings and defaults are those of
    ``scipy.optimize.approx_derivative``, which this function can replace.

    Parameters
    ----------
    fun : callable or SparseSolver
        ``fun(x, *args, **kwargs)`` returning m values (m may differ from n), or a
        `SparseSolver` instance whose class defines ``compute_residuals``. The values may
        come as an array of any shape (its rows of the Jacobian in C order), a number, or a
        list or tuple of those (joined in order), read the same way by tracing,
        perturbation, estimation and `vendrel.solve.root`.
    x0 : array_like of shape (n,) or float
        The point: real and finite (a float is a point of one value). It is never changed.
    method : {"3-point", "2-point", "cs"}, optional
        Central differences (one-sided next to a bound; the default, as in SciPy), forward
        differences, or complex step.
    rel_step, abs_step : float or array_like, optional
        Steps as in SciPy: relative ``rel_step * sign(x0) * |x0|``, absolute `abs_step` (then
        `rel_step` is ignored), or by default ``eps**(1/2)`` (``eps**(1/3)`` for 3-point)
        times ``sign(x0) * max(1, |x0|)``. A step that vanishes against its component falls
        back to the default.
    f0 : array_like, optional
        ``fun(x0)``, if already known.
    bounds : tuple of array_like, optional
        Lower and upper bounds on x; evaluations stay within them.
    sparsity : sparse matrix or array, array_like, or tuple, optional
        The pattern, read by `vendrel.grouping.read_sparsity`'s one rule: a sparse matrix, a
        dense array or nested list (a matrix, always), a tuple ``(rows, cols)`` of index
        arrays, or SciPy's tuple ``(structure, groups)``. None finds it with
        `detect_sparsity` (n + 1 further evaluations): unlike SciPy, whose default is a
        dense difference, the result is sparse either way.
    as_linear_operator : bool, optional
        As in SciPy: a ``scipy.sparse.linalg.LinearOperator`` whose product with p costs one
        evaluation (two for 3-point) along p; `sparsity` and `groups` are then not used, and
        bounds are refused.
    args, kwargs : optional
        Further arguments of `fun`.
    full_output : bool, optional
        Also return ``{"nfev": evaluations made}``, as SciPy does.
    workers : int or map-like callable, optional
        Where the evaluations run: an int is a process pool of that size (-1: all cores); a
        callable ``workers(func, iterable)`` is used as a map, e.g. ``Pool.map`` or a Dask
        client's ``map`` and ``gather``. Results equal the serial ones bit for bit.
    groups : array_like or list of arrays, optional
        A group number per column, or the list that ``SparseSolver.find_groups`` returns
        (positions into the ``(rows, cols)`` given as `sparsity`). None groups the columns with
        ``vendrel.grouping.column_grouping(sparsity, "best")``.
    output : {"csr", "csc", "dense"}, optional
        A ``scipy.sparse`` array (matrix on SciPy releases without arrays) or a NumPy array.
    out : csr/csc array or ndarray, optional
        A Jacobian of the same pattern and `output` to write the values into.
    progress : bool, optional
        Show a progress bar (needs tqdm: ``pip install "vendrel[progress]"``).

    Returns
    -------
    J : csr_array, csc_array, ndarray or LinearOperator, shape (m, n)
        An ordinary array: writable, sharing nothing with any other.
    info : dict
        With `full_output`: ``{"nfev": evaluations made}``.

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
    # Every argument is checked here, once, whichever path it takes.
    residual = Residual(residual_target(fun), *check_arguments(args, kwargs))
    point, narrow = _steps.as_point(x0, scalar=True)
    n = len(point)
    method = _steps.check_method(method)
    rel, absolute = _steps.check_steps(rel_step, abs_step, n)
    base = None if f0 is None else _steps.as_residual(f0)
    limits = _steps.as_bounds(bounds, n)
    _steps.check_within(point, *limits, name="x0")
    linear = check_flag(as_linear_operator, "as_linear_operator")
    full = check_flag(full_output, "full_output")
    output = grouping.check_output(output)
    check_progress(progress)
    pool = Workers(workers)  # checked now; its processes start only when used
    if linear:
        if sparsity is not None:
            grouping.read_sparsity(sparsity)  # checked, though a product needs no pattern
        if limits[0] is not None:
            raise ValueError("bounds are not supported when as_linear_operator is True")
        from vendrel._linear import linear_operator

        operator_, nfev = linear_operator(residual, point, narrow, base, rel, method)
        return (operator_, {"nfev": nfev}) if full else operator_
    counter = [0]
    try:
        if sparsity is None:
            sparsity, found = detect(residual, point, narrow, rel, absolute, limits, 1, 0, pool,
                                     progress)
            counter[0] += n + 1
            if base is None:
                base = found
        # The pattern goes into the grouping once and comes back as the grouping.
        column_grouping = grouping.column_grouping(sparsity, groups=groups)
        _check_columns(column_grouping, n)
        plan = Differences(column_grouping, method, rel, absolute, bounds, output)
        result = plan(point, narrow, residual, pool, base, progress, counter, out)
    finally:
        pool.close()
    return (result, {"nfev": counter[0]}) if full else result


def _check_columns(found: grouping.ColumnGrouping, n: int) -> None:
    columns = found.shape[1]
    if found.pairs:
        if columns > n:
            raise ValueError("sparsity has entries in column %d; x0 has %d values"
                             % (columns - 1, n))
    elif columns != n:
        raise ValueError("sparsity has %d columns; x0 has %d values" % (columns, n))


class SparseJacobian(Generic[J]):
    """A Jacobian planned once, for the many Jacobians of a Newton-type iteration.

    An evaluator around a `vendrel.grouping.ColumnGrouping` (`grouping`), made once: the
    pattern in both orientations and its columns in groups. Each call then evaluates the
    residual once per group (twice for ``"3-point"``, plus ``fun(x)`` where needed) and
    recovers the entries in one compiled pass. Every Jacobian it returns is an ordinary array
    of its own (writable, sharing nothing), or, with ``out=``, the caller's matrix filled in.

    What a call does beyond the evaluations runs in compiled code with the interpreter lock
    released, shared with helper threads on large problems: each next perturbed point is
    written while ``fun`` evaluates the current one, and a new Jacobian reuses the memory of
    one nobody holds any more.

    ``fun`` may fill and return the same memory on every call (a buffer of its own, a C or
    Fortran array): each residual is copied as it arrives. ``fun`` may also keep the point it
    is given: a point is written again only once no Python object refers to it (the array, a
    view of it, a memoryview or anything holding one of those). A raw pointer that C code
    keeps without a reference is not seen: copy the point there.

    Calls may come from several threads at once, and from within ``fun`` itself: each works
    in memory of its own. An evaluator can be pickled or deep-copied (``fun`` must be
    picklable); the copy starts its own process pool and memory when first called, and so
    does one used in a child made by ``os.fork``.

    Parameters are those of `estimate_jacobian`, except that `sparsity` is required, the
    default method is ``"2-point"`` (one evaluation per group when ``f0`` is given, as in a
    Newton iteration), and `order` and `seed` choose the grouping as for
    `vendrel.grouping.group_columns`; `sparsity` may also be a
    `vendrel.grouping.ColumnGrouping` already made, which is used as it is. With ``workers``
    an int, the process pool is kept for the calls; `close` (or a ``with`` block) shuts it
    down.

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
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ..., order: Any = ...,
        seed: int = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[CscArray]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: Literal["csc"], workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ..., order: Any = ...,
        seed: int = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[FloatArray]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: Literal["dense"], workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ..., order: Any = ...,
        seed: int = ...,
    ) -> None: ...

    @overload
    def __init__(
        self: "SparseJacobian[Jacobian]", fun: Any, sparsity: Any, *, groups: Any = ...,
        method: str = ..., rel_step: Optional[npt.ArrayLike] = ...,
        abs_step: Optional[npt.ArrayLike] = ..., bounds: Bounds = ...,
        output: str, workers: WorkersLike = ..., args: Sequence[Any] = ...,
        kwargs: Optional[Dict[str, Any]] = ..., progress: bool = ..., order: Any = ...,
        seed: int = ...,
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
        order: Any = "best",
        seed: int = 0,
    ) -> None:
        # Every argument checked here, once; the sparsity goes into the grouping and does not
        # come back: what comes back is the grouping.
        if sparsity is None:
            raise ValueError("sparsity is required; detect_sparsity finds it")
        self._residual = Residual(residual_target(fun), *check_arguments(args, kwargs))
        method = _steps.check_method(method)
        output = grouping.check_output(output)
        check_progress(progress)
        rel, absolute = _steps.check_steps(rel_step, abs_step, None)
        # The pattern goes into the grouping once and comes back as the grouping.
        if isinstance(sparsity, grouping.ColumnGrouping):
            if groups is not None or not (isinstance(order, str) and order == "best") or seed != 0:
                raise ValueError("sparsity is a ColumnGrouping, whose groups are made: groups, "
                                 "order and seed do not apply")
            found = sparsity
        else:
            found = grouping.column_grouping(sparsity, order, seed=seed, groups=groups)
        if found.pairs:  # n is open until the first call: the forms only, for now
            _steps.as_bounds(bounds, None)
        else:
            _steps.as_bounds(bounds, found.shape[1])
            _steps.check_steps(rel_step, abs_step, found.shape[1])
        self._differences = Differences(found, method, rel, absolute, bounds, output)
        self._workers = Workers(workers)
        self._progress = progress
        self._counter = [0]

    def __call__(self, x: npt.ArrayLike, *args: Any, f0: Optional[npt.ArrayLike] = None,
                 out: Any = None, **kwargs: Any) -> J:
        """The Jacobian at `x`; `f0` is ``fun(x)`` if already known; `out`, a Jacobian this
        object returned (or one of its pattern), receives the values instead of a new array."""
        # Each call works in memory of its own (see Differences), so calls from several
        # threads, and a residual function that calls this object, need no lock.
        # Handed to a SciPy solver as it is: say which drop-in or adapter to use instead.
        clients.check_caller(1, self._differences.output == "dense")
        # out's indices are compared with the pattern while x and f0 are read.
        check = self._differences.start_check(out)
        point, narrow = _steps.as_point(x, "x", scalar=True)
        base = None if f0 is None else _steps.as_residual(f0)
        residual = self._residual
        if args or kwargs:
            residual = Residual(residual.target, args, kwargs)
        result: J = self._differences(point, narrow, residual, self._workers, base,
                                      self._progress, self._counter, out, check)
        return result

    @property
    def grouping(self) -> grouping.ColumnGrouping:
        """The pattern and its column groups (`vendrel.grouping.ColumnGrouping`)."""
        return self._differences.grouping

    @property
    def groups(self) -> npt.NDArray[np.intp]:
        """The group of each column, numbered from 0."""
        return self._differences.grouping.groups

    @property
    def lower_bound(self) -> int:
        """The most entries in a row: no grouping needs fewer groups."""
        return int(self._differences.grouping.lower_bound)

    @property
    def evaluations(self) -> int:
        """The residual evaluations made so far."""
        return self._counter[0]

    def cost(self, f0_given: bool = False) -> int:
        """The most residual evaluations the next call can make: one per group (two for
        ``"3-point"``), ``fun(x)`` where `f0` is not given and the method or a bound needs it,
        and one more on a first call whose residual type is not yet known (a first evaluation
        of a narrower float type is made again with that type's steps)."""
        return self._differences.most_evaluations(check_flag(f0_given, "f0_given"))

    def summary(self) -> str:
        """A few lines on the plan: size, entries, groups and the evaluations they save."""
        plan = self._differences
        m, n = plan.grouping.shape if plan.m is None or plan.n is None else (plan.m, plan.n)
        per_call = plan.evaluations(False)
        dense = (2 * n if plan.method == "3-point" else n) + int(plan.method == "2-point")
        entries = plan.grouping.nnz
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

        # An index pair's shape is known from the first call on; the grouping has it then.
        found = self._differences.grouping
        return plot_pattern(found.pattern, found.groups, path, title=title, max_pixels=max_pixels)

    def __enter__(self) -> "SparseJacobian[J]":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        m, n = self._differences.grouping.shape
        return "<SparseJacobian %d x %d, %d groups, %s>" % (m, n, self._differences.count, self._differences.method)

    # SciPy's solvers as clients: each makes the Jacobian the way that solver calls it, and
    # spares the evaluation of f(x) the solver has just made (vendrel.clients).

    @classmethod
    def for_ivp(cls, rhs: Any, sparsity: Any, *, vectorized: bool = False,
                **options: Any) -> "clients.IvpJacobian":
        """The Jacobian of ``rhs(t, y)`` with respect to y, for ``solve_ivp``'s ``jac``.

        `sparsity` is the pattern of d rhs / d y; `vectorized` is solve_ivp's (rhs takes y
        as columns); `options` are `SparseJacobian`'s, with ``output`` ``"csc"`` (the default,
        for BDF and Radau) or ``"dense"`` (for LSODA). `vendrel.scipy.solve_ivp` makes this
        from ``jac_sparsity`` by itself.

        Examples
        --------
        >>> import numpy as np
        >>> from scipy.integrate import solve_ivp
        >>> from vendrel.jacobian import SparseJacobian
        >>> def rhs(t, y):
        ...     return -np.r_[y[0], y[1:] - y[:-1]] * 50.0
        >>> pattern = np.eye(4, dtype=bool) | np.eye(4, k=-1, dtype=bool)
        >>> ivp = SparseJacobian.for_ivp(rhs, pattern)
        >>> solution = solve_ivp(ivp.fun, (0.0, 1.0), np.ones(4), method="BDF", jac=ivp)
        >>> solution.success, bool(abs(solution.y[:, -1]).max() < 1e-3)
        (True, True)
        """
        return clients.for_ivp(cls, rhs, sparsity, vectorized=vectorized, **options)

    @classmethod
    def for_least_squares(cls, fun: Any, sparsity: Any, bounds: Bounds = (-np.inf, np.inf),
                          **options: Any) -> "clients.LeastSquaresJacobian":
        """The Jacobian of ``fun(x)`` for ``least_squares``'s ``jac``, its differences within
        `bounds`: bounds given to ``least_squares`` but not here are refused, not stepped past
        (`vendrel.scipy.least_squares` takes them from its call).

        The Jacobian is a CSR array, for ``tr_solver="lsmr"`` (``least_squares`` picks it for a
        sparse Jacobian by itself), or ``output="dense"``; dense for ``method="lm"``.
        """
        return clients.for_least_squares(cls, fun, sparsity, bounds, **options)

    @classmethod
    def for_minpack(cls, fun: Any, sparsity: Any, **options: Any) -> "clients.MinpackJacobian":
        """The Jacobian of ``fun(x)`` as a dense array, for ``root(method="hybr")`` and
        ``root(method="lm")``: MINPACK takes nothing else, so this is for small systems (SciPy
        itself reaches for hybr where n is in the hundreds or few thousands)."""
        return clients.for_minpack(cls, fun, sparsity, **options)


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
    # Every argument is checked here, once, whichever method then runs.
    if not isinstance(method, str) or method not in DETECTION_METHODS:
        raise ValueError("method must be one of %s, not %r"
                         % (", ".join(map(repr, DETECTION_METHODS)), method))
    call_args, call_kwargs = check_arguments(args, kwargs)
    target = residual_target(fun)
    point, narrow = _steps.as_point(x0, scalar=True)
    try:
        count = int(points)
    except (TypeError, ValueError):
        raise TypeError("points must be an integer, not %r" % (points,)) from None
    if count < 1 or count != points or isinstance(points, bool):
        raise ValueError("points must be a positive integer, not %r" % (points,))
    rel, absolute = _steps.check_steps(rel_step, abs_step, len(point))
    check_progress(progress)
    try:
        np.random.default_rng(seed)
    except (TypeError, ValueError) as error:
        raise ValueError("seed must be something numpy.random.default_rng takes, not %r (%s)"
                         % (seed, error)) from None
    pool = Workers(workers)  # checked now; its processes start only when used
    if method != "perturb":
        from vendrel.tracing import TracingError, trace_sparsity

        try:
            traced: CsrArray = trace_sparsity(
                fun, point.astype(narrow if narrow is not None else np.float64), args=call_args,
                kwargs=call_kwargs)
            return traced
        except TracingError as error:
            if method == "trace":
                raise
            warnings.warn("the residual function could not be traced (%s); finding the pattern "
                          "by perturbation instead, %d evaluations"
                          % (error.operation, (len(point) + 1) * count), RuntimeWarning,
                          stacklevel=2)
    residual = Residual(target, call_args, call_kwargs)
    try:
        pattern, _ = detect(residual, point, narrow, rel, absolute, (None, None), count, seed,
                            pool, progress)
    finally:
        pool.close()
    return pattern
