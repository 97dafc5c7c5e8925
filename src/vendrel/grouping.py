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

from __future__ import annotations

import operator
import warnings
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple, Union, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse

from vendrel import _grouping
from vendrel._runtime import CscArray, CsrArray, assemble, sparse_matrix

__all__ = ["ORDERS", "SYMMETRIC_KINDS", "SYMMETRIC_ORDERS", "ColumnGrouping", "SymmetricGrouping",
           "as_pattern", "column_grouping", "group_columns", "lower_bound", "read_sparsity",
           "symmetric_grouping"]

#: The names `group_columns` takes for its `order` argument.
ORDERS: Tuple[str, ...] = ("best", *_grouping.ORDERINGS, "random")

Shape = Tuple[int, int]
Sparsity = Union[Any, Tuple[npt.ArrayLike, npt.ArrayLike]]
IntArray = npt.NDArray[np.intp]
_csc = CscArray
_INDEX_TYPES = (np.dtype(np.int32), np.dtype(np.int64))

SPARSITY_RULE = ("a sparse matrix or array, a dense 2-D array or nested list (a matrix: its "
                 "nonzero entries), a tuple (rows, cols) of two 1-D index arrays, or SciPy's "
                 "tuple (structure, groups)")


class ReadSparsity(NamedTuple):
    """A pattern argument in the core's form: what `read_sparsity` returns."""

    n_rows: int
    n_cols: int
    layout: int
    a: Any
    b: Any
    #: Given as index pairs: the shape is only the smallest that holds the entries.
    pair: bool
    #: The groups of SciPy's ``(structure, groups)``, as given (unchecked), or None.
    groups: Any


def read_sparsity(sparsity: Sparsity, shape: Optional[Shape] = None, *,
                  name: str = "sparsity") -> ReadSparsity:
    """The one reader of a pattern argument, for every function that takes one.

    The rule, by the argument's type alone, never by its values:

    - a ``scipy.sparse`` matrix or array: its stored entries (explicit zeros too);
    - a NumPy array or a (nested) list: a matrix, always; its nonzero entries;
    - a tuple of two items: ``(rows, cols)``, two one-dimensional index arrays, or SciPy's
      ``(structure, groups)``, a matrix and a group number per column.

    Anything else, and a list of NumPy arrays (``[rows, cols]`` or a matrix?), is refused
    with a ValueError that names `name`.
    """
    given = _shape(shape)
    if isinstance(sparsity, tuple):
        if len(sparsity) != 2:
            raise ValueError("%s as a tuple must have two items, (rows, cols) or (structure, "
                             "groups), not %d; a matrix is %s"
                             % (name, len(sparsity), "a NumPy array, a nested list or a sparse "
                                "matrix"))
        first, second = sparsity
        if scipy.sparse.issparse(first) or np.ndim(first) == 2:
            read = _matrix(first, given, name)
            return read._replace(groups=second)
        if scipy.sparse.issparse(second) or np.ndim(first) != 1 or np.ndim(second) != 1:
            raise ValueError("%s=(a, b) must be (rows, cols), two one-dimensional index arrays, "
                             "or (structure, groups), a matrix and one group per column; got "
                             "items of %d and %d dimensions"
                             % (name, np.ndim(first), np.ndim(second)))
        return _pair(first, second, given, name)
    if isinstance(sparsity, list) and any(isinstance(item, np.ndarray) for item in sparsity):
        raise ValueError("%s is a list of arrays: a tuple (rows, cols) gives index pairs, "
                         "np.array([...]) a matrix; say which" % name)
    if sparsity is None:
        raise ValueError("%s must be %s, not None" % (name, SPARSITY_RULE))
    return _matrix(sparsity, given, name)


def _matrix(sparsity: Any, given: Optional[Shape], name: str) -> ReadSparsity:
    if scipy.sparse.issparse(sparsity):
        sparsity = cast(Any, sparsity)  # any of SciPy's formats: read by its attributes
        if given is not None and given != sparsity.shape:
            raise ValueError("shape %r does not match %s's shape %r"
                             % (given, name, sparsity.shape))
        n_rows, n_cols = sparsity.shape
        if sparsity.format in ("csc", "csr"):
            # SciPy's own canonical-format check trusts the pointers; a malformed matrix
            # would have it read past the indices.
            _check_pointers(sparsity.indptr, n_cols if sparsity.format == "csc" else n_rows,
                            len(sparsity.indices), name)
        if sparsity.format == "csc":
            layout = _grouping.CANONICAL_COLUMNS if sparsity.has_canonical_format \
                else _grouping.COLUMNS
            return ReadSparsity(n_rows, n_cols, layout, _indices(sparsity.indptr),
                                _indices(sparsity.indices), False, None)
        if sparsity.format == "csr":
            layout = _grouping.CANONICAL_ROWS if sparsity.has_canonical_format \
                else _grouping.ROWS
            return ReadSparsity(n_rows, n_cols, layout, _indices(sparsity.indptr),
                                _indices(sparsity.indices), False, None)
        coo = sparsity if sparsity.format == "coo" else sparsity.tocoo()
        return ReadSparsity(n_rows, n_cols, _grouping.COORDINATES, _indices(coo.row),
                            _indices(coo.col), False, None)
    ragged = ValueError("%s must be %s; a ragged nested list is none of them"
                        % (name, SPARSITY_RULE))
    try:
        with warnings.catch_warnings():
            # NumPy before 1.24 makes an object array of a ragged list, with this warning
            warnings.simplefilter("error", getattr(np, "exceptions", np).VisibleDeprecationWarning)
            dense = np.asarray(sparsity)
    except (ValueError, Warning):
        raise ragged from None
    if dense.ndim != 2 or dense.dtype.kind not in "biufc":
        raise ValueError("%s must be %s, not an array of shape %r and type %s"
                         % (name, SPARSITY_RULE, dense.shape, dense.dtype))
    if given is not None and given != dense.shape:
        raise ValueError("shape %r does not match %s's shape %r" % (given, name, dense.shape))
    rows, cols = np.nonzero(dense)
    return ReadSparsity(dense.shape[0], dense.shape[1], _grouping.COORDINATES, _indices(rows),
                        _indices(cols), False, None)


class ColumnGrouping:
    """A pattern, its columns in groups that share no row, and the way back from grouped
    differences to the matrix: what `column_grouping` returns.

    Every attribute is a fresh copy: change it freely, the grouping keeps its own.

    Attributes
    ----------
    shape : tuple (m, n)
    pattern : csc_array of bool
        The pattern, canonical (sorted, distinct indices).
    groups : ndarray of intp, shape (n,)
        The group of each column, numbered from 0 (see `group_columns`).
    count : int
        The number of groups: what one Jacobian costs in evaluations (one per group).
    lower_bound : int
        The most entries in a row: no grouping needs fewer groups.
    order : str
        The order that gave the groups: a name of `ORDERS`, ``"lattice"`` (the stencil
        colouring that ``"best"`` finds on grids), ``"search"`` (the local search of
        ``"best"``), ``"given"`` (a permutation, or groups given by the caller).
    pairs : bool
        Read from index pairs ``(rows, cols)``: the shape is then only the smallest that
        holds the entries, and a Jacobian's may be larger.
    """

    def __init__(self, shape: Shape, by_col: Tuple[Any, Any], by_row: Tuple[Any, Any],
                 groups: IntArray, count: int, bound: int, order: str,
                 pairs: bool = False) -> None:
        self.shape, self.pairs = shape, pairs
        # Held in the index type of the matrices made from them, so that each matrix's copy is
        # a plain copy; read-only, as the recovery trusts them.
        kind = _index_type(shape, len(by_col[1]))
        self._by_col, self._by_row = _held(by_col, kind), _held(by_row, kind)
        self._groups, self.count, self.lower_bound, self.order = groups, count, bound, order

    @property
    def groups(self) -> IntArray:
        return self._groups.copy()

    @property
    def pattern(self) -> Any:
        return sparse_matrix(self, "csc", np.ones(len(self._by_col[1]), dtype=bool))

    @property
    def nnz(self) -> int:
        return len(self._by_col[1])

    def __repr__(self) -> str:
        return "<ColumnGrouping %d x %d, %d entries, %d groups (lower bound %d, %s)>" % (
            self.shape + (self.nnz, self.count, self.lower_bound, self.order))

    def members(self) -> List[IntArray]:
        """The columns of each group, in increasing order."""
        order = np.argsort(self._groups, kind="stable")
        ends = np.cumsum(np.bincount(self._groups, minlength=self.count))
        return np.split(order, ends[:-1])

    def decompress(self, B: npt.ArrayLike, output: str = "csr", *, out: Any = None) -> Any:
        """The matrix whose grouped column sums are `B`.

        Parameters
        ----------
        B : array_like, shape (m, count)
            Column c holds the sum of the matrix's columns in group c (in a Jacobian, the
            difference of the residuals for a step in those columns, divided by the step).
        output : {"csr", "csc", "dense"}, optional
        out : csr/csc array or ndarray, optional
            A matrix of this pattern (as `decompress` returned it) to write the values into.

        Returns
        -------
        J : csr_array, csc_array or ndarray, shape (m, n)

        Examples
        --------
        >>> import numpy as np
        >>> from vendrel.grouping import column_grouping
        >>> g = column_grouping(np.eye(3) + np.eye(3, k=1))
        >>> g.decompress(np.array([[1.0, 2.0], [3.0, 4.0], [5.0, 0.0]])).toarray()
        array([[1., 2., 0.],
               [0., 4., 3.],
               [0., 0., 5.]])
        """
        output = check_output(output)
        values = np.asarray(B, dtype=np.float64)
        if values.shape != (self.shape[0], self.count):
            raise ValueError("B must have shape %r (rows, groups), not %r"
                             % ((self.shape[0], self.count), values.shape))
        columns = np.ascontiguousarray(values.T)
        return assemble(self, list(columns), None, None, None, output, out)

    def padded(self, m: int, n: int) -> "ColumnGrouping":
        """The same grouping with empty rows and columns (in group 0) added up to (m, n)."""
        rows, cols = self.shape
        if (rows, cols) == (m, n):
            return self
        col_ptr = np.concatenate([self._by_col[0], np.full(n - cols, self._by_col[0][-1])])
        row_ptr = np.concatenate([self._by_row[0], np.full(m - rows, self._by_row[0][-1])])
        groups = np.concatenate([self._groups, np.zeros(n - cols, np.intp)])
        count = max(self.count, 1) if n else 0
        return ColumnGrouping((m, n), (col_ptr, self._by_col[1]), (row_ptr, self._by_row[1]),
                              groups, count, self.lower_bound, self.order, self.pairs)


OUTPUTS = ("csr", "csc", "dense")


def check_output(output: Any) -> str:
    if not isinstance(output, str) or output not in OUTPUTS:
        raise ValueError("output must be one of %s, not %r"
                         % (", ".join(map(repr, OUTPUTS)), output))
    return output


def _held(arrays: Tuple[Any, Any], kind: type) -> Tuple[IntArray, IntArray]:
    held: List[IntArray] = [np.asarray(a).astype(kind, copy=False).view() for a in arrays]
    for array in held:
        array.setflags(write=False)
    return held[0], held[1]


def _index_type(shape: Shape, entries: int) -> type:
    return np.int32 if max(shape[0], shape[1], entries) <= np.iinfo(np.int32).max else np.int64


def column_grouping(sparsity: Sparsity, order: Union[str, npt.ArrayLike] = "best", *,
                    seed: int = 0, shape: Optional[Shape] = None,
                    groups: Any = None) -> ColumnGrouping:
    """The columns of a pattern in groups that share no row, as a `ColumnGrouping`.

    `sparsity`, `order`, `seed` and `shape` are taken as by `group_columns`; `sparsity` may
    also be SciPy's ``(structure, groups)``. With `groups` (a group number per column, or
    the list of position arrays that ``SparseSolver.find_groups`` returns for the
    ``(rows, cols)`` given as `sparsity`), those groups are checked and kept instead of
    searched for; they are renumbered 0 .. count-1 in increasing order of their numbers.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.grouping import column_grouping
    >>> g = column_grouping(np.abs(np.subtract.outer(np.arange(6), np.arange(6))) <= 1)
    >>> g.groups, g.count, g.lower_bound, g.order
    (array([0, 1, 2, 0, 1, 2]), 3, 3, 'natural')
    """
    return _column_grouping(read_sparsity(sparsity, shape), order, seed, groups)


def _column_grouping(read: ReadSparsity, order: Any, seed: Any, groups: Any) -> ColumnGrouping:
    """The grouping of a pattern already read: one call into the core."""
    if read.groups is not None:
        if groups is not None:
            raise ValueError("groups given twice: in sparsity=(structure, groups) and as groups=")
        groups = read.groups
    given = None
    if groups is not None:
        given, read = _given_groups(groups, read)
    name, permutation = _order(order, read.n_cols, seed)  # checked even where groups are given
    if given is not None:
        name, permutation = "best", None  # not used: the core keeps the given groups
    (col_ptr, row_idx, row_ptr, col_idx, numbers, count, bound, winner,
     clash) = _grouping.column_grouping(read.n_rows, read.n_cols, read.layout, read.a, read.b,
                                        name, permutation, _seed(seed), given)
    if clash is not None:
        first, second, group, row = clash
        raise ValueError("groups are not structurally orthogonal: columns %d and %d are both in "
                         "group %d and both have an entry in row %d" % (first, second, group, row))
    if winner == "given" and isinstance(order, str) and order == "random":
        winner = "random"
    by_col = (np.frombuffer(col_ptr, dtype=np.int64), np.frombuffer(row_idx, dtype=np.int32))
    by_row = (np.frombuffer(row_ptr, dtype=np.int64), np.frombuffer(col_idx, dtype=np.int32))
    return ColumnGrouping((read.n_rows, read.n_cols), by_col, by_row,
                          np.frombuffer(numbers, dtype=np.int64).astype(np.intp, copy=False),
                          count, bound, winner, read.pair)


def _given_groups(groups: Any, read: ReadSparsity) -> Tuple[npt.NDArray[np.int64], ReadSparsity]:
    """A group number per column, numbered densely from 0, from either form a caller has; and
    the pattern, widened when the groups name more columns than an index pair reaches."""
    n = read.n_cols
    if isinstance(groups, (list, tuple)) and any(np.ndim(g) == 1 for g in groups):
        if not read.pair:
            raise ValueError("groups as a list of position arrays needs sparsity as the pair "
                             "(rows, cols) that the positions point into")
        per_column = _from_positions(groups, read.a, read.b, n)
    else:
        per_column = np.asarray(groups)
        if per_column.ndim != 1 or (per_column.size and per_column.dtype.kind not in "iu"):
            raise ValueError("groups must be a group number per column (one-dimensional integers) "
                             "or a list of position arrays; got %s of shape %r"
                             % (per_column.dtype, per_column.shape))
        if len(per_column) > n and read.pair:
            n = len(per_column)
            read = read._replace(n_cols=n)
        if len(per_column) != n:
            raise ValueError("groups has %d entries; the pattern has %d columns"
                             % (len(per_column), n))
        if per_column.size and per_column.min() < 0:
            j = int(np.argmin(per_column))
            raise ValueError("groups[%d] is %d, which leaves column %d out; group numbers must be "
                             ">= 0" % (j, per_column[j], j))
    # Renumbered densely, so that a group number nobody uses costs no evaluation.
    _, renumbered = np.unique(per_column, return_inverse=True)
    return np.ascontiguousarray(renumbered.reshape(-1), dtype=np.int64), read


def _from_positions(groups: Sequence[Any], rows: Any, cols: Any, n: int) -> IntArray:
    cols = np.asarray(cols).astype(np.intp)
    owner = np.full(len(cols), -1, dtype=np.intp)
    for k, group in enumerate(groups):
        positions = np.asarray(group)
        if positions.size and positions.dtype.kind not in "iu":
            raise ValueError("groups[%d] must hold integer positions, not %s" % (k, positions.dtype))
        positions = positions.astype(np.intp).reshape(-1)
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
                         % (p, int(np.asarray(rows)[p]), cols[p]))
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


def group_columns(sparsity: Sparsity, order: Union[str, npt.ArrayLike] = "best", *,
                  seed: int = 0, shape: Optional[Shape] = None) -> npt.NDArray[np.intp]:
    """Each column's group, such that no two columns of a group share a row.

    Parameters
    ----------
    sparsity : sparse matrix or array, array_like, or tuple (rows, cols)
        The Jacobian's pattern, read by one rule everywhere (`read_sparsity`): any
        `scipy.sparse` matrix or array (every stored entry counts, explicit zeros too); a
        NumPy array or nested list, always a matrix (its nonzero entries); or a tuple of two
        one-dimensional index arrays ``(rows, cols)`` such as
        `SparseSolver.compute_pattern` returns, entries in any order, duplicates allowed.
    order : str or array_like, optional
        The order in which columns are placed in the first group that takes them:
        ``"natural"``, ``"largest_first"``, ``"smallest_last"``,
        ``"incidence_degree"``, ``"dynamic_largest_first"``, ``"dsatur"``,
        ``"random"`` (seeded by `seed`), a permutation of the columns, or ``"best"``
        (the default): natural order, then a cyclic colouring of the grid when the
        pattern is a stencil's (found from the pattern alone), then the other orderings,
        stopping at the first that reaches `lower_bound`, and otherwise a local search
        (iterated greedy, then tabu search) from the fewest groups found, for a number of
        passes and moves that is fixed, so that its time grows with the pattern's size
        and its result does not depend on the machine.
    seed : int, optional
        Seeds ``"random"`` and the local search of ``"best"``.
    shape : tuple (m, n), optional
        The Jacobian's shape, for a tuple of index arrays whose largest indices fall
        short of it. Must agree with the shape of a matrix given as `sparsity`.

    Returns
    -------
    groups : ndarray of intp, shape (n,)
        The group of each column: ``groups.max() + 1`` groups, each costing one
        evaluation. Groups are numbered from 0 in the order of their lowest-numbered
        column that has entries (the column index, whatever `order` was); columns
        without entries are in group 0. `column_grouping` gives the same groups with the
        pattern, the bound and the order that won.

    Notes
    -----
    Grouping columns that share no row is due to Curtis, Powell and Reid [1]_; it is a
    colouring of the column-intersection graph, and the orderings are Coleman and
    Moré's [2]_ (smallest-last, largest-first, incidence-degree, with MINPACK's ties),
    DSATUR [3]_ and those surveyed by Gebremedhin, Manne and Pothen [4]_. On a
    constant-coefficient stencil, a colouring ``(a . i) mod k`` of the grid points reaches
    the largest row's count, which no grouping can beat, as Goldfarb and Toint showed
    [5]_; ``"best"`` looks for one before its tabu search [6]_.

    References
    ----------
    .. [1] A. R. Curtis, M. J. D. Powell, J. K. Reid, "On the estimation of sparse
       Jacobian matrices", J. Inst. Math. Appl. 13 (1974).
    .. [2] T. F. Coleman, J. J. Moré, "Estimation of sparse Jacobian matrices and graph
       coloring problems", SIAM J. Numer. Anal. 20 (1983).
    .. [3] D. Brélaz, "New methods to color the vertices of a graph", Comm. ACM 22 (1979).
    .. [4] A. H. Gebremedhin, F. Manne, A. Pothen, "What color is your Jacobian? Graph
       coloring for computing derivatives", SIAM Review 47 (2005).
    .. [5] D. Goldfarb, Ph. L. Toint, "Optimal estimation of Jacobian and Hessian matrices
       that arise in finite difference calculations", Math. Comp. 43 (1984).
    .. [6] A. Hertz, D. de Werra, "Using tabu search techniques for graph coloring",
       Computing 39 (1987).

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.grouping import group_columns
    >>> rows, cols = np.array([0, 0, 1, 2]), np.array([0, 1, 1, 2])
    >>> group_columns((rows, cols))
    array([0, 1, 0])
    """
    return _column_grouping(_structure_alone(sparsity, shape, "group_columns"), order, seed,
                            None)._groups


def _structure_alone(sparsity: Sparsity, shape: Optional[Shape], function: str) -> ReadSparsity:
    read = read_sparsity(sparsity, shape)
    if read.groups is not None:
        raise ValueError("sparsity=(structure, groups) already holds groups; %s takes the "
                         "structure alone" % function)
    return read


def lower_bound(sparsity: Sparsity, *, shape: Optional[Shape] = None) -> int:
    """The largest number of entries in a row: no grouping needs fewer groups.

    `sparsity` and `shape` are taken as by `group_columns`; duplicate entries count once.
    """
    read = _structure_alone(sparsity, shape, "lower_bound")
    return int(_grouping.lower_bound(read.n_rows, read.n_cols, read.layout, read.a, read.b))


def as_pattern(sparsity: Sparsity, *, shape: Optional[Shape] = None) -> "scipy.sparse.csc_array":
    """The pattern as a boolean `scipy.sparse.csc_array` with sorted, distinct indices.

    `sparsity` and `shape` are taken as by `group_columns`. On SciPy releases without
    sparse arrays the result is a ``csc_matrix``.
    """
    return cast("scipy.sparse.csc_array",
                pattern_of(_structure_alone(sparsity, shape, "as_pattern")))


def pattern_of(read: ReadSparsity) -> Any:
    """The canonical boolean CSC pattern of a pattern argument already read."""
    pointers, indices = _grouping.canonical(read.n_rows, read.n_cols, read.layout, read.a, read.b)
    indptr = np.frombuffer(pointers, dtype=np.int64)
    rows = np.frombuffer(indices, dtype=np.int32)
    if indptr[-1] <= np.iinfo(np.int32).max:
        indptr = indptr.astype(np.int32)
    data = np.ones(len(rows), dtype=bool)
    return _csc((data, rows, indptr), shape=(read.n_rows, read.n_cols))


def _check_pointers(indptr: Any, n_major: int, n_indices: int, name: str) -> None:
    pointers = np.asarray(indptr)
    if (pointers.ndim != 1 or len(pointers) != n_major + 1 or pointers[0] != 0
            or pointers[-1] > n_indices or (np.diff(pointers) < 0).any()):
        raise ValueError("%s's index pointers do not fit its shape and indices" % name)


def _pair(rows_like: npt.ArrayLike, cols_like: npt.ArrayLike, given: Optional[Shape],
          name: str) -> ReadSparsity:
    rows, cols = np.asarray(rows_like), np.asarray(cols_like)
    for which, array in (("rows", rows), ("cols", cols)):
        if array.ndim != 1:
            raise ValueError("%s's %s must be one-dimensional, not of shape %r"
                             % (name, which, array.shape))
        if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
            raise TypeError("%s's %s must hold integers, not %s" % (name, which, array.dtype))
        if array.size and array.dtype.kind == "i" and array.min() < 0:
            raise ValueError("%s's %s must be non-negative; found %d"
                             % (name, which, array.min()))
    if len(rows) != len(cols):
        raise ValueError("%s's rows and cols must have the same length, not %d and %d"
                         % (name, len(rows), len(cols)))
    extent = tuple(int(a.max()) + 1 if a.size else 0 for a in (rows, cols))
    if given is None:
        n_rows, n_cols = extent
    else:
        n_rows, n_cols = given
        for which, largest, limit in (("rows", extent[0], n_rows), ("cols", extent[1], n_cols)):
            if largest > limit:
                raise ValueError("%s's %s holds index %d, outside shape %r"
                                 % (name, which, largest - 1, given))
    return ReadSparsity(n_rows, n_cols, _grouping.COORDINATES, _indices(rows), _indices(cols),
                        True, None)


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


#: The kinds of colouring `symmetric_grouping` makes.
SYMMETRIC_KINDS: Tuple[str, ...] = ("star", "acyclic")

#: The names `symmetric_grouping` takes for its `order` argument.
SYMMETRIC_ORDERS: Tuple[str, ...] = ("best", *_grouping.SYMMETRIC_ORDERINGS)


class SymmetricGrouping:
    """A symmetric pattern (a Hessian's), a colour for each column, and the way back from
    the compressed product ``H @ S`` to the matrix: what `symmetric_grouping` returns.

    Unlike `ColumnGrouping`, columns that meet in a row may share a colour: the matrix is
    symmetric, so an entry mixed with others in one row can be read in the other.

    - ``kind="star"``: no path on four vertices of the adjacency graph takes only two
      colours. Every entry is read directly, unmixed, in one row of the product: H_ij with j
      the hub of its two-coloured star and i a leaf is read in row i (the leaf's row), where
      no other column of j's colour has an entry; the same value serves for H_ji.
    - ``kind="acyclic"``: no cycle takes only two colours. Fewer colours; the entries of each
      two-coloured tree are found by substitution from its leaves inwards, so the error of
      one entry passes into the next along the tree.

    Every attribute is a fresh copy: change it freely, the grouping keeps its own.

    Attributes
    ----------
    shape : tuple (n, n)
    pattern : csc_array of bool
        The symmetric pattern, canonical (sorted, distinct indices).
    colors : ndarray of intp, shape (n,)
        The colour of each column, numbered from 0 in the order of each colour's
        lowest-numbered column with entries; columns without entries in colour 0.
    count : int
        The number of colours: one gradient difference each.
    lower_bound : int
        No star or acyclic colouring needs fewer colours: the larger of a clique found around
        each row of at most 64 entries (greedily; a clique needs a colour per vertex), and
        ``1 + ceil((m + 1) / n')`` for the m off-diagonal pairs among n' vertices with any,
        since two colours of such a colouring span a forest. Not the row length: an
        arrowhead's full row needs only two star colours.
    kind : {"star", "acyclic"}
    order : str
        What gave the colours: a name of `SYMMETRIC_ORDERS`, ``"distance2"`` or
        ``"lattice"`` (for a star colouring, a grouping of the columns as for a Jacobian,
        which is one; for an acyclic colouring, the cyclic colouring of the pattern with a
        diagonal of each square added), or ``"search"`` (the iterated greedy passes of
        ``"best"``).
    """

    def __init__(self, pattern: Any, colors: IntArray, count: int, bound: int, kind: str,
                 order: str) -> None:
        n = pattern.shape[0]
        self.shape: Shape = (n, n)
        self._indptr = np.asarray(pattern.indptr).astype(np.int64)
        self._indices = np.asarray(pattern.indices).astype(np.int32)
        self._colors64 = np.ascontiguousarray(colors, dtype=np.int64)
        for array in (self._indptr, self._indices, self._colors64):
            array.setflags(write=False)
        self.count, self.lower_bound, self.kind, self.order = count, bound, kind, order
        self._mirror: Optional[npt.NDArray[np.int64]] = None

    def _mirrors(self) -> npt.NDArray[np.int64]:
        """The position of each entry's transpose, for the substitution's symmetric writes;
        made when first needed (a star colouring reads each pair once and needs none)."""
        if self._mirror is None:
            n = self.shape[0]
            cols = np.repeat(np.arange(n, dtype=np.int64), np.diff(self._indptr))
            rows = self._indices.astype(np.int64)
            mirror = np.searchsorted(cols * n + rows, rows * n + cols).astype(np.int64)
            mirror.setflags(write=False)
            self._mirror = mirror
        return self._mirror

    @property
    def colors(self) -> IntArray:
        return self._colors64.astype(np.intp)

    @property
    def pattern(self) -> Any:
        return _csc((np.ones(self.nnz, dtype=bool), self._indices.copy(), self._indptr.copy()),
                    shape=self.shape)

    @property
    def nnz(self) -> int:
        return len(self._indices)

    def __repr__(self) -> str:
        return "<SymmetricGrouping %d x %d, %d entries, %d %s colours (lower bound %d, %s)>" % (
            self.shape + (self.nnz, self.count, self.kind, self.lower_bound, self.order))

    def members(self) -> List[IntArray]:
        """The columns of each colour, in increasing order."""
        order = np.argsort(self._colors64, kind="stable")
        ends = np.cumsum(np.bincount(self._colors64, minlength=self.count))
        return np.split(order.astype(np.intp), ends[:-1])

    def seed_matrix(self) -> Any:
        """S, n x count: ``S[j, colors[j]] = 1``, so that ``H @ S`` is what `decompress`
        reads."""
        n = self.shape[0]
        return _csc((np.ones(n), self._colors64.copy(), np.arange(n + 1)),
                    shape=(self.count, n)).T.tocsc()

    def decompress(self, B: npt.ArrayLike, output: str = "csr", *, out: Any = None) -> Any:
        """The symmetric matrix whose compressed product ``H @ seed_matrix()`` is `B`.

        Parameters
        ----------
        B : array_like or sparse matrix, shape (n, count)
            Column c holds the sum of the matrix's columns of colour c.
        output : {"csr", "csc", "dense"}, optional
        out : csr/csc array or ndarray, optional
            A matrix of this pattern (as `decompress` returned it) to write the values into.

        Returns
        -------
        H : csr_array, csc_array or ndarray, shape (n, n), symmetric

        Examples
        --------
        >>> import numpy as np
        >>> from vendrel.grouping import symmetric_grouping
        >>> H = np.array([[4.0, 1, 1, 1], [1, 5, 0, 0], [1, 0, 6, 0], [1, 0, 0, 7]])
        >>> g = symmetric_grouping(H != 0)
        >>> g.count
        2
        >>> np.array_equal(g.decompress(H @ g.seed_matrix().toarray()).toarray(), H)
        True
        """
        output = check_output(output)
        values = np.asarray(cast(Any, B).toarray() if scipy.sparse.issparse(B) else B,
                            dtype=np.float64)
        if values.shape != (self.shape[0], self.count):
            raise ValueError("B must have shape %r (rows, colours), not %r"
                             % ((self.shape[0], self.count), values.shape))
        return self.matrix(self.recover(values, None), output, out)

    def recover(self, compressed: npt.NDArray[np.float64],
                scale: Optional[npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
        """The entries in the pattern's order, from ``compressed[i, c]``, the sum over the
        columns k of colour c of ``H[i, k] * scale[k]`` (scale 1 when None)."""
        data = np.empty(self.nnz)
        failed = _grouping.symmetric_recover(
            self.kind, self._indptr, self._indices,
            self._mirrors() if self.kind == "acyclic" else self._indptr[:0], self._colors64,
            self.count,
            np.ascontiguousarray(compressed, dtype=np.float64).reshape(-1),
            None if scale is None else np.ascontiguousarray(scale, dtype=np.float64), data)
        if failed >= 0:
            row = int(self._indices[failed])
            col = int(np.searchsorted(self._indptr, failed, side="right") - 1)
            raise ValueError("the colours do not make a %s colouring: entry (%d, %d) cannot be "
                             "recovered" % (self.kind, row, col))
        return data

    def matrix(self, data: npt.NDArray[np.float64], output: str, out: Any = None) -> Any:
        """The matrix of this pattern holding `data` (entries in the pattern's order)."""
        n = self.shape[0]
        if out is not None:
            return self._into(out, data, output)
        if output == "dense":
            dense = np.zeros(self.shape)
            cols = np.repeat(np.arange(n), np.diff(self._indptr))
            dense[self._indices, cols] = data
            return dense
        kind = _index_type(self.shape, self.nnz)
        # Symmetric: the CSC arrays are also the CSR arrays.
        made = (CsrArray if output == "csr" else CscArray)(
            (data, self._indices.astype(kind), self._indptr.astype(kind)), shape=self.shape)
        made.has_sorted_indices = True
        return made

    def _into(self, out: Any, data: npt.NDArray[np.float64], output: str) -> Any:
        if output == "dense":
            if not isinstance(out, np.ndarray) or out.shape != self.shape or \
                    out.dtype != np.float64:
                raise ValueError("out must be a float64 ndarray of shape %r for output='dense'"
                                 % (self.shape,))
            out[...] = 0.0
            cols = np.repeat(np.arange(self.shape[0]), np.diff(self._indptr))
            out[self._indices, cols] = data
            return out
        sparse: Any = out  # issparse would narrow it to a base class without these attributes
        if not scipy.sparse.issparse(out) or getattr(sparse, "format", None) != output or \
                sparse.shape != self.shape or not np.array_equal(sparse.indptr, self._indptr) or \
                not np.array_equal(sparse.indices, self._indices) or sparse.dtype != np.float64:
            raise ValueError("out must be a %s matrix of this pattern, as returned before"
                             % output)
        sparse.data[...] = data
        return sparse


def symmetric_grouping(sparsity: Sparsity, kind: str = "star", order: str = "best", *,
                       shape: Optional[Shape] = None,
                       symmetrise: bool = False) -> SymmetricGrouping:
    """A star or acyclic colouring of a symmetric pattern, as a `SymmetricGrouping`.

    Parameters
    ----------
    sparsity : sparse matrix or array, array_like, or tuple (rows, cols)
        The Hessian's pattern, read as by `group_columns`; it must be square and symmetric.
    kind : {"star", "acyclic"}, optional
        How the entries are read back (see `SymmetricGrouping`): ``"star"`` directly,
        ``"acyclic"`` by substitution, with fewer colours.
    order : str, optional
        The order in which vertices are coloured: ``"natural"``, ``"smallest_last"``,
        ``"largest_first"``, ``"incidence_degree"``, ``"dynamic_largest_first"`` (degrees in
        the adjacency graph), or ``"best"`` (the default): each of them in turn, for a star
        colouring also the column grouping of the pattern with its diagonal (natural order,
        then a stencil's lattice colouring), for an acyclic one a lattice colouring of the
        pattern with a diagonal of each square added (checked acyclic before it is kept), then
        a few iterated greedy passes, keeping the fewest colours and stopping at
        `SymmetricGrouping.lower_bound`.
    shape : tuple (n, n), optional
        As for `group_columns`.
    symmetrise : bool, optional
        Take the pattern's union with its transpose instead of refusing a pattern that is not
        symmetric.

    Notes
    -----
    Star colouring is due to Coleman and Moré (1984) after Powell and Toint (1979); the
    greedy star and acyclic colourings are Gebremedhin, Tarafdar, Manne and Pothen's
    (2007, Algorithms 4.1 and 3.1), the recovery by substitution that of Gebremedhin,
    Tarafdar, Pothen and Walther (2009). On a band with rho off-diagonals a star colouring
    needs ``2 * (rho // 2) + 1`` colours and an acyclic one ``rho // 2 + 1``.

    Examples
    --------
    >>> import numpy as np
    >>> from vendrel.grouping import symmetric_grouping
    >>> band = np.abs(np.subtract.outer(np.arange(8), np.arange(8))) <= 1
    >>> symmetric_grouping(band).colors
    array([0, 1, 0, 2, 0, 1, 0, 2])
    >>> symmetric_grouping(band, "acyclic").count
    2
    """
    if not isinstance(kind, str) or kind not in SYMMETRIC_KINDS:
        raise ValueError("kind must be one of %s, not %r"
                         % (", ".join(map(repr, SYMMETRIC_KINDS)), kind))
    if not isinstance(order, str) or order not in SYMMETRIC_ORDERS:
        raise ValueError("order must be one of %s, not %r"
                         % (", ".join(map(repr, SYMMETRIC_ORDERS)), order))
    if not isinstance(symmetrise, (bool, np.bool_)):
        raise TypeError("symmetrise must be True or False, not %r" % (symmetrise,))
    read = _structure_alone(sparsity, shape, "symmetric_grouping")
    pattern = symmetric_pattern(read, bool(symmetrise))
    n = pattern.shape[0]
    try:
        colors, count, bound, winner = _grouping.symmetric_coloring(
            n, n, _grouping.CANONICAL_COLUMNS, _indices(pattern.indptr),
            _indices(pattern.indices), kind, order)
    except ValueError:
        # The core finds out in passing; the entry to name is looked for only now.
        raise ValueError(asymmetry(pattern, "sparsity")) from None
    return SymmetricGrouping(pattern, np.frombuffer(colors, dtype=np.int64), count, bound, kind,
                             winner)


def symmetric_pattern(read: ReadSparsity, symmetrise: bool, name: str = "sparsity") -> Any:
    """The canonical CSC pattern of a square pattern argument; with `symmetrise`, its union
    with its transpose. Whether it is symmetric is seen by the core as it colours."""
    pattern = pattern_of(read)
    if read.n_rows != read.n_cols:
        raise ValueError("%s must be square for a symmetric matrix, not %d x %d"
                         % (name, read.n_rows, read.n_cols))
    if not symmetrise:
        return pattern
    both = (pattern.astype(np.int8) + pattern.T.astype(np.int8)).tocsc()
    return pattern_of(ReadSparsity(read.n_rows, read.n_cols, _grouping.COLUMNS,
                                   _indices(both.indptr), _indices(both.indices), False, None))


def asymmetry(pattern: Any, name: str) -> str:
    """The message for a pattern that is not symmetric, naming an entry without its mirror."""
    difference = (pattern.astype(np.int8) - pattern.T.astype(np.int8)).tocoo()
    first = np.flatnonzero(difference.data > 0)[0]
    i, j = int(difference.row[first]), int(difference.col[first])
    return ("%s is not symmetric: entry (%d, %d) is in it and (%d, %d) is not; pass "
            "symmetrise=True for the union with its transpose" % (name, i, j, j, i))
