"""Sparse Hessians by differences of the gradient, one gradient evaluation per colour.

A Hessian is symmetric, so two of its columns may be perturbed together even where they meet
in a row, provided each entry can still be read in one of its two rows: a star colouring
(`vendrel.grouping.symmetric_grouping`) reads every entry directly, an acyclic one, with fewer
colours, by substitution. `SparseHessian` plans once and makes the many Hessians of an
optimisation; `estimate_hessian` makes one. Both take the gradient ``grad(x, *args,
**kwargs)`` and follow SciPy's ``approx_derivative`` in their names and step rules.

A `SparseHessian` is what ``scipy.optimize.minimize`` takes as ``hess=`` for ``trust-constr``
and ``Newton-CG`` (and, made with ``output="dense"``, ``trust-exact``), and its `hessp` as
``hessp=`` for ``Newton-CG``, ``trust-ncg`` and ``trust-krylov``, which multiply their
Hessian as a dense array.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vendrel import _steps, grouping
from vendrel._evaluation import Residual, Workers, check_arguments

__all__ = ["SparseHessian", "estimate_hessian"]

FloatArray = npt.NDArray[np.float64]
Bounds = Tuple[npt.ArrayLike, npt.ArrayLike]


class SparseHessian:
    """A Hessian planned once from the gradient's sparsity, for the many Hessians of an
    optimisation.

    Each call evaluates the gradient once per colour of a symmetric colouring of the pattern
    (twice for ``"3-point"``, plus ``grad(x)`` for ``"2-point"`` unless `g0` is given) and
    reads the entries back by the colouring's method. The result is symmetric: H_ij and H_ji
    hold the same value, read once.

    Parameters
    ----------
    grad : callable
        ``grad(x, *args, **kwargs)``, the gradient of the objective: n values.
    sparsity : sparse matrix or array, array_like, tuple (rows, cols), or SymmetricGrouping
        The Hessian's pattern, read as by `vendrel.grouping.group_columns` (square,
        symmetric), or a `vendrel.grouping.SymmetricGrouping` already made.
    method : {"2-point", "3-point", "cs"}, optional
        Forward, central or complex-step differences of the gradient, as in SciPy.
    coloring : {"star", "acyclic"}, optional
        ``"star"`` (the default) reads each entry from one gradient difference, as
        accurately as a dense difference of the same gradient; ``"acyclic"`` needs fewer
        colours (about half on bands) and reads by substitution, so the errors of the entries
        of a two-coloured tree add up along it.
    order : str, optional
        As for `vendrel.grouping.symmetric_grouping`.
    symmetrise : bool, optional
        Take the union of `sparsity` with its transpose instead of refusing it.
    rel_step, abs_step, bounds, args, kwargs, workers
        As for `vendrel.jacobian.estimate_jacobian`, with the gradient in place of ``fun``.
    output : {"csr", "csc", "dense"}, optional
        The type of each Hessian.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.hessian import SparseHessian
    >>> def grad(x):  # of sum(x**4) / 4 + sum(x[:-1] * x[1:])
    ...     g = x**3
    ...     g[:-1] += x[1:]
    ...     g[1:] += x[:-1]
    ...     return g
    >>> tridiagonal = np.abs(np.subtract.outer(np.arange(6), np.arange(6))) <= 1
    >>> hess = SparseHessian(grad, tridiagonal, method="3-point")
    >>> hess(np.arange(6.0)).toarray()[:3, :3].round(6)
    array([[ 0.,  1.,  0.],
           [ 1.,  3.,  1.],
           [ 0.,  1., 12.]])
    >>> hess.grouping.count, hess.cost()
    (3, 6)
    """

    def __init__(
        self,
        grad: Any,
        sparsity: Any,
        *,
        method: str = "2-point",
        coloring: str = "star",
        order: str = "best",
        symmetrise: bool = False,
        rel_step: Optional[npt.ArrayLike] = None,
        abs_step: Optional[npt.ArrayLike] = None,
        bounds: Bounds = (-np.inf, np.inf),
        args: Sequence[Any] = (),
        kwargs: Optional[Dict[str, Any]] = None,
        workers: Any = None,
        output: str = "csr",
    ) -> None:
        if not callable(grad):
            raise TypeError("grad must be callable, not %s" % type(grad).__name__)
        if sparsity is None:
            raise ValueError("sparsity is required; estimate_hessian finds it when not given")
        self._grad = Residual(grad, *check_arguments(args, kwargs))
        self.method = _steps.check_method(method)
        self.output = grouping.check_output(output)
        if isinstance(sparsity, grouping.SymmetricGrouping):
            if coloring != sparsity.kind and coloring != "star":
                raise ValueError("sparsity is a SymmetricGrouping of kind %r; coloring=%r does "
                                 "not apply" % (sparsity.kind, coloring))
            found = sparsity
        else:
            found = grouping.symmetric_grouping(sparsity, coloring, order, symmetrise=symmetrise)
        self.grouping = found
        n = found.shape[0]
        self._rel, self._abs = _steps.check_steps(rel_step, abs_step, n)
        self._lb, self._ub = _steps.as_bounds(bounds, n)
        self._colors = found.colors
        self._workers = Workers(workers)
        self._counter = 0
        self._kept: Optional[Tuple[FloatArray, Any]] = None  # (x, H) for hessp

    @property
    def colors(self) -> npt.NDArray[np.intp]:
        """The colour of each column, numbered from 0."""
        return self.grouping.colors

    @property
    def evaluations(self) -> int:
        """The gradient evaluations made so far."""
        return self._counter

    def cost(self, g0_given: bool = False) -> int:
        """The gradient evaluations of one call: one per colour (two for ``"3-point"``), and
        ``grad(x)`` for ``"2-point"`` (and a ``"3-point"`` step made one-sided by a bound)
        unless `g0` is given."""
        count = self.grouping.count
        if self.method == "3-point":
            return 2 * count + (0 if g0_given or self._lb is None else 1)
        return count + int(self.method == "2-point" and not g0_given)

    def __call__(self, x: npt.ArrayLike, *args: Any, g0: Optional[npt.ArrayLike] = None,
                 out: Any = None, **kwargs: Any) -> Any:
        """The Hessian at `x`; `g0` is ``grad(x)`` if already known; `out`, a Hessian this
        object returned, receives the values instead of a new array. Arguments after `x`
        (as ``minimize`` passes them) replace `args` and `kwargs`."""
        point, narrow = _steps.as_point(x, "x", scalar=True)
        n = self.grouping.shape[0]
        if len(point) != n:
            raise ValueError("x has %d components; the Hessian's pattern is %d x %d"
                             % (len(point), n, n))
        _steps.check_within(point, self._lb, self._ub, "x")
        grad = self._grad
        if args or kwargs:
            grad = Residual(grad.target, args, kwargs)
        if narrow is not None:
            grad = Residual(grad.target, grad.args, grad.kwargs, narrow)
        base = None if g0 is None else self._gradient(g0, "g0")
        values = self._entries(point, narrow, grad, base)
        return self.grouping.matrix(values, self.output, out)

    def hessp(self, x: npt.ArrayLike, p: npt.ArrayLike, *args: Any, **kwargs: Any) -> FloatArray:
        """The product of the Hessian at `x` with `p`, for ``minimize(..., hessp=...)``. The
        Hessian is kept for the last `x`, so that the many products of a conjugate-gradient
        solve cost one Hessian."""
        point = np.asarray(x, dtype=np.float64)
        kept = self._kept
        if kept is None or kept[0].shape != point.shape or not np.array_equal(kept[0], point):
            matrix = self(point, *args, **kwargs)
            kept = (point.copy(), matrix)
            self._kept = kept
        return np.asarray(kept[1] @ np.asarray(p, dtype=np.float64), dtype=np.float64)

    def close(self) -> None:
        """Shuts down the process pool made for ``workers=<int>``, if any."""
        self._workers.close()

    def __enter__(self) -> "SparseHessian":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        n = self.grouping.shape[0]
        return "<SparseHessian %d x %d, %d %s colours, %s>" % (
            n, n, self.grouping.count, self.grouping.kind, self.method)

    # The evaluations: one perturbed point per colour, all steps of a colour at once.

    def _gradient(self, value: Any, where: str) -> npt.NDArray[Any]:
        g = np.asarray(value)
        if g.ndim == 0:
            g = g.reshape(1)
        n = self.grouping.shape[0]
        if g.ndim != 1 or len(g) != n:
            raise ValueError("grad returned an array of shape %r at %s; it must return one "
                             "value per component of x (%d)" % (g.shape, where, n))
        if g.dtype.kind not in "iufc":
            raise TypeError("grad returned %s values at %s; it must return numbers"
                            % (g.dtype, where))
        return g

    def _evaluate(self, grad: Residual, points: Sequence[Any], names: Sequence[str]) -> List[npt.NDArray[Any]]:
        results: List[npt.NDArray[Any]] = []
        for value, name in zip(self._workers.map(grad, points), names):
            # Copied as it arrives: a gradient may fill and return the same memory each time.
            results.append(np.array(self._gradient(value, name)))
            self._counter += 1
        return results

    def _entries(self, x: FloatArray, narrow: Any, grad: Residual,
                 base: Optional[npt.NDArray[Any]]) -> FloatArray:
        method, count, colors = self.method, self.grouping.count, self._colors
        if method == "2-point" and base is None:
            base = self._evaluate(grad, [x.copy()], ["x"])[0]
        f_dtype = base.dtype if base is not None else None
        rstep = _steps.relative_eps(narrow, f_dtype, method)
        h = _steps.absolute_steps(x, self._rel, self._abs, rstep)
        h, one_sided = _steps.fit_to_bounds(x, h, method, self._lb, self._ub)
        if method == "3-point" and self._lb is not None and one_sided.any():
            h = self._one_sided_colours(x, h, one_sided)
        steps = [np.where(colors == c, h, 0.0) for c in range(count)]
        compressed = np.empty((len(x), count))
        scale = self._taken(x, h, one_sided, narrow) if method != "cs" else h
        if method == "cs":
            values = self._evaluate(grad, [x + 1j * d for d in steps],
                                    ["x + i h (colour %d)" % c for c in range(count)])
            for c, g in enumerate(values):
                if g.dtype.kind != "c":
                    raise TypeError("grad returned %s values at x + i h; method='cs' needs a "
                                    "gradient that carries the imaginary part through"
                                    % g.dtype)
                compressed[:, c] = g.imag
        elif method == "2-point":
            assert base is not None
            values = self._evaluate(grad, [x + d for d in steps],
                                    ["x + h (colour %d)" % c for c in range(count)])
            for c, g in enumerate(values):
                compressed[:, c] = g - base
        else:
            self._three_point(x, grad, steps, one_sided, base, compressed)
        return self.grouping.recover(compressed, scale)

    def _taken(self, x: FloatArray, h: FloatArray, one_sided: Any, narrow: Any) -> FloatArray:
        """The steps as taken in floating point, which SciPy divides by: (x + h) - x, or half
        the distance between the two points of a central or one-sided 3-point difference; in
        the point's own type where it is a narrower float, as the gradient receives it."""
        def held(point: FloatArray) -> FloatArray:
            return point if narrow is None else point.astype(narrow).astype(np.float64)

        if self.method == "2-point":
            return held(x + h) - x
        forward = np.zeros(self.grouping.count, bool)
        forward[self._colors[one_sided]] = True
        ahead = forward[self._colors]
        return np.where(ahead, (held(x + 2 * h) - x) / 2, (held(x + h) - held(x - h)) / 2)

    def _one_sided_colours(self, x: FloatArray, h: FloatArray, one_sided: Any) -> FloatArray:
        """A colour with a one-sided member is differenced one-sided as a whole, so each of its
        central members must also reach x + 2h within the bounds."""
        assert self._lb is not None and self._ub is not None
        colour_one_sided = np.zeros(self.grouping.count, bool)
        colour_one_sided[self._colors[one_sided]] = True
        moved = colour_one_sided[self._colors] & ~one_sided
        upper, lower = self._ub - x, x - self._lb
        forward = np.where(upper >= lower, np.minimum(np.abs(h), 0.5 * upper),
                           -np.minimum(np.abs(h), 0.5 * lower))
        return np.where(moved, forward, h)

    def _three_point(self, x: FloatArray, grad: Residual, steps: Sequence[FloatArray],
                     one_sided: Any, base: Optional[npt.NDArray[Any]],
                     compressed: FloatArray) -> None:
        count = self.grouping.count
        forward = np.zeros(count, bool)
        forward[self._colors[one_sided]] = True
        points, names = [], []
        for c, d in enumerate(steps):
            second = x + 2 * d if forward[c] else x - d
            points += [x + d, second]
            names += ["x + h (colour %d)" % c,
                      ("x + 2h" if forward[c] else "x - h") + " (colour %d)" % c]
        if forward.any() and base is None:
            points.append(x.copy())
            names.append("x")
        values = self._evaluate(grad, points, names)
        if forward.any() and base is None:
            base = values.pop()
        for c in range(count):
            ahead, other = values[2 * c], values[2 * c + 1]
            if forward[c]:
                assert base is not None
                compressed[:, c] = (-3.0 * base + 4.0 * ahead - other) / 2.0
            else:
                compressed[:, c] = (ahead - other) / 2.0


def estimate_hessian(
    grad: Any,
    x0: npt.ArrayLike,
    method: str = "2-point",
    rel_step: Optional[npt.ArrayLike] = None,
    abs_step: Optional[npt.ArrayLike] = None,
    g0: Optional[npt.ArrayLike] = None,
    bounds: Bounds = (-np.inf, np.inf),
    sparsity: Any = None,
    args: Sequence[Any] = (),
    kwargs: Optional[Dict[str, Any]] = None,
    workers: Any = None,
    *,
    coloring: str = "star",
    order: str = "best",
    symmetrise: bool = False,
    output: str = "csr",
    out: Any = None,
) -> Union[Any, FloatArray]:
    """The Hessian at `x0` from differences of the gradient, one evaluation per colour.

    Parameters are those of `SparseHessian`, and `g0`, ``grad(x0)`` if already known. Without
    `sparsity`, the pattern is that of the gradient's Jacobian
    (`vendrel.jacobian.detect_sparsity` with ``method="auto"``: traced where it can be,
    else by perturbation), made symmetric.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.hessian import estimate_hessian
    >>> def grad(x):  # of sum(x**3) / 3 + x[0] * x[-1]
    ...     return x**2 + np.r_[x[-1], np.zeros(len(x) - 2), x[0]]
    >>> pattern = np.eye(5, dtype=bool)
    >>> pattern[0, -1] = pattern[-1, 0] = True
    >>> estimate_hessian(grad, np.ones(5), "cs", sparsity=pattern).toarray()[[0, 0, 4], [0, 4, 4]]
    array([2., 1., 2.])
    """
    point, _ = _steps.as_point(x0, "x0", scalar=True)
    if sparsity is None:
        from vendrel.jacobian import detect_sparsity

        sparsity = detect_sparsity(grad, point, args=args, kwargs=kwargs, method="auto")
        symmetrise = True
    hess = SparseHessian(grad, sparsity, method=method, coloring=coloring, order=order,
                         symmetrise=symmetrise, rel_step=rel_step, abs_step=abs_step,
                         bounds=bounds, args=args, kwargs=kwargs, workers=workers, output=output)
    with hess:
        return hess(x0, g0=g0, out=out)  # as given: a narrower float keeps its own steps
