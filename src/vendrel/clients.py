"""Grouped-difference Jacobians for SciPy's own solvers: ``solve_ivp``, ``least_squares`` and
``root``'s MINPACK methods, each called the way that solver calls its ``jac``.

Each adapter is the ``jac`` to give the solver, and its attribute ``fun`` is the function to
give it: ``fun`` remembers the last residual it computed, so a Jacobian asked for at that
same point is spared the evaluation of f(x) (the solvers never pass it on)::

    ivp = SparseJacobian.for_ivp(rhs, pattern)
    solve_ivp(ivp.fun, (0.0, 10.0), y0, method="BDF", jac=ivp)

``calls`` counts the Jacobians made, ``reused`` those that were spared f(x), and
``evaluations`` all evaluations the Jacobians made. Whether a solver gains depends on where
it asks for Jacobians: Radau, least_squares and MINPACK ask where they have just evaluated f;
BDF mostly at predicted points it has not evaluated, where nothing is spared.
"""

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

    A few, not one: solvers often make a trial evaluation between computing f at a point and
    asking for the Jacobian there (solve_ivp's first step size, for one).
    """

    KEPT = 3

    def __init__(self, fun: Callable[..., Any], time_first: bool) -> None:
        self.target, self.time_first = fun, time_first
        self.kept: List[Tuple[Tuple[Any, ...], npt.NDArray[np.float64], Any]] = []

    def __call__(self, *arguments: Any, **kwargs: Any) -> Any:
        value = self.target(*arguments, **kwargs)
        where = 1 if self.time_first else 0
        key = (arguments[:where] + arguments[where + 1:], kwargs)
        self.kept.insert(0, (key, np.array(arguments[where], dtype=np.float64),
                             np.array(value, dtype=np.float64)))
        del self.kept[self.KEPT:]
        return value

    def lookup(self, point: Any, key: Tuple[Any, ...]) -> Optional[npt.NDArray[np.float64]]:
        """The residual remembered for exactly this point and these arguments, or None."""
        x = np.asarray(point)
        for kept_key, kept_point, value in self.kept:
            if x.shape == kept_point.shape and np.array_equal(x, kept_point) and \
                    _same(kept_key, key):
                return cast(npt.NDArray[np.float64], value)
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
    """rhs(t, y, *args) called as fun(y, t, *args), so that y is what the differences vary."""

    def __init__(self, rhs: Callable[..., Any]) -> None:
        self.rhs = rhs

    def __call__(self, y: Any, t: Any, *args: Any) -> Any:
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
    """``jac(t, y, *args)`` for ``solve_ivp`` (BDF, Radau, LSODA), in CSC form; ``fun`` is the
    right-hand side ``rhs(t, y, *args)``, remembering its last value."""

    def __call__(self, t: float, y: Any, *args: Any) -> Any:
        return self._make(y, ((t,) + args, {}), t, *args)


class LeastSquaresJacobian(_Client):
    """``jac(x, *args, **kwargs)`` for ``least_squares``, with differences that stay within
    the bounds; ``fun`` is the residual function, remembering its last value."""

    def __call__(self, x: Any, *args: Any, **kwargs: Any) -> Any:
        return self._make(x, (args, kwargs), *args, **kwargs)


class MinpackJacobian(_Client):
    """``jac(x, *args)`` for ``root(method="hybr")`` and ``root(method="lm")``, as a dense
    array (MINPACK's own form); ``fun`` is the residual function, remembering its last value."""

    def __call__(self, x: Any, *args: Any) -> Any:
        return self._make(x, (args, {}), *args)


def for_ivp(make: Make, rhs: Callable[..., Any], sparsity: Any, **options: Any) -> IvpJacobian:
    """`SparseJacobian.for_ivp`, with `make` the Jacobian's class."""
    _no_output(options)
    return IvpJacobian(rhs, make(_TimeLast(rhs), sparsity, output="csc", **options),
                       time_first=True)


def for_least_squares(make: Make, fun: Callable[..., Any], sparsity: Any,
                      bounds: Tuple[npt.ArrayLike, npt.ArrayLike] = (-np.inf, np.inf),
                      **options: Any) -> LeastSquaresJacobian:
    """`SparseJacobian.for_least_squares`, with `make` the Jacobian's class."""
    _no_output(options)
    return LeastSquaresJacobian(fun, make(fun, sparsity, bounds=bounds, **options),
                                time_first=False)


def for_minpack(make: Make, fun: Callable[..., Any], sparsity: Any,
                **options: Any) -> MinpackJacobian:
    """`SparseJacobian.for_minpack`, with `make` the Jacobian's class."""
    _no_output(options)
    return MinpackJacobian(fun, make(fun, sparsity, output="dense", **options),
                           time_first=False)


def _no_output(options: Any) -> None:
    if "output" in options:
        raise TypeError("output is set by the solver the Jacobian is for; leave it out")
