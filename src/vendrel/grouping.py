"""Groups of structurally orthogonal columns: one residual evaluation per group.

Two columns of a Jacobian may be perturbed together in a finite-difference step when
no row has a nonzero in both. `group_columns` gathers the columns into as few such
groups as it can find (the number of residual evaluations a Jacobian costs), and
`lower_bound` says how few are possible at best: the largest number of entries in a row.

The work is done in a compiled core that prints nothing and releases the interpreter
lock while it runs.

Examples
--------
>>> import numpy as np
>>> from vendrel.grouping import group_columns, lower_bound
>>> band = np.abs(np.subtract.outer(np.arange(8), np.arange(8))) <= 1
>>> group_columns(band)
array([0, 1, 2, 0, 1, 2, 0, 1])
>>> lower_bound(band)
3
"""

import operator
from typing import TYPE_CHECKING, Any, Optional, Tuple, Union, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel import _grouping

__all__ = ["ORDERS", "as_pattern", "group_columns", "lower_bound"]

#: The names `group_columns` takes for its `order` argument.
ORDERS: Tuple[str, ...] = ("best", *_grouping.ORDERINGS, "random")

Shape = Tuple[int, int]
Sparsity = Union[Any, Tuple[npt.ArrayLike, npt.ArrayLike]]

if TYPE_CHECKING:
    _csc = scipy.sparse.csc_array
else:
    # csc_array arrived in SciPy 1.8; older releases have only the matrix class.
    _csc = getattr(scipy.sparse, "csc_array", scipy.sparse.csc_matrix)
_INDEX_TYPES = (np.dtype(np.int32), np.dtype(np.int64))


def group_columns(sparsity: Sparsity, order: Union[str, npt.ArrayLike] = "best", *,
                  seed: int = 0, shape: Optional[Shape] = None) -> npt.NDArray[np.intp]:
    """Each column's group, such that no two columns of a group share a row.

    Parameters
    ----------
    sparsity : sparse matrix or array, array_like, or tuple (rows, cols)
        The Jacobian's pattern: any `scipy.sparse` matrix or array (every stored entry
        counts, explicit zeros too), a dense 2-D array (its nonzero entries), or a tuple
        of two index arrays such as `SparseSolver.compute_pattern` returns, entries in
        any order, duplicates allowed.
    order : str or array_like, optional
        The order in which columns are placed in the first group that takes them:
        ``"natural"``, ``"largest_first"``, ``"smallest_last"``,
        ``"incidence_degree"``, ``"dynamic_largest_first"``, ``"dsatur"``,
        ``"random"`` (seeded by `seed`), a permutation of the columns, or ``"best"``
        (the default): the orderings in turn, stopping at the first that reaches
        `lower_bound`, and otherwise a local search from the fewest groups found, for
        a number of passes that is fixed, so that its time grows with the pattern's
        size and its result does not depend on the machine.
    seed : int, optional
        Seeds ``"random"`` and the local search of ``"best"``.
    shape : tuple (m, n), optional
        The Jacobian's shape, for a tuple of index arrays whose largest indices fall
        short of it. Must agree with the shape of a matrix given as `sparsity`.

    Returns
    -------
    groups : ndarray of intp, shape (n,)
        The group of each column, numbered from 0 in order of first use, the
        convention of SciPy's ``group_columns``: ``groups.max() + 1`` groups, each
        costing one evaluation. Columns without entries are in group 0.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.grouping import group_columns
    >>> rows, cols = np.array([0, 0, 1, 2]), np.array([0, 1, 1, 2])
    >>> group_columns((rows, cols))
    array([0, 1, 0])
    """
    n_rows, n_cols, layout, a, b = _layout(sparsity, shape)
    name, permutation = _order(order, n_cols, seed)
    groups = np.empty(n_cols, dtype=np.int64)
    _grouping.group(n_rows, n_cols, layout, a, b, name, permutation, _seed(seed), groups)
    return groups.astype(np.intp, copy=False)


def lower_bound(sparsity: Sparsity, *, shape: Optional[Shape] = None) -> int:
    """The largest number of entries in a row: no grouping needs fewer groups.

    `sparsity` and `shape` are taken as by `group_columns`; duplicate entries count once.
    """
    return int(_grouping.lower_bound(*_layout(sparsity, shape)))


def as_pattern(sparsity: Sparsity, *, shape: Optional[Shape] = None) -> "scipy.sparse.csc_array":
    """The pattern as a boolean `scipy.sparse.csc_array` with sorted, distinct indices.

    `sparsity` and `shape` are taken as by `group_columns`. On SciPy releases without
    sparse arrays the result is a ``csc_matrix``.
    """
    n_rows, n_cols, layout, a, b = _layout(sparsity, shape)
    pointers, indices = _grouping.canonical(n_rows, n_cols, layout, a, b)
    indptr = np.frombuffer(pointers, dtype=np.int64)
    rows = np.frombuffer(indices, dtype=np.int32)
    if indptr[-1] <= np.iinfo(np.int32).max:
        indptr = indptr.astype(np.int32)
    data = np.ones(len(rows), dtype=bool)
    return _csc((data, rows, indptr), shape=(n_rows, n_cols))


def _layout(sparsity: Sparsity, shape: Optional[Shape]) -> Tuple[int, int, int, Any, Any]:
    """(n_rows, n_cols, layout, a, b) for the compiled core."""
    given = _shape(shape)
    if scipy.sparse.issparse(sparsity):
        sparsity = cast(Any, sparsity)  # any of SciPy's formats: read by its attributes
        if given is not None and given != sparsity.shape:
            raise ValueError("shape %r does not match sparsity's shape %r"
                             % (given, sparsity.shape))
        n_rows, n_cols = sparsity.shape
        if sparsity.format in ("csc", "csr"):
            # SciPy's own canonical-format check trusts the pointers; a malformed matrix
            # would have it read past the indices.
            _check_pointers(sparsity.indptr, n_cols if sparsity.format == "csc" else n_rows,
                            len(sparsity.indices))
        if sparsity.format == "csc":
            layout = _grouping.CANONICAL_COLUMNS if sparsity.has_canonical_format \
                else _grouping.COLUMNS
            return n_rows, n_cols, layout, _indices(sparsity.indptr), _indices(sparsity.indices)
        if sparsity.format == "csr":
            layout = _grouping.CANONICAL_ROWS if sparsity.has_canonical_format \
                else _grouping.ROWS
            return n_rows, n_cols, layout, _indices(sparsity.indptr), _indices(sparsity.indices)
        coo = sparsity if sparsity.format == "coo" else sparsity.tocoo()
        return (n_rows, n_cols, _grouping.COORDINATES, _indices(coo.row),
                _indices(coo.col))
    if isinstance(sparsity, tuple) and len(sparsity) == 2:
        return _pair(sparsity[0], sparsity[1], given)
    dense = np.asarray(sparsity)
    if dense.ndim != 2:
        raise ValueError("sparsity must be two-dimensional (a matrix, or a tuple (rows, cols)), "
                         "not an array of shape %r" % (dense.shape,))
    if given is not None and given != dense.shape:
        raise ValueError("shape %r does not match sparsity's shape %r" % (given, dense.shape))
    rows, cols = np.nonzero(dense)
    return dense.shape[0], dense.shape[1], _grouping.COORDINATES, _indices(rows), _indices(cols)


def _check_pointers(indptr: Any, n_major: int, n_indices: int) -> None:
    pointers = np.asarray(indptr)
    if (pointers.ndim != 1 or len(pointers) != n_major + 1 or pointers[0] != 0
            or pointers[-1] > n_indices or (np.diff(pointers) < 0).any()):
        raise ValueError("sparsity's index pointers do not fit its shape and indices")


def _pair(rows_like: npt.ArrayLike, cols_like: npt.ArrayLike,
          given: Optional[Shape]) -> Tuple[int, int, int, Any, Any]:
    rows, cols = np.asarray(rows_like), np.asarray(cols_like)
    for name, array in (("rows", rows), ("cols", cols)):
        if array.ndim != 1:
            raise ValueError("sparsity's %s must be one-dimensional, not of shape %r"
                             % (name, array.shape))
        if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
            raise TypeError("sparsity's %s must hold integers, not %s" % (name, array.dtype))
        if array.size and array.dtype.kind == "i" and array.min() < 0:
            raise ValueError("sparsity's %s must be non-negative; found %d"
                             % (name, array.min()))
    if len(rows) != len(cols):
        raise ValueError("sparsity's rows and cols must have the same length, not %d and %d"
                         % (len(rows), len(cols)))
    extent = tuple(int(a.max()) + 1 if a.size else 0 for a in (rows, cols))
    if given is None:
        n_rows, n_cols = extent
    else:
        n_rows, n_cols = given
        for name, largest, limit in (("rows", extent[0], n_rows), ("cols", extent[1], n_cols)):
            if largest > limit:
                raise ValueError("sparsity's %s holds index %d, outside shape %r"
                                 % (name, largest - 1, given))
    return n_rows, n_cols, _grouping.COORDINATES, _indices(rows), _indices(cols)


def _shape(shape: Optional[Shape]) -> Optional[Shape]:
    if shape is None:
        return None
    try:
        m, n = (operator.index(s) for s in shape)
    except (TypeError, ValueError):
        raise TypeError("shape must be a pair of integers, not %r" % (shape,)) from None
    if m < 0 or n < 0:
        raise ValueError("shape must not be negative, not %r" % (shape,))
    return m, n


def _indices(array: npt.ArrayLike) -> npt.NDArray[np.integer]:
    """A contiguous int32 or int64 array, converting other integer types."""
    array = np.asarray(array)
    if array.dtype in _INDEX_TYPES and array.dtype.isnative:
        return np.ascontiguousarray(array)
    if array.size and array.dtype.kind == "u" and array.max() > np.iinfo(np.int64).max:
        raise ValueError("index %d is too large" % array.max())
    return np.ascontiguousarray(array, dtype=np.int64)


def _order(order: Union[str, npt.ArrayLike], n_cols: int,
           seed: int) -> Tuple[str, Optional[npt.NDArray[np.int64]]]:
    """The core's name for `order`, and the permutation it needs for "given"."""
    if isinstance(order, str):
        if order == "random":
            return "given", np.random.default_rng(_seed(seed)).permutation(n_cols)
        if order not in ORDERS:
            raise ValueError("order must be one of %s, or a permutation of the columns; "
                             "not %r" % (", ".join(repr(o) for o in ORDERS), order))
        return order, None
    permutation = np.asarray(order)
    if permutation.ndim != 1 or permutation.dtype.kind not in "iu":
        raise TypeError("order must be a name or a one-dimensional array of column indices, "
                        "not %r" % (order,))
    if len(permutation) != n_cols:
        raise ValueError("order must be a permutation of the %d columns, not of %d"
                         % (n_cols, len(permutation)))
    if n_cols:
        counts = np.bincount(np.clip(permutation, -1, n_cols).astype(np.int64) + 1,
                             minlength=n_cols + 2)
        if counts[0] or counts[-1] or (counts[1:-1] != 1).any():
            outside = permutation[(permutation < 0) | (permutation >= n_cols)]
            if len(outside):
                raise ValueError("order is not a permutation of the %d columns: it holds %d"
                                 % (n_cols, outside[0]))
            raise ValueError("order is not a permutation of the %d columns: column %d "
                             "appears %d times" % (n_cols, np.argmax(counts[1:-1] != 1),
                                                   counts[1:-1][np.argmax(counts[1:-1] != 1)]))
    return "given", np.ascontiguousarray(permutation, dtype=np.int64)


def _seed(seed: int) -> int:
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError("seed must be an integer, not %r" % (seed,)) from None
    if value < 0:
        raise ValueError("seed must not be negative, not %d" % value)
    return value & (2**64 - 1)
