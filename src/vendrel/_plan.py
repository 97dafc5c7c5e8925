"""The plan of a grouped Jacobian: its pattern, its column groups, and the indices that recover
every entry from the grouped differences in one gather.

Design: everything that depends only on the pattern and the groups is computed here once. A
Jacobian is then ``D[group of entry, row of entry] / step[column of entry]`` for a (G, m) array
D of differences, written straight into the data of a sparse array whose index arrays are
shared, read-only, between the Jacobians of one plan.
"""

from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel import grouping

IntArray = npt.NDArray[np.intp]
FloatArray = npt.NDArray[np.float64]

if TYPE_CHECKING:
    from scipy.sparse import csc_array, csr_array

    CsrArray = csr_array
    CscArray = csc_array
else:
    # Sparse arrays arrived in SciPy 1.8; older releases have only the matrix classes, which
    # the results are then, whatever the annotations say.
    CsrArray = getattr(scipy.sparse, "csr_array", scipy.sparse.csr_matrix)
    CscArray = getattr(scipy.sparse, "csc_array", scipy.sparse.csc_matrix)

#: What a Jacobian comes back as, by ``output``.
Jacobian = Union[CsrArray, CscArray, FloatArray]

OUTPUTS = ("csr", "csc", "dense")


def split_sparsity(sparsity: Any, groups: Any) -> Tuple[Any, Any]:
    """SciPy's ``sparsity=(structure, groups)`` taken apart; (rows, cols) pairs are left whole.

    The two differ in the first item: a matrix (sparse, or dense of two dimensions) against a
    one-dimensional index array.
    """
    if isinstance(sparsity, (tuple, list)) and len(sparsity) == 2:
        first = sparsity[0]
        if scipy.sparse.issparse(first) or np.ndim(first) == 2:
            if groups is not None:
                raise ValueError("groups given twice: in sparsity=(structure, groups) and as groups=")
            return first, sparsity[1]
    if isinstance(sparsity, list):
        # vendrel.grouping takes index pairs as tuples; a list of two index arrays means the same.
        if len(sparsity) == 2 and all(np.ndim(a) == 1 for a in sparsity):
            return tuple(sparsity), groups
    return sparsity, groups


def read_pattern(sparsity: Any, n: Optional[int]) -> Tuple[Any, bool]:
    """The canonical CSC pattern, and whether its shape is open: an index pair gives only the
    smallest shape that holds its entries; the Jacobian's may be larger (residual entries or
    unknowns on which nothing depends)."""
    is_pair = isinstance(sparsity, tuple)
    pattern = grouping.as_pattern(sparsity)
    if n is not None:
        if pattern.shape[1] > n and is_pair:
            raise ValueError("sparsity has entries in column %d; x0 has %d values"
                             % (pattern.shape[1] - 1, n))
        if pattern.shape[1] != n and not is_pair:
            raise ValueError("sparsity has %d columns; x0 has %d values" % (pattern.shape[1], n))
        pattern = pad(pattern, pattern.shape[0], n)
    return pattern, is_pair


def pad(pattern: Any, m: int, n: int) -> Any:
    """The pattern with empty rows and columns added up to shape (m, n)."""
    rows, cols = pattern.shape
    if (rows, cols) == (m, n):
        return pattern
    indptr = np.concatenate([pattern.indptr, np.full(n - cols, pattern.indptr[-1], pattern.indptr.dtype)])
    return CscArray((pattern.data, pattern.indices, indptr), shape=(m, n))


def column_groups(groups: Any, pattern: Any,
                  pair: Optional[Tuple[Any, Any]]) -> Tuple[IntArray, Any]:
    """Each column's group, numbered 0 .. G-1, checked against the pattern; and the pattern,
    widened when the groups name more columns than an index pair reaches.

    Takes a group number per column (the vendrel.grouping and SciPy convention), or the list of
    position arrays that ``SparseSolver.find_groups`` returns for the index pair ``pair``.
    """
    n = pattern.shape[1]
    if isinstance(groups, (list, tuple)) and all(np.ndim(g) == 1 for g in groups) and (
            len(groups) == 0 or any(isinstance(g, (np.ndarray, list, tuple)) for g in groups)):
        if pair is None:
            raise ValueError("groups as a list of position arrays needs sparsity as the pair "
                             "(rows, cols) that the positions point into")
        per_column = _from_positions(groups, pair, n)
    else:
        per_column = np.asarray(groups)
        if per_column.ndim != 1 or (per_column.size and per_column.dtype.kind not in "iu"):
            raise ValueError("groups must be a group number per column (one-dimensional integers) "
                             "or a list of position arrays; got %s of shape %r"
                             % (per_column.dtype, per_column.shape))
        if len(per_column) > n and pair is not None:
            n = len(per_column)
            pattern = pad(pattern, pattern.shape[0], n)
        if len(per_column) != n:
            raise ValueError("groups has %d entries; the pattern has %d columns" % (len(per_column), n))
        if per_column.size and per_column.min() < 0:
            j = int(np.argmin(per_column))
            raise ValueError("groups[%d] is %d, which leaves column %d out; group numbers must be "
                             ">= 0" % (j, per_column[j], j))
    # Renumbered densely, so that a group number nobody uses costs no evaluation.
    _, renumbered = np.unique(per_column, return_inverse=True)
    renumbered = renumbered.reshape(-1).astype(np.intp)
    check_orthogonal(pattern, renumbered)
    return renumbered, pattern


def _from_positions(groups: Sequence[Any], pair: Tuple[Any, Any], n: int) -> IntArray:
    cols = np.asarray(pair[1]).astype(np.intp)
    owner = np.full(len(cols), -1, dtype=np.intp)
    for k, group in enumerate(groups):
        positions = np.asarray(group)
        if positions.size and positions.dtype.kind not in "iu":
            raise ValueError("groups[%d] must hold integer positions, not %s" % (k, positions.dtype))
        positions = positions.astype(np.intp)
        outside = (positions < 0) | (positions >= len(cols))
        if outside.any():
            raise ValueError("groups[%d] holds position %d, outside the %d entries of the pattern"
                             % (k, positions[outside][0], len(cols)))
        taken = owner[positions] >= 0
        if taken.any() or len(np.unique(positions)) != len(positions):
            p = int(positions[taken][0]) if taken.any() else int(
                positions[np.flatnonzero(np.diff(np.sort(positions)) == 0)[0]])
            raise ValueError("position %d is in more than one group (groups[%d] among them)" % (p, k))
        owner[positions] = k
    missing = owner < 0
    if missing.any():
        p = int(np.argmax(missing))
        raise ValueError("no group holds position %d (row %d, column %d) of the pattern"
                         % (p, int(np.asarray(pair[0])[p]), cols[p]))
    # Every column must lie wholly in one group: the differences of a group are read column
    # by column, so a column split between groups would be read from only one of them.
    by_column = np.argsort(cols, kind="stable")
    c, g = cols[by_column], owner[by_column]
    split = np.flatnonzero((c[1:] == c[:-1]) & (g[1:] != g[:-1]))
    if split.size:
        i = split[0]
        raise ValueError("column %d is split between groups %d and %d (positions %d and %d); all "
                         "positions of a column must be in one group"
                         % (c[i], g[i], g[i + 1], by_column[i], by_column[i + 1]))
    # A column without entries may go anywhere: it changes no residual.
    per_column = np.zeros(n, dtype=np.intp)
    per_column[c] = g
    return per_column


def check_orthogonal(pattern: Any, groups: IntArray) -> None:
    """No two columns of one group may have an entry in the same row."""
    if pattern.nnz == 0:
        return
    cols = np.repeat(np.arange(pattern.shape[1], dtype=np.intp), np.diff(pattern.indptr))
    rows = pattern.indices.astype(np.intp)
    g = groups[cols]
    # (row, group) pairs, sorted: a repeat is two columns of one group meeting in a row.
    key = rows.astype(np.int64) * (int(groups.max()) + 1) + g
    order = np.argsort(key, kind="stable")
    ordered = key[order]
    clash = np.flatnonzero(ordered[1:] == ordered[:-1])
    if clash.size:
        first, second = order[clash[0]], order[clash[0] + 1]
        raise ValueError("groups are not structurally orthogonal: columns %d and %d are both in "
                         "group %d and both have an entry in row %d"
                         % (cols[first], cols[second], g[first], rows[first]))


def group_members(groups: IntArray, count: int) -> List[IntArray]:
    """The columns of each group, in increasing order."""
    order = np.argsort(groups, kind="stable")
    ends = np.cumsum(np.bincount(groups, minlength=count))
    return np.split(order, ends[:-1])


def _index_type(*extents: int) -> type:
    return np.int32 if max(extents) <= np.iinfo(np.int32).max else np.int64


def _read_only(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    array.setflags(write=False)
    return array


class Recovery:
    """Where each entry of the result comes from, for one output format and shape (m, n)."""

    def __init__(self, pattern: Any, groups: IntArray, output: str, m: int, n: int) -> None:
        self.output, self.shape = output, (m, n)
        pattern = pad(pattern, m, n)
        if output == "csr":
            by_rows = CsrArray(pattern)
            by_rows.sort_indices()
            indptr, indices = by_rows.indptr, by_rows.indices
            rows = np.repeat(np.arange(m, dtype=np.intp), np.diff(indptr))
            cols = indices.astype(np.intp)
        else:
            indptr, indices = pattern.indptr, pattern.indices
            rows = indices.astype(np.intp)
            cols = np.repeat(np.arange(n, dtype=np.intp), np.diff(indptr))
        kind = _index_type(m, n, len(rows))
        self.indices = _read_only(np.array(indices, dtype=kind))
        self.indptr = _read_only(np.array(indptr, dtype=kind))
        # Gather indices into the flattened (G, m) differences, and the column of each entry
        # for its step.
        self.source = groups[cols] * m + rows if len(rows) else rows
        self.cols = cols
        self.dense_target = rows * n + cols if output == "dense" else None

    def assemble(self, values: FloatArray) -> Any:
        m, n = self.shape
        if self.dense_target is not None:
            dense = np.zeros((m, n))
            np.put(dense, self.dense_target, values, mode="clip")
            return dense
        kind = CsrArray if self.output == "csr" else CscArray
        result = kind((values, self.indices, self.indptr), shape=(m, n), copy=False)
        # The indices come sorted and without repeats: say so, so that SciPy never re-checks.
        result.has_sorted_indices = True
        result.has_canonical_format = True
        return result
