"""Where a traced array's dependency rows live: one row per element of the array it was made
for, with writes buffered until the next read.

Positions into a storage (an integer array shaped and laid out as the array) are what a traced
array is; views share the storage, copies get their own.
"""

from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from vendrel.tracing import _deps
from vendrel.tracing._deps import DepSet

# Reads and writes of up to this many elements go through the sets of single elements, so that
# a loop over small slices costs O(1) per step rather than a merge of the whole matrix.
FEW = 32


class Storage:
    """Dependency rows of one array's elements, with writes buffered until the next read.

    Single elements go to a dictionary, so that a loop writing r[i] costs a dictionary store;
    larger writes queue as blocks, so that a loop writing the rows of a grid one by one does
    not rebuild the matrix each time. Blocks are kept in the order of the writes (the dictionary
    joins the queue as a block before any later block), and one vectorised merge applies them
    all, the last write of an element winning, as NumPy's assignment does.
    """

    __slots__ = ("rows", "pending", "blocks", "root", "flat", "n", "identity", "values", "sealed")

    def __init__(self, rows: Any, n: int, identity: bool = False,
                 root: Optional[np.ndarray] = None) -> None:
        self.rows = rows
        self.pending: Dict[int, DepSet] = {}
        self.blocks: List[Tuple[np.ndarray, Any]] = []
        # The positions of the array the storage was made for: their values count its elements
        # in C order, their memory is laid out as NumPy lays out that array (C, F, or the order
        # of another array's axes), so that NumPy's choices between view and copy on positions
        # are its choices on the array.
        if root is None:
            root = np.arange(rows.shape[0], dtype=np.intp)
        self.root = root
        self.flat = root.reshape(-1) if root.flags.c_contiguous else None
        self.n = n
        # x itself, not yet written to: element p depends on input p alone.
        self.identity = identity
        # For an array the traced function made: its values in C order while nothing traced
        # was written, and whether they were handed out as a plain array.
        self.values: Optional[np.ndarray] = None
        self.sealed = False

    def matrix(self) -> Any:
        if self.pending or self.blocks:
            self._merge()
        return self.rows

    def whole(self, pos: np.ndarray) -> bool:
        """Whether `pos` is every position in storage order."""
        # A C-contiguous block as long as a C-contiguous root and inside it can only be the
        # root itself.
        return (self.flat is not None and pos.size == self.root.size and pos.flags.c_contiguous
                and np.may_share_memory(pos, self.root))

    def gather(self, pos: np.ndarray) -> Any:
        if self.whole(pos):
            return self.matrix()
        if pos.size <= FEW and not self.blocks:
            # A few elements, as a loop reads them: from the sets, leaving the buffer be.
            return _deps.from_sets([self.row(p) for p in pos.ravel().tolist()], self.n)
        return _deps.gather(self.matrix(), pos.ravel())

    def row(self, p: int) -> DepSet:
        if self.identity:
            return frozenset((p,))
        found = self.pending.get(p)
        if found is not None:
            return found
        if self.blocks:
            self._merge()
        return _deps.row(self.rows, p)

    def write(self, positions: np.ndarray, rows: Optional[Any]) -> None:
        """Set the rows at `positions` (1-D; the last of repeated positions wins)."""
        if not len(positions):
            return
        self.identity = False
        self.values = None  # a made array's values end at its first traced write
        if len(positions) <= FEW:
            pending = self.pending
            for k, p in enumerate(positions.tolist()):
                pending[p] = _deps.NONE if rows is None else _deps.row(rows, k)
            return
        if self.pending:
            self.blocks.append(self._pending_block())
        if rows is None:
            rows = _deps.empty(len(positions), self.n)
        self.blocks.append((positions, rows))

    def join(self, positions: np.ndarray, rows: Any) -> None:
        """Add `rows` to the rows at `positions` (1-D, distinct): an in-place operator."""
        self.values = None
        if len(positions) <= FEW and not self.blocks:
            for k, p in enumerate(positions.tolist()):
                self.pending[p] = _deps.join(self.row(p), _deps.row(rows, k))
            self.identity = False
            return
        matrix = self.matrix()
        self.identity = False
        count = self.root.size
        if len(positions) == count and np.array_equal(positions, self._order()):
            self.rows = _deps.union(matrix, rows)
            return
        source = np.full(count, -1, dtype=np.intp)
        source[positions] = np.arange(len(positions), dtype=np.intp)
        self.rows = _deps.union(matrix, _deps.gather(rows, source))

    def _order(self) -> np.ndarray:
        """Every position, in order."""
        return self.flat if self.flat is not None else np.arange(self.root.size, dtype=np.intp)

    def _pending_block(self) -> Tuple[np.ndarray, Any]:
        pending, self.pending = self.pending, {}
        keys = np.fromiter(pending.keys(), np.intp, len(pending))
        return keys, _deps.from_sets(list(pending.values()), self.n)

    def _merge(self) -> None:
        blocks, self.blocks = self.blocks, []
        if self.pending:
            blocks.append(self._pending_block())
        count = self.root.size
        if len(blocks) == 1 and len(blocks[0][0]) == count and \
                np.array_equal(blocks[0][0], self._order()):
            self.rows = blocks[0][1]
            return
        positions = np.concatenate([b[0] for b in blocks])
        source = np.arange(count, dtype=np.intp)
        source[positions] = count + np.arange(len(positions), dtype=np.intp)
        written = _deps.stack([self.rows] + [b[1] for b in blocks], self.n)
        self.rows = _deps.gather(written, source)


_lib_utils = getattr(np.lib, "array_utils", None)  # NumPy 2 moved byte_bounds there
_byte_bounds: Any = getattr(_lib_utils, "byte_bounds", None) or getattr(np, "byte_bounds")


def twin(array: np.ndarray, dtype: Any, fill: Any = 0) -> np.ndarray:
    """A new array of `dtype` holding `fill`, laid out in memory exactly as `array` is.

    Its strides are `array`'s counted in elements (negative, stepped and zero strides too),
    so that a NumPy function handed the twin lays out its result, and chooses between view
    and copy, as it would for `array`.
    """
    dtype = np.dtype(dtype)
    item = array.itemsize
    start = array.__array_interface__["data"][0]
    if array.size == 0 or any(s % item for s in array.strides):
        return np.full_like(array, fill, dtype=dtype)  # pragma: no cover - unaligned records
    low, high = _byte_bounds(array)
    memory = np.full((high - low) // item, fill, dtype=dtype)
    return np.lib.stride_tricks.as_strided(
        memory[(start - low) // item:], array.shape,
        tuple(s // item * dtype.itemsize for s in array.strides))
