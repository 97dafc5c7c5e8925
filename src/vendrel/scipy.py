"""SciPy's solvers with grouped Jacobians: change one import.

``from vendrel.scipy import solve_ivp, least_squares, root, fsolve, approx_derivative`` in place
of SciPy's, and nothing else changes: the same signatures, defaults and return types, and each
calls SciPy's own solver. What changes is how their Jacobians are made where SciPy would make
them by differences. The pattern SciPy is given (``jac_sparsity``, ``sparsity``, ``band``),
or where none is given the pattern traced from the function (`vendrel.tracing`), is grouped
by vendrel's engine, usually into fewer groups than SciPy finds, and f(x) is taken from the
solver's own last evaluations wherever it has just computed it, instead of being evaluated
again. Where neither a pattern is given nor one can be traced, or the grouping saves nothing,
or SciPy makes no Jacobian by differences, the call goes to SciPy unchanged.

Results are SciPy's bit for bit where SciPy's own difference steps are kept (`solve_ivp`'s BDF
and Radau, `least_squares`, `approx_derivative`); MINPACK (`root`'s hybr and lm, `fsolve`) and
LSODA make their differences inside Fortran, where no Jacobian can be handed in halfway, so
there the solver gets the Jacobian as a function and agrees with SciPy to its tolerance.
"""

# This module's name is SciPy's: every import of SciPy here is absolute.
from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence, Tuple

import numpy as np

if TYPE_CHECKING:
    import numpy.typing as npt
    import scipy.optimize

    from vendrel import clients, grouping

__all__ = ["approx_derivative", "fsolve", "least_squares", "root", "solve_ivp"]


def _scipy() -> Any:
    """SciPy, with the modules used here, imported when a function here first runs.

    Not at import: the compiled vendrel.sparse_solver imports "scipy.linalg" relative to its
    package first, as Python 2 did, which imports this module before it falls back on SciPy;
    that must stay cheap. SciPy's functions are reached untyped: the arguments are the
    caller's, passed on as they came, so that SciPy, not a second reading here, checks them.
    """
    import scipy.integrate
    import scipy.integrate._ivp.common
    import scipy.optimize
    import scipy.optimize._numdiff
    import scipy.sparse

    return scipy

def _newer(function: Callable[..., Any], **named: Any) -> Dict[str, Any]:
    """The keywords of `named` that the installed SciPy's `function` takes. A keyword that a
    newer SciPy added (``workers``, ``callback``, ``full_output``) is left out where it has
    its default, and refused as that SciPy would refuse it where it has not."""
    import inspect

    taken = inspect.signature(function).parameters
    kept = {}
    for name, value in named.items():
        if name in taken:
            kept[name] = value
        elif value is not None and value is not False:
            raise TypeError("%s() got an unexpected keyword argument %r (SciPy %s has no such "
                            "argument)" % (function.__name__, name, _scipy().__version__))
    return kept


def _default(function: Callable[..., Any], name: str) -> Any:
    import inspect

    return inspect.signature(function).parameters[name].default


def _older_defaults(function: Callable[..., Any], named: Dict[str, Any]) -> Dict[str, Any]:
    """`named`, with None where the installed SciPy's default is something else: defaults
    that newer releases made None (x_scale, tr_options, kwargs) are an older one's own."""
    import inspect

    taken = inspect.signature(function).parameters
    return {name: taken[name].default if value is None and name in taken else value
            for name, value in named.items()}


#: solve_ivp's methods that make a Jacobian; the others are passed on as they are.
IMPLICIT_METHODS = ("BDF", "Radau", "LSODA")
#: root's methods that take a Jacobian (MINPACK's); the others use none, and are passed on.
MINPACK_METHODS = ("hybr", "lm")
DIFFERENCE_METHODS = ("2-point", "3-point", "cs")


def approx_derivative(fun: Callable[..., Any], x0: npt.ArrayLike, method: str = "3-point",
                      rel_step: Optional[npt.ArrayLike] = None,
                      abs_step: Optional[npt.ArrayLike] = None,
                      f0: Optional[npt.ArrayLike] = None,
                      bounds: Tuple[npt.ArrayLike, npt.ArrayLike] = (-np.inf, np.inf),
                      sparsity: Any = None, as_linear_operator: bool = False,
                      args: Sequence[Any] = (), kwargs: Optional[Dict[str, Any]] = None,
                      full_output: bool = False, workers: Any = None) -> Any:
    """``scipy.optimize.approx_derivative``, its columns grouped by vendrel's engine.

    With `sparsity`, the Jacobian is `vendrel.jacobian.estimate_jacobian`'s: the same values
    as SciPy's bit for bit, as SciPy's type (a ``csr_matrix`` where the structure is a sparse
    matrix, else a ``csr_array``), in one evaluation per group (two for ``"3-point"``) with
    fewer groups than SciPy's ``group_columns`` finds on most patterns, and no evaluation of
    ``fun(x0)`` where the formula does not need it (SciPy always makes it). ``full_output``
    counts the evaluations made. Without `sparsity`, or with `as_linear_operator`, this is
    SciPy's function, called as it is.

    Examples
    --------
    >>> import numpy as np
    >>> import scipy.sparse
    >>> from vendrel.scipy import approx_derivative
    >>> band = scipy.sparse.diags([1.0, 1.0], [0, 1], shape=(4, 4))
    >>> J = approx_derivative(lambda x: x**2 - np.r_[x[1:], 0.0], np.arange(1.0, 5.0),
    ...                       sparsity=band)
    >>> type(J).__name__, J.diagonal().round(6)
    ('csr_matrix', array([2., 4., 6., 8.]))
    """
    if sparsity is None or as_linear_operator:
        scipys = _scipy().optimize._numdiff.approx_derivative
        return scipys(fun, x0, method, rel_step, abs_step, f0, bounds, sparsity,
                      as_linear_operator, args, _default(scipys, "kwargs") if kwargs is None
                      else kwargs, **_newer(scipys, full_output=full_output, workers=workers))
    from vendrel.jacobian import estimate_jacobian

    sp = _scipy()
    done = estimate_jacobian(fun, x0, method, rel_step, abs_step, f0, bounds, sparsity,
                             False, args, kwargs, full_output, workers)
    J, info = done if full_output else (done, None)
    structure = sparsity[0] if not sp.sparse.issparse(sparsity) and len(sparsity) == 2 \
        else sparsity
    kind = _class_scipy_gives("approx_derivative", structure)
    if type(J) is not kind:
        J = kind(J)
    return (J, info) if full_output else J


_ASKED: Dict[Tuple[str, type], type] = {}


def _class_scipy_gives(function: str, structure: Any) -> type:
    """The class of the Jacobian SciPy's `function` ("approx_derivative" or "least_squares")
    gives for a pattern of this type, asked of SciPy itself on a 1 x 1 problem: the rule
    changed between releases (a matrix for every pattern before sparse arrays were passed
    through; later a matrix for a matrix, and least_squares' own conversions on top)."""
    key = (function, type(structure))
    if key not in _ASKED:
        sp = _scipy()
        tiny = type(structure)(np.ones((1, 1))) if sp.sparse.issparse(structure) \
            else np.ones((1, 1))
        if function == "approx_derivative":
            found = sp.optimize._numdiff.approx_derivative(lambda x: x, np.zeros(1),
                                                           sparsity=tiny)
        else:
            found = sp.optimize.least_squares(lambda x: x - 1.0, np.zeros(1),
                                              jac_sparsity=tiny, max_nfev=1)["jac"]
        _ASKED[key] = type(found)
    return _ASKED[key]


def solve_ivp(fun: Callable[..., Any], t_span: Any, y0: npt.ArrayLike, method: Any = "RK45",
              t_eval: Optional[npt.ArrayLike] = None, dense_output: bool = False,
              events: Any = None, vectorized: bool = False, args: Optional[Tuple[Any, ...]] = None,
              **options: Any) -> scipy.optimize.OptimizeResult:
    """``scipy.integrate.solve_ivp``, whose BDF, Radau and LSODA make grouped Jacobians.

    For BDF and Radau, each Jacobian is SciPy's own (its ``num_jac``: the same steps, the same
    retries where a difference is too small, the same adaptation), computed on vendrel's
    groups and on the f(t, y) the solver has just evaluated (which SciPy's BDF evaluates again
    for every Jacobian): the result is SciPy's bit for bit, with an evaluation fewer per BDF
    Jacobian and fewer per group where vendrel finds fewer groups. Without ``jac_sparsity``
    the pattern is traced from `fun` (one call); the Jacobian is then dense, as SciPy's is,
    and costs an evaluation per group instead of one per unknown. With ``vectorized=True`` a
    Jacobian is one call either way, of fewer columns here.

    LSODA ignores ``jac_sparsity`` in SciPy (with a warning) and differences every column
    inside its Fortran; here it gets the grouped Jacobian as ``jac``, dense, so that it agrees
    with SciPy to its tolerances rather than bit for bit. With ``lband``/``uband``, with a
    ``jac`` of your own, for the explicit methods, or where no pattern is given and none can
    be traced, the call is SciPy's as it is. ``nfev`` and ``njev`` count as in SciPy: the
    solver's own evaluations, not the Jacobians'.

    Examples
    --------
    >>> import numpy as np
    >>> import scipy.sparse
    >>> from vendrel.scipy import solve_ivp
    >>> def rhs(t, y):
    ...     return -50.0 * np.r_[y[0], y[1:] - y[:-1]]
    >>> pattern = scipy.sparse.diags([1.0, 1.0], [0, -1], shape=(6, 6))
    >>> solution = solve_ivp(rhs, (0.0, 1.0), np.ones(6), method="BDF", jac_sparsity=pattern)
    >>> solution.success, bool(abs(solution.y[:, -1]).max() < 1e-3)
    (True, True)
    """
    def scipy_call(f: Callable[..., Any], **given: Any) -> scipy.optimize.OptimizeResult:
        # SciPy's OdeResult is an OptimizeResult
        result: scipy.optimize.OptimizeResult = _scipy().integrate.solve_ivp(
            f, t_span, y0, method=method, t_eval=t_eval, dense_output=dense_output,
            events=events, vectorized=vectorized, args=args, **given)
        return result

    if not (isinstance(method, str) and method in IMPLICIT_METHODS) or \
            options.get("jac") is not None or (args is not None and not isinstance(args, tuple)):
        return scipy_call(fun, **options)
    if method == "LSODA" and (options.get("lband") is not None or
                              options.get("uband") is not None):
        return scipy_call(fun, **options)
    from vendrel import clients

    extra = args if args is not None else ()
    given = options.get("jac_sparsity")
    try:
        y = np.asarray(y0)
        t0 = t_span[0]
    except (TypeError, IndexError):
        return scipy_call(fun, **options)
    if y.ndim != 1:
        return scipy_call(fun, **options)
    n = len(y)
    pattern = given if given is not None else _traced(
        clients._TimeLast(fun, bool(vectorized)), y, (t0,) + tuple(extra))
    found = _grouping(pattern, (n, n), given is not None)
    if found is None:
        return scipy_call(fun, **options)
    # SciPy's num_jac reads the structure as its solver would: a sparse one as CSC; the
    # grouping adds what SciPy reads from it, the groups.
    sp = _scipy()
    structure = sp.sparse.csc_matrix(pattern) if sp.sparse.issparse(pattern) else \
        (found.pattern if given is None else pattern)
    remembered = clients._Remembered(fun, time_first=True)
    jac = _NumJac(fun, remembered, (structure, found.groups), np.asarray(options.get("atol", 1e-6)),
                  bool(vectorized), dense=given is None or method == "LSODA")
    passed = {name: value for name, value in options.items() if name != "jac_sparsity"}
    return scipy_call(remembered, jac=jac, **passed)


class _NumJac:
    """SciPy's BDF and Radau Jacobian (their ``jac_wrapped``) on the solver's own f(t, y) where
    it has just been evaluated, and on vendrel's groups. The ``factor`` that num_jac adapts
    is carried from call to call, as the solvers carry it."""

    def __init__(self, fun: Callable[..., Any], remembered: Any, sparsity: Any,
                 threshold: Any, vectorized: bool, dense: bool) -> None:
        self.fun, self.remembered, self.sparsity = fun, remembered, sparsity
        self.threshold, self.vectorized, self.dense = threshold, vectorized, dense
        self.factor: Any = None
        self.calls = self.reused = 0

    def __call__(self, t: float, y: npt.NDArray[Any], *args: Any) -> Any:
        self.calls += 1
        f = self.remembered.lookup(y, ((t,) + args, {}))
        if f is None:
            f = self._single(t, y, args)
        else:
            self.reused += 1
        # As solve_ivp's own wrapper makes f: in y's type.
        f = np.asarray(f, dtype=y.dtype).ravel()
        J, self.factor = _scipy().integrate._ivp.common.num_jac(
            lambda s, Y: self._columns(s, Y, args), t, y, f, self.threshold, self.factor,
            self.sparsity)
        return J.toarray() if self.dense and hasattr(J, "toarray") else J

    def _single(self, t: float, y: npt.NDArray[Any], args: Tuple[Any, ...]) -> Any:
        if self.vectorized:
            return np.asarray(self.fun(t, y[:, None], *args)).ravel()
        return self.fun(t, y, *args)

    def _columns(self, t: float, Y: npt.NDArray[Any], args: Tuple[Any, ...]) -> Any:
        # solve_ivp's fun_vectorized: one call on all columns, or one call per column (here,
        # per group: num_jac moves a group's columns together).
        if self.vectorized:
            return np.asarray(self.fun(t, Y, *args), dtype=Y.dtype)
        f = np.empty_like(Y)
        for i, column in enumerate(Y.T):
            f[:, i] = np.asarray(self.fun(t, column, *args), dtype=Y.dtype)
        return f


def least_squares(fun: Callable[..., Any], x0: npt.ArrayLike, jac: Any = "2-point",
                  bounds: Any = (-np.inf, np.inf), method: str = "trf",
                  ftol: Optional[float] = 1e-08, xtol: Optional[float] = 1e-08,
                  gtol: Optional[float] = 1e-08,
                  x_scale: Any = None, loss: Any = "linear", f_scale: float = 1.0,
                  diff_step: Optional[npt.ArrayLike] = None, tr_solver: Optional[str] = None,
                  tr_options: Optional[Dict[str, Any]] = None, jac_sparsity: Any = None,
                  max_nfev: Optional[int] = None, verbose: int = 0, args: Sequence[Any] = (),
                  kwargs: Optional[Dict[str, Any]] = None, callback: Any = None,
                  workers: Any = None) -> scipy.optimize.OptimizeResult:
    """``scipy.optimize.least_squares``, its difference Jacobians grouped by vendrel's engine.

    With ``jac="2-point"``, ``"3-point"`` or ``"cs"`` and method ``"trf"`` or ``"dogbox"``,
    each Jacobian is made by `vendrel.jacobian.SparseJacobian` with SciPy's steps (``diff_step``)
    within the `bounds` of this call, on the f(x) the solver has just computed: the values are
    SciPy's bit for bit, and so is the result, in one evaluation per group where vendrel
    finds fewer groups than SciPy. Without ``jac_sparsity`` the pattern is traced from `fun`
    and the Jacobian is dense, as SciPy's is: an evaluation per group instead of one per
    unknown. ``method="lm"`` (MINPACK, which refuses ``jac_sparsity``), a ``jac`` of your own,
    or no pattern that can be traced: SciPy's call, as it is.

    Examples
    --------
    >>> import numpy as np
    >>> import scipy.optimize
    >>> from vendrel.scipy import least_squares
    >>> def fun(x):
    ...     return np.log1p(-x) + 3.0 * x + 0.2 * np.r_[x[1:], 0.0] - 1.0
    >>> pattern = np.eye(5, dtype=bool) | np.eye(5, k=1, dtype=bool)
    >>> ours = least_squares(fun, np.zeros(5), jac_sparsity=pattern, bounds=(-np.inf, 0.5))
    >>> theirs = scipy.optimize.least_squares(fun, np.zeros(5), jac_sparsity=pattern,
    ...                                       bounds=(-np.inf, 0.5))
    >>> ours.success, np.array_equal(ours.x, theirs.x), bool(ours.cost == theirs.cost)
    (True, True, True)
    """
    def scipy_call(f: Callable[..., Any], j: Any) -> scipy.optimize.OptimizeResult:
        scipys = _scipy().optimize.least_squares
        named = dict(jac=j, bounds=bounds, method=method, ftol=ftol, xtol=xtol, gtol=gtol,
                     x_scale=x_scale, loss=loss, f_scale=f_scale, diff_step=diff_step,
                     tr_solver=tr_solver, tr_options=tr_options,
                     jac_sparsity=jac_sparsity if j is jac else None, max_nfev=max_nfev,
                     verbose=verbose, args=args, kwargs=kwargs)
        result: scipy.optimize.OptimizeResult = scipys(
            f, x0, **_older_defaults(scipys, named),
            **_newer(scipys, callback=callback, workers=workers))
        return result

    if not (isinstance(jac, str) and jac in DIFFERENCE_METHODS) or \
            method not in ("trf", "dogbox") or np.iscomplexobj(x0) or \
            (jac_sparsity is not None and tr_solver == "exact"):
        return scipy_call(fun, jac)
    try:
        x = np.atleast_1d(x0).astype(float)
        limits = _least_squares_bounds(bounds, x)
    except (TypeError, ValueError):
        return scipy_call(fun, jac)  # SciPy says what is wrong
    if x.ndim != 1 or limits is None:
        return scipy_call(fun, jac)
    pattern = jac_sparsity if jac_sparsity is not None else _traced(fun, x, tuple(args),
                                                                     kwargs)
    found = _grouping(pattern, (None, len(x)), jac_sparsity is not None)
    if found is None:
        return scipy_call(fun, jac)
    from vendrel import clients
    from vendrel.jacobian import SparseJacobian

    adapter = clients.for_least_squares(
        SparseJacobian, fun, found, limits, method=jac, rel_step=diff_step,
        workers=workers, output="csr" if jac_sparsity is not None else "dense")
    result = scipy_call(adapter.fun, adapter)
    if jac_sparsity is not None:
        kind = _class_scipy_gives("least_squares", jac_sparsity)
        if type(result["jac"]) is not kind:
            result["jac"] = kind(result["jac"])
    return result




def _least_squares_bounds(bounds: Any, x: npt.NDArray[np.float64]) -> Optional[Tuple[Any, Any]]:
    """(lb, ub) as least_squares reads them, or None where it would refuse them."""
    if isinstance(bounds, _scipy().optimize.Bounds):
        lb, ub = np.asarray(bounds.lb, dtype=float), np.asarray(bounds.ub, dtype=float)
    elif len(bounds) == 2:
        lb, ub = (np.broadcast_to(np.asarray(b, dtype=float), x.shape) for b in bounds)
    else:
        return None
    if lb.shape != x.shape or ub.shape != x.shape or np.any(lb >= ub):
        return None
    return lb, ub


def root(fun: Callable[..., Any], x0: npt.ArrayLike, args: Any = (), method: Any = "hybr",
         jac: Any = None, tol: Optional[float] = None, callback: Any = None,
         options: Optional[Dict[str, Any]] = None) -> scipy.optimize.OptimizeResult:
    """``scipy.optimize.root``, whose hybr and lm get grouped Jacobians.

    MINPACK differences every column of a dense Jacobian (hybr: each diagonal of
    ``band=(ml, mu)`` if given, as few evaluations as grouping makes, so that call is SciPy's).
    Here, where no `jac` and no band is given, hybr and lm get a dense Jacobian made by
    `vendrel.jacobian.SparseJacobian` on the pattern traced from `fun`:
    one evaluation per group instead of one per unknown, on the f(x) MINPACK has just
    computed, with MINPACK's step (``eps``). MINPACK then runs its Jacobian-taking variant
    (hybrj, lmder) with everything else as SciPy calls it: the root agrees with SciPy's to the
    tolerance, and the result also counts ``njev`` (``nfev`` counts only MINPACK's own
    evaluations then). The other methods use no Jacobian and are SciPy's, as they are (krylov
    makes its products by differences along directions, where grouping has nothing to save);
    so is a call where the pattern cannot be traced or grouping saves nothing.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.scipy import root
    >>> def fun(x):  # Broyden's tridiagonal function: traced, three groups
    ...     padded = np.concatenate([[0.0], x, [0.0]])
    ...     return (3.0 - 2.0 * x) * x - padded[:-2] - 2.0 * padded[2:] + 1.0
    >>> found = root(fun, -np.ones(30), method="lm")
    >>> found.success, bool(abs(fun(found.x)).max() < 1e-10), found.njev
    (True, True, 5)
    """
    def scipy_call(f: Callable[..., Any], j: Any, given: Any) -> scipy.optimize.OptimizeResult:
        result: scipy.optimize.OptimizeResult = _scipy().optimize.root(
            f, x0, args=args, method=method, jac=j, tol=tol, callback=callback, options=given)
        return result

    if jac is not None or not isinstance(method, str) or method.lower() not in MINPACK_METHODS:
        return scipy_call(fun, jac, options)
    given = dict(options) if options else {}
    extra = args if isinstance(args, tuple) else (args,)
    adapter = _minpack(fun, x0, extra, given.get("band") if method.lower() == "hybr" else None,
                       given.get("eps"))
    if adapter is None:
        return scipy_call(fun, jac, options)
    given.pop("col_deriv", None)  # the Jacobian is ours, and comes by rows
    return scipy_call(adapter.fun, adapter, given)


def fsolve(func: Callable[..., Any], x0: npt.ArrayLike, args: Any = (), fprime: Any = None,
           full_output: int = 0, col_deriv: int = 0, xtol: float = 1.49012e-08, maxfev: int = 0,
           band: Optional[Sequence[int]] = None, epsfcn: Optional[float] = None,
           factor: float = 100, diag: Optional[npt.ArrayLike] = None) -> Any:
    """``scipy.optimize.fsolve``, with the grouped Jacobian `root` gives hybr.

    Where no `fprime` and no `band` is given, MINPACK's hybrj gets a dense Jacobian made on the
    traced pattern, one evaluation per group, on the f(x) it has just computed, with the step
    `epsfcn` sets. The root agrees with SciPy's to `xtol`; with `full_output` the dictionary
    also has ``njev``, and ``nfev`` counts only MINPACK's own evaluations. Otherwise, SciPy's.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.scipy import fsolve
    >>> x = fsolve(lambda x: x**3 + x - np.arange(1.0, 9.0), np.ones(8))
    >>> bool(abs(x**3 + x - np.arange(1.0, 9.0)).max() < 1e-6)
    True
    """
    def scipy_call(f: Callable[..., Any], j: Any, by_columns: int) -> Any:
        return _scipy().optimize.fsolve(f, x0, args=args, fprime=j, full_output=full_output,
                                     col_deriv=by_columns, xtol=xtol, maxfev=maxfev, band=band,
                                     epsfcn=epsfcn, factor=factor, diag=diag)

    if fprime is not None:
        return scipy_call(func, fprime, col_deriv)
    adapter = _minpack(func, x0, args if isinstance(args, tuple) else (args,), band, epsfcn)
    if adapter is None:
        return scipy_call(func, fprime, col_deriv)
    return scipy_call(adapter.fun, adapter, 0)


def _minpack(fun: Callable[..., Any], x0: npt.ArrayLike, args: Tuple[Any, ...], band: Any,
             eps: Any) -> Optional[clients.MinpackJacobian]:
    """The adapter MINPACK gets, on the band or the traced pattern; None where neither helps."""
    try:
        x = np.asarray(x0, dtype=float).flatten()
    except (TypeError, ValueError):
        return None
    n = len(x)
    if band is not None:
        return None  # MINPACK differences a band by diagonals already: as few as grouping
    found = _grouping(_traced(fun, x, args), (n, n), False)
    if found is None:
        return None
    # MINPACK's forward difference: a step of sqrt(max(eps, machine eps)) relative to x.
    step = float(np.sqrt(max(float(eps) if eps else 0.0, np.finfo(float).eps)))
    from vendrel import clients
    from vendrel.jacobian import SparseJacobian

    return clients.for_minpack(SparseJacobian, fun, found, rel_step=step)


def _traced(fun: Callable[..., Any], x: npt.NDArray[Any], args: Tuple[Any, ...] = (),
            kwargs: Optional[Dict[str, Any]] = None) -> Any:
    """The pattern traced from one call of `fun`, or None where it cannot be traced."""
    from vendrel.tracing import trace_sparsity

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return trace_sparsity(fun, x, args=args, kwargs=kwargs)
    except Exception:  # whatever the reason, SciPy's own way is the answer
        return None


def _grouping(pattern: Any, shape: Tuple[Optional[int], int],
              given: bool) -> Optional[grouping.ColumnGrouping]:
    """The columns of `pattern` grouped, or None where SciPy should do as it does: a pattern
    of another shape (SciPy then says so), or a traced one that saves nothing."""
    from vendrel import grouping

    if pattern is None:
        return None
    try:
        found = grouping.column_grouping(pattern)
    except (TypeError, ValueError):
        return None
    m, n = shape
    if found.shape[1] != n or (m is not None and found.shape[0] != m):
        return None
    if not given and found.count >= n:
        return None
    return found
