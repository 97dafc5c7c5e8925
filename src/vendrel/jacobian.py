"""Sparse Jacobians by grouped forward differences, from a SparseSolver's pattern and groups."""

from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel.sparse_solver import SparseSolver

__all__ = ["estimate_jacobian"]

Pattern = Tuple[npt.ArrayLike, npt.ArrayLike]

# csc_array arrived in SciPy 1.8; older releases have only the matrix class.
_csc = getattr(scipy.sparse, "csc_array", scipy.sparse.csc_matrix)


def estimate_jacobian(
    solver: SparseSolver,
    x0: npt.ArrayLike,
    pattern: Optional[Pattern] = None,
    groups: Optional[Sequence[npt.ArrayLike]] = None,
    step: float = 1e-6,
) -> "scipy.sparse.csc_array":
    """The Jacobian of ``solver.compute_residuals`` at ``x0``, by forward differences.

    One residual evaluation is made at ``x0`` and one per group of structurally
    orthogonal columns, with every column of the group raised by ``step`` at once:
    ``len(groups) + 1`` evaluations instead of ``len(x0) + 1``.

    ``pattern`` is ``(rows, cols)`` as ``solver.compute_pattern(x0)`` returns it and
    ``groups`` the list ``solver.find_groups(rows, cols)`` returns (arrays of positions
    into ``rows`` and ``cols``); each is computed when not given (and then those methods
    print their trace). ``x0`` is left unchanged. Returns a ``scipy.sparse.csc_array``
    (``csc_matrix`` on SciPy releases without sparse arrays) of shape
    ``(len(residual), len(x0))``.
    """
    x0 = np.asarray(x0)
    if x0.ndim != 1 or x0.dtype.kind not in "fiu":
        raise ValueError("x0 must be a one-dimensional array of real numbers")
    x = np.array(x0, dtype=np.float64)
    n = len(x)
    if not (np.isfinite(step) and step > 0):
        raise ValueError("step must be a positive finite number, not %r" % (step,))

    if pattern is None:
        pattern = solver.compute_pattern(x.copy())
    rows, cols = _index_arrays(pattern)
    if groups is None:
        as_int = (np.array(a, dtype=np.intc) for a in (rows, cols))
        groups = solver.find_groups(*as_int) if len(cols) else []
    members = _check_groups(groups, rows, cols)

    base = _evaluate(solver, x, n)
    m = len(base)
    if len(rows) and (rows.max() >= m or cols.max() >= n):
        raise ValueError("pattern has entries outside the %d x %d Jacobian" % (m, n))

    # The step actually taken for each column, as the sum rounds it.
    taken = (x + step) - x
    if len(cols) and (taken[cols] == 0).any():
        j = int(cols[taken[cols] == 0][0])
        raise ValueError("step %r vanishes against x0[%d] = %r" % (step, j, float(x[j])))
    values = np.empty(len(rows))
    for positions in members:
        columns = np.unique(cols[positions])
        raised = x.copy()
        raised[columns] += taken[columns]
        change = _evaluate(solver, raised, n)[rows[positions]] - base[rows[positions]]
        values[positions] = change / taken[cols[positions]]
    return _csc((values, (rows, cols)), shape=(m, n))


def _index_arrays(pattern: Pattern) -> Tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    try:
        rows_like, cols_like = pattern
    except (TypeError, ValueError):
        raise ValueError("pattern must be a pair (rows, cols)") from None
    rows, cols = np.asarray(rows_like), np.asarray(cols_like)
    if rows.ndim != 1 or cols.ndim != 1 or len(rows) != len(cols):
        raise ValueError("pattern's rows and cols must be one-dimensional and of equal length")
    for name, array in (("rows", rows), ("cols", cols)):
        if len(array) and (array.dtype.kind not in "iu" or array.min() < 0):
            raise ValueError("pattern's %s must hold non-negative integers" % name)
    return rows.astype(np.intp), cols.astype(np.intp)


def _check_groups(groups: Sequence[npt.ArrayLike], rows: npt.NDArray[np.intp],
                  cols: npt.NDArray[np.intp]) -> List[npt.NDArray[np.intp]]:
    """Each group as an array of positions; every position in exactly one group, and no two
    columns of a group sharing a row."""
    members = []
    seen = np.zeros(len(rows), dtype=bool)
    for k, group in enumerate(groups):
        positions = np.asarray(group)
        if positions.ndim != 1 or (len(positions) and positions.dtype.kind not in "iu"):
            raise ValueError("group %d must be a one-dimensional array of positions" % k)
        positions = positions.astype(np.intp)
        if len(positions) and (positions.min() < 0 or positions.max() >= len(rows)):
            raise ValueError("group %d has positions outside the pattern" % k)
        if seen[positions].any() or len(np.unique(positions)) != len(positions):
            raise ValueError("group %d repeats a position of another group" % k)
        seen[positions] = True
        owner: Dict[int, int] = {}
        for row, col in zip(rows[positions].tolist(), cols[positions].tolist()):
            if owner.setdefault(row, col) != col:
                raise ValueError(
                    "group %d is not structurally orthogonal: columns %d and %d share row %d"
                    % (k, owner[row], col, row))
        members.append(positions)
    if not seen.all():
        raise ValueError("groups leave out position %d of the pattern" % int(np.argmin(seen)))
    return members


def _evaluate(solver: SparseSolver, x: npt.NDArray[np.float64], n: int) -> npt.NDArray[np.float64]:
    result = solver.compute_residuals(x)
    residual = np.array(result, dtype=np.float64)
    if residual.ndim != 1 or len(residual) < n:
        raise ValueError("compute_residuals must return at least %d values in one dimension" % n)
    return residual
