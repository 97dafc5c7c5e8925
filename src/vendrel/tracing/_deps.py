"""Dependency sets: a boolean CSR matrix with one row per traced element, and for a lone scalar
its own small set.

Design: array operations combine whole matrices with vectorised gathers, sums and products, so
their cost is linear in the entries whatever the array size. A scalar taken out of an array for
a Python loop holds a frozenset instead, since building even a one-row sparse matrix costs tens
of microseconds; sets past a few dozen entries (a running sum, a dense coupling row) become a
lazy union, so that accumulating n terms in a loop costs O(n) rather than O(n^2), and each is
materialised once, when it is written into an array or returned.

Every matrix built here holds no duplicate column in a row and only True values; rows need not
be sorted until the final pattern.
"""

from itertools import chain
from typing import Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import scipy.sparse

# SciPy before 1.8 has no sparse arrays; its matrices serve the same here.
_csr: Any = getattr(scipy.sparse, "csr_array", None) or scipy.sparse.csr_matrix

# Scalar sets up to this size are merged eagerly; past it a union is recorded, not computed.
SMALL = 48
_INT32_MAX = np.iinfo(np.int32).max


def index_type(*bounds: int) -> type:
    """int32 where it holds every bound, as SciPy chooses (it would copy int64 arrays down)."""
    return np.int32 if max(bounds, default=0) < _INT32_MAX else np.int64


def _checked(data: np.ndarray, indices: np.ndarray, indptr: np.ndarray, m: int, n: int) -> Any:
    return _csr((data, indices, indptr), shape=(m, n), copy=False)


def _fast_maker() -> Any:
    """A constructor that skips SciPy's checks, where SciPy's matrix is only its arrays.

    A trace builds thousands of small matrices whose arrays are right by construction, and
    SciPy's checks cost tens of microseconds each. The fast way is used only where a matrix
    built SciPy's way holds nothing but the arrays, the shape and `maxprint` (so no cached
    flag about sorted or canonical indices can be copied wrongly), and where one built the
    fast way equals it.
    """
    sample = (np.ones(2, bool), np.array([1, 0], np.int32), np.array([0, 2], np.int32))
    reference = _checked(*sample, 1, 3)
    state = dict(vars(reference))
    if set(state) != {"_shape", "maxprint", "data", "indices", "indptr"}:
        return _checked
    maxprint = state["maxprint"]

    def fast(data: np.ndarray, indices: np.ndarray, indptr: np.ndarray, m: int, n: int) -> Any:
        matrix = object.__new__(_csr)
        matrix.__dict__.update(_shape=(m, n), maxprint=maxprint, data=data, indices=indices,
                               indptr=indptr)
        return matrix
    built = fast(*sample, 1, 3)
    try:
        same = (built != reference).nnz == 0 and (built @ _checked(
            np.ones(3, bool), np.arange(3, dtype=np.int32), np.arange(4, dtype=np.int32), 3,
            3)).nnz == 2
    except Exception:  # pragma: no cover - a SciPy whose internals differ
        same = False
    return fast if same else _checked


_build = _fast_maker()


def make(indices: np.ndarray, indptr: np.ndarray, m: int, n: int) -> Any:
    """A boolean CSR (m, n) around the given arrays, without copying or checking them."""
    itype = index_type(m, n, len(indices))
    return _build(np.ones(len(indices), dtype=bool), indices.astype(itype, copy=False),
                  indptr.astype(itype, copy=False), m, n)


def empty(m: int, n: int) -> Any:
    return make(np.zeros(0, np.int32), np.zeros(m + 1, np.int32), m, n)


def identity(n: int) -> Any:
    return make(np.arange(n), np.arange(n + 1), n, n)


def gather(rows: Any, idx: np.ndarray) -> Any:
    """The rows at `idx` (1-D), in that order; -1 gives an empty row."""
    m = len(idx)
    n = rows.shape[1]
    indptr, indices = rows.indptr, rows.indices
    if m == 0:
        return empty(0, n)
    if idx.min() < 0:
        valid = idx >= 0
        safe = np.where(valid, idx, 0)
        starts = indptr[safe]
        lengths = indptr[safe + 1] - starts
        lengths[~valid] = 0
    else:
        starts = indptr[idx]
        lengths = indptr[idx + 1] - starts
    new_indptr = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(lengths, out=new_indptr[1:])
    total = int(new_indptr[-1])
    if total == m and (lengths == 1).all():
        # Every row one entry (anything still a rearrangement of x): no ranges to expand.
        return make(indices[starts], new_indptr, m, n)
    source = np.repeat(starts - new_indptr[:-1], lengths)
    source += np.arange(total, dtype=source.dtype)
    return make(indices[source], new_indptr, m, n)


def stack(parts: Sequence[Any], n: int) -> Any:
    """The rows of `parts` one after the other."""
    if len(parts) == 1:
        return parts[0]
    indices = np.concatenate([p.indices for p in parts])
    counts = np.concatenate([np.diff(p.indptr) for p in parts])
    indptr = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=indptr[1:])
    return make(indices, indptr, len(counts), n)


try:
    # SciPy's own kernel for A + B, called without the checks around it (a trace adds a few
    # matrices per operation); A + B where this SciPy does not have it.
    from scipy.sparse._sparsetools import csr_plus_csr as _csr_plus_csr
except ImportError:  # pragma: no cover - a SciPy that moved it
    _csr_plus_csr = None  # type: ignore[assignment]  # optional: A + B is used instead


def _plus(a: Any, b: Any) -> Any:
    if _csr_plus_csr is None or a.data.dtype != bool or b.data.dtype != bool:
        return a + b
    m, n = a.shape
    capacity = len(a.indices) + len(b.indices)
    itype = index_type(m, n, capacity)
    indptr = np.empty(m + 1, dtype=itype)
    indices: Any = np.empty(capacity, dtype=itype)
    data = np.empty(capacity, dtype=bool)
    _csr_plus_csr(m, n, a.indptr.astype(itype, copy=False), a.indices.astype(itype, copy=False),
                  a.data, b.indptr.astype(itype, copy=False), b.indices.astype(itype, copy=False),
                  b.data, indptr, indices, data)
    count = int(indptr[-1])
    return _build(data[:count], indices[:count], indptr, m, n)


def union(*matrices: Optional[Any]) -> Optional[Any]:
    """Row by row union of matrices of one shape; None stands for no dependencies."""
    present = [m for m in matrices if m is not None]
    if not present:
        return None
    result = present[0]
    for other in present[1:]:
        if other is not result:
            result = _plus(result, other)
    return result


def select(groups_indptr: np.ndarray, members: np.ndarray, rows: Any) -> Any:
    """Row k the union of the rows `members[groups_indptr[k]:groups_indptr[k + 1]]`."""
    k = len(groups_indptr) - 1
    chooser = make(members, groups_indptr, k, rows.shape[0])
    return chooser @ rows


def pairs(out_index: np.ndarray, in_index: np.ndarray, m: int, rows: Any) -> Any:
    """Row i the union of rows j over the pairs (i, j) given; pairs may repeat."""
    chooser = scipy.sparse.coo_matrix(
        (np.ones(len(out_index), dtype=bool), (out_index, in_index)), shape=(m, rows.shape[0]))
    return _csr(chooser.tocsr()) @ rows


# --- scalar sets ---------------------------------------------------------------------------

class Lazy:
    """A union of sets (frozensets, index arrays or other lazy unions), computed when asked."""

    __slots__ = ("parts", "bound", "cached")

    def __init__(self, parts: Tuple[Any, ...], bound: int,
                 cached: Optional[np.ndarray] = None) -> None:
        self.parts, self.bound, self.cached = parts, bound, cached

    def __len__(self) -> int:
        return self.bound

    def array(self) -> np.ndarray:
        if self.cached is None:
            leaves = []
            stack_ = list(self.parts)
            seen = set()
            while stack_:
                part = stack_.pop()
                if type(part) is Lazy:
                    if part.cached is not None:
                        leaves.append(part.cached)
                    elif id(part) not in seen:
                        seen.add(id(part))
                        stack_.extend(part.parts)
                elif type(part) is frozenset:
                    leaves.append(np.fromiter(part, np.int64, len(part)))
                else:
                    leaves.append(part)
            self.cached = np.unique(np.concatenate(leaves)) if leaves else np.zeros(0, np.int64)
            self.parts = ()
        return self.cached


DepSet = Union["frozenset[int]", Lazy]
NONE: "frozenset[int]" = frozenset()


def join(a: DepSet, b: DepSet) -> DepSet:
    if a is b or not b:
        return a
    if not a:
        return b
    if type(a) is frozenset and type(b) is frozenset and len(a) + len(b) <= SMALL:
        return a | b
    return Lazy((a, b), len(a) + len(b))


def join_all(sets: Iterable[DepSet]) -> DepSet:
    result: DepSet = NONE
    for s in sets:
        result = join(result, s)
    return result


def as_array(s: DepSet) -> np.ndarray:
    if type(s) is frozenset:
        return np.fromiter(s, np.int64, len(s))
    return s.array()  # type: ignore[union-attr]


def row(rows: Any, i: int) -> DepSet:
    """Row i of a matrix as a scalar set."""
    start, stop = rows.indptr[i], rows.indptr[i + 1]
    if stop - start <= SMALL:
        return frozenset(rows.indices[start:stop].tolist())
    cols = np.sort(rows.indices[start:stop])
    return Lazy((), len(cols), cols)


def from_sets(sets: List[DepSet], n: int) -> Any:
    """One row per set."""
    m = len(sets)
    lengths = np.fromiter((len(s) if type(s) is frozenset else len(as_array(s)) for s in sets),
                          np.int64, m)
    indptr = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    if all(type(s) is frozenset for s in sets):
        indices = np.fromiter(chain.from_iterable(sets),  # type: ignore[arg-type]
                              np.int64, int(indptr[-1]))
    else:
        indices = np.concatenate([as_array(s) for s in sets]) if m else np.zeros(0, np.int64)
    return make(indices, indptr, m, n)


def repeat_set(s: DepSet, m: int, n: int) -> Any:
    """`m` rows, each the set `s`."""
    cols = np.sort(as_array(s))
    indptr = np.arange(m + 1, dtype=np.int64) * len(cols)
    return make(np.tile(cols, m), indptr, m, n)
