"""The point, the bounds and the difference steps, by the rules of SciPy's approx_derivative.

Everything here is a few whole-array passes over n values: the steps depend on the point, so a
reusable Jacobian recomputes them on every call and they must stay cheap.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

from vendrel._evaluation import flat_result

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

METHODS = ("2-point", "3-point", "cs")


def check_method(method: Any) -> str:
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError("method must be one of %s, not %r" % (", ".join(map(repr, METHODS)), method))
    return method


def as_point(x: Any, name: str = "x0", scalar: bool = False) -> Tuple[FloatArray, Optional[np.dtype]]:
    """A float64 copy of the point, and the dtype to hand to the residual function: the point's
    own when it is a narrower float, as SciPy does (None: float64). With `scalar`, a number
    is a point of one value, as in SciPy."""
    array = np.asarray(x)
    if scalar and array.ndim == 0:
        array = array.reshape(1)
    if array.ndim != 1:
        raise ValueError("%s must be one-dimensional, not of shape %r" % (name, array.shape))
    if array.dtype.kind not in "iuf":
        raise ValueError("%s must hold real numbers, not %s" % (name, array.dtype))
    if array.size == 0:
        raise ValueError("%s must hold at least one value" % name)
    point = np.array(array, dtype=np.float64)
    narrow = array.dtype if array.dtype.kind == "f" and array.dtype.itemsize < 8 else None
    # A finite sum means finite values, in one pass without a temporary; only a sum that is
    # not (a NaN or infinity, or an overflow) needs the element-wise look.
    with np.errstate(over="ignore", invalid="ignore"):
        total = np.add.reduce(point)
    if np.isfinite(total):
        return point, narrow
    finite = np.isfinite(point)
    if not finite.all():
        j = int(np.argmin(finite))
        raise ValueError("%s must be finite, but %s[%d] is %r" % (name, name, j, float(point[j])))
    return point, narrow


def relative_eps(x_dtype: Optional[np.dtype], f_dtype: Optional[np.dtype], method: str) -> float:
    """SciPy's default relative step: a root of the machine epsilon of the narrower of the
    point's and the residual's floating types."""
    eps = np.finfo(np.float64).eps
    x_size = 8
    if x_dtype is not None:
        eps, x_size = np.finfo(x_dtype).eps, x_dtype.itemsize
    if f_dtype is not None and f_dtype.kind == "f" and f_dtype.itemsize < x_size:
        eps = np.finfo(f_dtype).eps
    return float(eps ** (1.0 / 3.0 if method == "3-point" else 0.5))


def as_step(step: Any, n: Optional[int], name: str, finite: bool = True) -> Optional[FloatArray]:
    """A scalar or per-component step as a float64 array (0-d or of length n), checked; with
    `finite` False (a step that is not used), only its form."""
    if step is None:
        return None
    array = np.asarray(step)
    if array.dtype.kind not in "iuf" or array.ndim > 1:
        raise ValueError("%s must be a real number or a one-dimensional array of them, not %s"
                         % (name, describe(step, array)))
    array = array.astype(np.float64)
    if n is not None and array.ndim == 1 and len(array) != n:
        raise ValueError("%s has %d values; x0 has %d" % (name, len(array), n))
    if finite and not np.isfinite(array).all():
        raise ValueError("%s must be finite, not %s" % (name, describe(step, array)))
    return array


def describe(value: Any, array: npt.NDArray[Any]) -> str:
    """The value in an error: itself if it is one, else its shape and type."""
    return repr(value) if array.ndim == 0 else "an array of shape %r and type %s" % (
        array.shape, array.dtype)


def check_steps(rel_step: Any, abs_step: Any,
                n: Optional[int]) -> Tuple[Optional[FloatArray], Optional[FloatArray]]:
    """rel_step and abs_step, checked as SciPy takes them: rel_step is ignored when abs_step
    is given, so it may then be infinite (SciPy's own tests pass np.inf), but it must still
    be a step, one a caller could mean; the step that is used must be finite. Lengths are
    checked when n is known."""
    absolute = as_step(abs_step, n, "abs_step")
    relative = as_step(rel_step, n, "rel_step", finite=absolute is None)
    if absolute is not None:
        return None, absolute
    return relative, None


def as_residual(f0: Any) -> npt.NDArray[Any]:
    """A residual given by the caller (f0), read as the function's own results are
    (`vendrel._evaluation.flat_result`): any shape, in C order."""
    try:
        f = flat_result(f0)
    except (TypeError, ValueError) as error:
        raise ValueError("f0 must be the residuals, an array or numbers: %s" % error) from None
    if f.dtype.kind not in "iufc":
        raise ValueError("f0 must hold numbers, not %s" % f.dtype)
    return f


def absolute_steps(x: FloatArray, rel_step: Optional[FloatArray], abs_step: Optional[FloatArray],
                   rstep: float) -> FloatArray:
    """The signed step per component. A requested step that vanishes against its component,
    ``(x + h) - x == 0``, falls back to the default relative rule, so no step divides by zero."""
    # rstep * sign * max(1, |x|) with sign = +1 where x >= 0 (also -0.0), else -1: a sign flip
    # is exact, so negating in place gives SciPy's values bit for bit in fewer passes.
    negative = x < 0
    default = np.maximum(1.0, np.abs(x))
    default *= rstep
    np.negative(default, out=default, where=negative)
    if rel_step is None and abs_step is None:
        return default
    sign = 1.0 - 2.0 * negative
    if abs_step is None:
        assert rel_step is not None
        h = rel_step * sign * np.abs(x)
    else:
        h = np.broadcast_to(abs_step, x.shape)
    return np.where((x + h) - x == 0, default, h)


def as_bounds(bounds: Any, n: Optional[int]) -> Tuple[Optional[FloatArray], Optional[FloatArray]]:
    """(lb, ub) as arrays of length n, or (None, None) when nothing is bounded. With n None
    (not known yet), only the form, and lb <= ub, are checked."""
    try:
        lower, upper = bounds
    except (TypeError, ValueError):
        raise ValueError("bounds must be a pair (lb, ub)") from None
    given = [np.asarray(b) for b in (lower, upper)]
    for name, value, b in zip(("lower", "upper"), (lower, upper), given):
        if b.dtype.kind not in "iuf":
            raise ValueError("bounds: the %s bound must hold real numbers, not %s"
                             % (name, describe(value, b)))
        if b.ndim > 1 or (b.ndim == 1 and n is not None and len(b) != n):
            raise ValueError("the %s bound must be a scalar or have %s values, not shape %r"
                             % (name, "n" if n is None else n, b.shape))
        if np.isnan(b).any():
            raise ValueError("the %s bound holds NaN" % name)
    lb, ub = (b.astype(np.float64) for b in given)
    if lb.ndim == ub.ndim == 1 and len(lb) != len(ub):
        raise ValueError("bounds: the lower bound has %d values and the upper bound %d"
                         % (len(lb), len(ub)))
    low, high = (np.atleast_1d(b) for b in np.broadcast_arrays(lb, ub))
    crossed = np.flatnonzero(low > high)
    if len(crossed):
        j = int(crossed[0])
        where = "" if lb.ndim == ub.ndim == 0 else " in component %d" % j
        raise ValueError("bounds must have lower <= upper, but the lower bound %r is above the "
                         "upper bound %r%s" % (float(low[j]), float(high[j]), where))
    if (lb == -np.inf).all() and (ub == np.inf).all():
        return None, None
    if n is None:
        return lb, ub
    return np.broadcast_to(lb, (n,)), np.broadcast_to(ub, (n,))


def check_within(x: FloatArray, lb: Optional[FloatArray], ub: Optional[FloatArray], name: str) -> None:
    if lb is None or ub is None:
        return
    outside = (x < lb) | (x > ub)
    if outside.any():
        j = int(np.argmax(outside))
        raise ValueError("%s violates the bounds: %s[%d] = %r is outside [%r, %r]"
                         % (name, name, j, float(x[j]), float(lb[j]), float(ub[j])))


def fit_to_bounds(x: FloatArray, h: FloatArray, method: str, lb: Optional[FloatArray],
                  ub: Optional[FloatArray]) -> Tuple[FloatArray, BoolArray]:
    """The steps flipped, shortened or made one-sided so that every evaluation stays within the
    bounds; returns (h, one_sided). One-sided matters to 3-point only."""
    if method == "3-point":
        h = np.abs(h)
    one_sided = np.full(len(x), method == "2-point")
    if method == "cs" or lb is None or ub is None:
        return h, one_sided
    h = h.copy()
    lower_dist, upper_dist = x - lb, ub - x
    if method == "2-point":
        violated = ((x + h) < lb) | ((x + h) > ub)
        fitting = np.abs(h) <= np.maximum(lower_dist, upper_dist)
        h[violated & fitting] *= -1
        forward = (upper_dist >= lower_dist) & ~fitting
        h[forward] = upper_dist[forward]
        backward = (upper_dist < lower_dist) & ~fitting
        h[backward] = -lower_dist[backward]
        return h, one_sided
    central = (lower_dist >= h) & (upper_dist >= h)
    forward = (upper_dist >= lower_dist) & ~central
    h[forward] = np.minimum(h[forward], 0.5 * upper_dist[forward])
    one_sided[forward] = True
    backward = (upper_dist < lower_dist) & ~central
    h[backward] = -np.minimum(h[backward], 0.5 * lower_dist[backward])
    one_sided[backward] = True
    min_dist = np.minimum(upper_dist, lower_dist)
    adjusted_central = ~central & (np.abs(h) <= min_dist)
    h[adjusted_central] = min_dist[adjusted_central]
    one_sided[adjusted_central] = False
    return h, one_sided
