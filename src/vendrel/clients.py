"""Grouped-difference Jacobians for SciPy's own solvers: ``solve_ivp``, ``least_squares`` and
``root``'s MINPACK methods, each called the way that solver calls its ``jac``.

Each adapter is the ``jac`` to give the solver, and its attribute ``fun`` is the function to
give it: ``fun`` remembers the last residual it computed, so a Jacobian asked for at that
same point is spared the evaluation of f(x) (the solvers never pass it on)::

    ivp = SparseJacobian.for_ivp(rhs, pattern)
    solve_ivp(ivp.fun, (0.0, 10.0), y0, method="BDF", jac=ivp)

``calls`` counts the Jacobians made, ``reused`` those that were spared f(x), and
``evaluations`` all evaluations the Jacobians made. Radau, BDF, LSODA, least_squares and
MINPACK all ask for Jacobians where they have just evaluated f (BDF after up to four Newton
evaluations, all of which are remembered).

`vendrel.scipy` builds on these: SciPy's own functions, with the same signatures, that make
these adapters from SciPy's ``jac_sparsity`` so that a script changes only its import.
"""

import sys
from typing import Any, Callable, List, Optional, Tuple, cast

import numpy as np
import numpy.typing as npt

__all__ = ["IvpJacobian", "LeastSquaresJacobian", "MinpackJacobian", "for_ivp",
           "for_least_squares", "for_minpack"]

# The Jacobian's class arrives as `make` (SparseJacobian's own classmethods pass it), so that
# this module needs nothing from vendrel.jacobian.
Make = Callable[..., Any]


class _Remembered:
    """fun, remembering its last few points (with their further arguments) and residuals.

    A few, not one: solvers make further evaluations between computing f at a point and
    asking for the Jacobian there. BDF's Newton loop makes up to four (NEWTON_MAXITER) after
    the one at the point; Radau's up to 18 (six iterations of three stages) before it asks
    again at the start of its step; solve_ivp's first step size one more. The ODE adapters
    keep 20, the others (whose solvers ask straight after evaluating) 5.

    Points are kept flat: with ``vectorized=True`` solve_ivp evaluates f at a column of shape
    (n, 1) and asks for the Jacobian at the same values of shape (n,). Evaluations at several
    columns at once (a vectorised difference) are not kept.
    """

    def __init__(self, fun: Callable[..., Any], time_first: bool) -> None:
        self.target, self.time_first = fun, time_first
        self.KEPT = 20 if time_first else 5
        self.kept: List[Tuple[Tuple[Any, ...], npt.NDArray[Any], npt.NDArray[Any]]] = []

    def __call__(self, *arguments: Any, **kwargs: Any) -> Any:
        value = self.target(*arguments, **kwargs)
        where = 1 if self.time_first else 0
        point = np.asarray(arguments[where])
        if point.ndim == 2 and point.shape[1] != 1:
            return value
        key = (arguments[:where] + arguments[where + 1:], kwargs)
        # Copies: the solver may change its point in place, and f may return the same memory
        # every time. The residual keeps its own type (solve_ivp takes complex y).
        self.kept.insert(0, (key, point.ravel().copy(), np.array(value).ravel()))
        del self.kept[self.KEPT:]
        return value

    def lookup(self, point: Any, key: Tuple[Any, ...]) -> Optional[npt.NDArray[Any]]:
        """The residual remembered for exactly this point and these arguments, or None."""
        x = np.asarray(point).ravel()
        for kept_key, kept_point, value in self.kept:
            if x.shape == kept_point.shape and np.array_equal(x, kept_point) and \
                    _same(kept_key, key):
                return value
        return None


def _same(a: Any, b: Any) -> bool:
    """Equal arguments, compared without NumPy's element-wise ==."""
    try:
        if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
            return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and \
                a.shape == b.shape and bool(np.array_equal(a, b))
        if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
            return len(a) == len(b) and all(_same(p, q) for p, q in zip(a, b))
        if isinstance(a, dict) and isinstance(b, dict):
            return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
        return a is b or bool(a == b)
    except (TypeError, ValueError):
        return False


class _TimeLast:
    """rhs(t, y, *args) called as fun(y, t, *args), so that y is what the differences vary;
    a vectorised rhs gets y as one column, as solve_ivp gives it."""

    def __init__(self, rhs: Callable[..., Any], vectorized: bool) -> None:
        self.rhs, self.vectorized = rhs, vectorized

    def __call__(self, y: Any, t: Any, *args: Any) -> Any:
        if self.vectorized:
            return np.ravel(self.rhs(t, y[:, None], *args))
        return self.rhs(t, y, *args)


class _Client:
    def __init__(self, fun: Callable[..., Any], inner: Any, time_first: bool) -> None:
        self.fun = _Remembered(fun, time_first)
        self.jacobian = inner
        self.calls = self.reused = 0

    @property
    def evaluations(self) -> int:
        """The residual evaluations the Jacobians made."""
        return cast(int, self.jacobian.evaluations)

    def _make(self, point: Any, key: Tuple[Any, ...], *args: Any, **kwargs: Any) -> Any:
        self.calls += 1
        f0 = self.fun.lookup(point, key)
        if f0 is not None:
            self.reused += 1
        return self.jacobian(point, *args, f0=f0, **kwargs)

    def close(self) -> None:
        """Shuts down the process pool made for ``workers=<int>``, if any."""
        self.jacobian.close()


class IvpJacobian(_Client):
    """``jac(t, y, *args)`` for ``solve_ivp``: CSC for BDF and Radau, dense for LSODA; ``fun``
    is the right-hand side ``rhs(t, y, *args)``, remembering its last values."""

    def __call__(self, t: float, y: Any, *args: Any) -> Any:
        return self._make(np.ravel(y), ((t,) + args, {}), t, *args)


class LeastSquaresJacobian(_Client):
    """``jac(x, *args, **kwargs)`` for ``least_squares``, with differences that stay within
    the bounds; ``fun`` is the residual function, remembering its last values.

    `least_squares` does not tell its ``jac`` its bounds, so the first call reads them from
    the least_squares call that made it: bounds other than the adapter's are refused with a
    ValueError rather than differenced past. For ``method="lm"`` the Jacobian comes dense.
    """

    solver_checked = False
    dense = False

    def __call__(self, x: Any, *args: Any, **kwargs: Any) -> Any:
        if not self.solver_checked:
            self.solver_checked = True
            self._check_solver(self.jacobian._differences.bounds)
        J = self._make(x, (args, kwargs), *args, **kwargs)
        return J.toarray() if self.dense and not isinstance(J, np.ndarray) else J

    def _check_solver(self, bounds: Any) -> None:
        called = _least_squares_call()
        if called is None:
            return
        lb, ub, method = called
        n = len(lb)
        own = [np.broadcast_to(np.asarray(b, dtype=np.float64), (n,)) for b in bounds]
        if not (np.array_equal(own[0], lb) and np.array_equal(own[1], ub)):
            raise ValueError(
                "least_squares was given bounds other than this Jacobian's, and its "
                "differences would step past them: give for_least_squares the same bounds, "
                "or use vendrel.scipy.least_squares, which takes them from its call")
        self.dense = method == "lm"


def _least_squares_call() -> Optional[Tuple[Any, Any, str]]:
    """(lb, ub, method) of the least_squares call on the stack, as it checked them."""
    frame = sys._getframe(2)
    for _ in range(12):
        if frame is None:
            return None
        if frame.f_code.co_name == "least_squares" and \
                frame.f_globals.get("__name__", "").startswith("scipy.optimize._lsq"):
            names = frame.f_locals
            if "lb" in names and "ub" in names:
                return (np.asarray(names["lb"], dtype=np.float64),
                        np.asarray(names["ub"], dtype=np.float64), str(names.get("method")))
            return None
        frame = frame.f_back  # type: ignore[assignment]
    return None


class MinpackJacobian(_Client):
    """``jac(x, *args)`` for ``root(method="hybr")`` and ``root(method="lm")``, as a dense
    array (MINPACK's own form); ``fun`` is the residual function, remembering its last values."""

    def __call__(self, x: Any, *args: Any) -> Any:
        return self._make(x, (args, {}), *args)


#: What each solver factorises: the outputs its adapter may make, the first by default.
OUTPUTS = {"ivp": ("csc", "dense"), "least_squares": ("csr", "dense"),
           "minpack": ("dense",)}


def for_ivp(make: Make, rhs: Callable[..., Any], sparsity: Any, *, vectorized: bool = False,
            **options: Any) -> IvpJacobian:
    """`SparseJacobian.for_ivp`, with `make` the Jacobian's class."""
    output = _output("ivp", options)
    return IvpJacobian(rhs, make(_TimeLast(rhs, bool(vectorized)), sparsity, output=output,
                                 **options),
                       time_first=True)


def for_least_squares(make: Make, fun: Callable[..., Any], sparsity: Any,
                      bounds: Tuple[npt.ArrayLike, npt.ArrayLike] = (-np.inf, np.inf),
                      **options: Any) -> LeastSquaresJacobian:
    """`SparseJacobian.for_least_squares`, with `make` the Jacobian's class."""
    output = _output("least_squares", options)
    return LeastSquaresJacobian(fun, make(fun, sparsity, bounds=bounds, output=output,
                                          **options),
                                time_first=False)


def for_minpack(make: Make, fun: Callable[..., Any], sparsity: Any,
                **options: Any) -> MinpackJacobian:
    """`SparseJacobian.for_minpack`, with `make` the Jacobian's class."""
    output = _output("minpack", options)
    return MinpackJacobian(fun, make(fun, sparsity, output=output, **options),
                           time_first=False)


def _output(solver: str, options: Any) -> str:
    allowed = OUTPUTS[solver]
    output = options.pop("output", allowed[0])
    if output not in allowed:
        raise TypeError("output is set by the solver the Jacobian is for: %s, not %r"
                        % (" or ".join(map(repr, allowed)), output))
    return cast(str, output)


# Where a SparseJacobian is handed straight to a SciPy solver, the solver's own error says
# nothing of what to do instead: the caller's module tells which solver it is.
_MISPLACED = (
    ("scipy.integrate", True,
     "solve_ivp calls its jac as jac(t, y), and a SparseJacobian takes x: use "
     "vendrel.scipy.solve_ivp (the same call, with jac_sparsity=pattern), or "
     "SparseJacobian.for_ivp(rhs, pattern) as jac and its .fun as fun"),
    ("scipy.optimize._minpack", False,
     "MINPACK (root's hybr and lm, fsolve, leastsq) takes only a dense Jacobian: use "
     "vendrel.scipy.root or vendrel.scipy.fsolve (the same call), or "
     "SparseJacobian.for_minpack(fun, pattern) as jac and its .fun as fun"),
)


def check_caller(depth: int, dense: bool) -> None:
    """Raises a TypeError naming the drop-in or adapter to use where the caller `depth` frames
    up is a SciPy solver that cannot take a SparseJacobian as it is."""
    caller = sys._getframe(depth + 1).f_globals.get("__name__", "")
    for prefix, always, message in _MISPLACED:
        if caller.startswith(prefix) and (always or not dense):
            raise TypeError(message)
