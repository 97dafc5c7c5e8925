"""The sparsity pattern found by raising one component of x at a time.

The n evaluations of a point are unavoidable; everything around them is whole-array work: each
evaluation is compared with the base residual in one vectorised pass (in the worker, so only
the changed rows travel back), and the pattern is built from the collected rows at the end.
"""

import warnings
from typing import Any, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

from vendrel import _steps
from vendrel._runtime import CscArray, CsrArray
from vendrel._evaluation import Progress, Residual, Workers, check_result

# Further points lie within this fraction of max(1, |x0|) of x0: near enough to stay in the
# region the residual function is meant for, far enough to leave an accidental zero behind.
SPREAD = 1e-3


class ColumnProbe:
    """Raises x[j] by its step, evaluates, and returns the rows whose value changed."""

    __slots__ = ("residual", "x", "raised", "base", "base_nan", "where")

    def __init__(self, residual: Residual, x: npt.NDArray[np.float64],
                 raised: npt.NDArray[np.float64], base: npt.NDArray[Any], where: str) -> None:
        self.residual, self.x, self.raised, self.base, self.where = residual, x, raised, base, where
        nan = np.isnan(base) if base.dtype.kind == "f" else None
        self.base_nan = nan if nan is not None and nan.any() else None

    def __call__(self, j: int) -> npt.NDArray[np.int32]:
        x = self.x.copy()
        x[j] = self.raised[j]
        f = check_result(self.residual(x), lambda: "the evaluation raising x[%d]%s" % (j, self.where),
                         len(self.base), "the base evaluation returned %d" % len(self.base))
        changed = f != self.base
        if self.base_nan is not None:
            # NaN before and after is no change.
            changed &= ~(np.isnan(f) & self.base_nan)
        return np.flatnonzero(changed).astype(np.int32)

    def __reduce__(self) -> Tuple[Any, ...]:
        return _probe, (self.residual, self.x, self.raised, self.base, self.where)


def _probe(*state: Any) -> ColumnProbe:
    return ColumnProbe(*state)


def detect(residual: Residual, x0: npt.NDArray[np.float64], narrow: Any, rel_step: Any,
           abs_step: Any, limits: Tuple[Any, Any], points: int, seed: Any, workers: Workers,
           progress: bool) -> Tuple[CsrArray, npt.NDArray[Any]]:
    """The pattern as a boolean CSR array (m, n), and the residual at x0. The steps come
    checked (arrays or None)."""
    n = len(x0)
    rel, absolute = rel_step, abs_step
    residual = Residual(residual.target, residual.args, residual.kwargs, narrow)
    rng = np.random.default_rng(seed)
    lb, ub = limits
    found: List[Any] = []
    base_at_x0: Optional[npt.NDArray[Any]] = None
    with Progress(progress, points * (n + 1), "sparsity") as bar:
        for p in range(points):
            where = "" if p == 0 else " at random point %d" % p
            x = x0
            if p:
                x = x0 + rng.uniform(-1.0, 1.0, n) * SPREAD * np.maximum(1.0, np.abs(x0))
                if lb is not None:
                    x = np.clip(x, lb, ub)
            # Copied: a residual function may fill and return the same array every time.
            m = None if base_at_x0 is None else len(base_at_x0)
            base = np.array(check_result(workers.evaluate(residual, x.copy()),
                                         lambda: "the base evaluation" + (where or " at x0"), m,
                                         "the base evaluation at x0 returned %s" % m))
            bar.update()
            if base_at_x0 is None:
                base_at_x0 = base
            _warn_nonfinite(base, where or " at x0")
            h = _steps.absolute_steps(x, rel, absolute, _steps.relative_eps(narrow, base.dtype, "2-point"))
            h, _ = _steps.fit_to_bounds(x, h, "2-point", lb, ub)
            probe = ColumnProbe(residual, x, x + h, base, where)
            counts = np.empty(n, dtype=np.intp)
            rows: List[npt.NDArray[np.int32]] = []
            for j, changed in enumerate(workers.map(probe, range(n))):
                counts[j] = len(changed)
                rows.append(changed)
                bar.update()
            indptr = np.zeros(n + 1, dtype=np.int64)
            np.cumsum(counts, out=indptr[1:])
            indices = np.concatenate(rows) if rows else np.zeros(0, np.int32)
            found.append(CscArray((np.ones(len(indices), dtype=bool), indices, indptr),
                                        shape=(len(base), n)))
    assert base_at_x0 is not None
    pattern = found[0]
    for more in found[1:]:
        pattern = pattern + more
    result = CsrArray(pattern, dtype=bool)
    result.sort_indices()
    return result, base_at_x0


def _warn_nonfinite(base: npt.NDArray[Any], where: str) -> None:
    if base.dtype.kind != "f":
        return
    bad = int(np.count_nonzero(~np.isfinite(base)))
    if bad:
        warnings.warn("the residual%s has %d of %d entries NaN or infinite; an entry that is NaN "
                      "before and after a step counts as unchanged" % (where, bad, len(base)),
                      RuntimeWarning, stacklevel=4)
