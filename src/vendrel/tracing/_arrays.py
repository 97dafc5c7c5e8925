"""The traced array and the traced scalar that stand in for x and everything computed from it.

A traced array is a storage (one dependency row per element of the array it was made as) and
an integer array of positions into that storage, shaped like the array. NumPy's own indexing,
reshaping and transposing act on the positions, so views and copies come out exactly as NumPy
makes them: a basic slice shares the storage and writes through it, a fancy index gathers new
rows. Writes of single elements are buffered in the storage and merged in one vectorised step
when an array operation next reads it, so a loop over elements stays O(n).
"""

import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._deps import DepSet
from vendrel.tracing._errors import (
    BRANCH, SCALAR_SETITEM, TO_ARRAY, TO_INTEGER, TO_NUMBER, TO_TEXT, TRACED_INDEX, refusal,
    unsupported)

PLAIN_SCALARS = (float, int, bool, complex)
# The SciPy routines that ask NumPy for an array and, given an opaque object, hand the
# product back to the other operand's reflected method (__rmatmul__, __rmul__).
# Reads and writes of up to this many elements go through the sets of single elements, so that
# a loop over small slices costs O(1) per step rather than a merge of the whole matrix.
_FEW = 32
_SPARSE_DISPATCH = frozenset(("_matmul_dispatch", "_mul_dispatch", "_rmatmul_dispatch",
                              "_rmul_dispatch"))


class Storage:
    """Dependency rows of one array's elements, with writes buffered until the next read.

    Single elements go to a dictionary, so that a loop writing r[i] costs a dictionary store;
    larger writes queue as blocks, so that a loop writing the rows of a grid one by one does
    not rebuild the matrix each time. Blocks are kept in the order of the writes (the dictionary
    joins the queue as a block before any later block), and one vectorised merge applies them
    all, the last write of an element winning, as NumPy's assignment does.
    """

    __slots__ = ("rows", "pending", "blocks", "root", "flat", "n", "identity")

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
        if pos.size <= _FEW and not self.blocks:
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
        if len(positions) <= _FEW:
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
        if len(positions) <= _FEW and not self.blocks:
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


class _NoValue:
    """Conversions to plain numbers, which a traced value cannot give: it has no value."""

    __slots__ = ()

    def __float__(self) -> float:
        raise refusal(TO_NUMBER)

    __complex__ = __float__

    def __int__(self) -> int:
        raise refusal(TO_INTEGER)

    __index__ = __int__


class TracedScalar(_NoValue):
    """One traced number: the set of inputs it depends on, and its dtype."""

    __slots__ = ("deps", "dtype", "n")

    shape: Tuple[int, ...] = ()
    ndim = 0
    size = 1

    def __init__(self, deps: DepSet, dtype: np.dtype, n: int) -> None:
        self.deps, self.dtype, self.n = deps, dtype, n

    def __repr__(self) -> str:
        return "TracedScalar(dtype=%s, depends on %d inputs)" % (self.dtype, len(_deps.as_array(
            self.deps)))

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return _ufuncs.dispatch(ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        return _functions.dispatch(func, types, args, kwargs)

    def __bool__(self) -> bool:
        raise refusal(BRANCH)

    def __setitem__(self, key: Any, value: Any) -> None:
        raise unsupported(SCALAR_SETITEM)

    def __getitem__(self, key: Any) -> "TracedScalar":
        # As a NumPy scalar: s[()] and s[...] are the scalar (NumPy gives a 0-d array for
        # s[...], a copy, which as a scalar it is).
        if key == () or key is Ellipsis:
            return self
        raise IndexError("invalid index to scalar variable.")

    def __round__(self, ndigits: Any = None) -> "TracedScalar":
        if ndigits is None:
            raise refusal(TO_INTEGER)
        return self

    def __floor__(self) -> int:
        raise refusal(TO_INTEGER)

    __ceil__ = __trunc__ = __floor__

    def item(self, *args: Any) -> Any:
        raise refusal(TO_NUMBER)

    def astype(self, dtype: Any, *args: Any, **kwargs: Any) -> "TracedScalar":
        return TracedScalar(self.deps, np.dtype(dtype), self.n)

    def copy(self) -> "TracedScalar":
        return self

    def conjugate(self) -> "TracedScalar":
        return self

    conj = conjugate

    @property
    def real(self) -> "TracedScalar":
        if self.dtype.kind != "c":
            return self
        return TracedScalar(self.deps, np.empty(0, self.dtype).real.dtype, self.n)

    @property
    def imag(self) -> "TracedScalar":
        if self.dtype.kind != "c":
            return TracedScalar(_deps.NONE, self.dtype, self.n)
        return TracedScalar(self.deps, np.empty(0, self.dtype).real.dtype, self.n)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        # np.array([x[0], x[1] * 2.0, 1.0]) asks each element for an array: an object array
        # keeps the traced scalars, which the object loops and the tracer's operands follow.
        # Its .imag would read as zeros, and a number dtype would drop the sets: refused.
        if dtype is not None and np.dtype(dtype) != object:
            raise refusal(TO_NUMBER)
        if self.dtype.kind == "c":
            raise unsupported("an array of complex traced scalars made by np.array or "
                              "np.asarray", "its imaginary parts would read as constant zeros; "
                              "join traced values with np.stack or np.concatenate")
        holder = np.empty((), dtype=object)
        holder[()] = self
        return holder

    def __format__(self, spec: str) -> str:
        raise refusal(TO_TEXT)

    def __getattr__(self, name: str) -> Any:
        return _refuse_attribute(name)

    def __matmul__(self, other: Any) -> Any:
        raise ValueError("matmul: a scalar operand is not allowed, use '*' instead")

    __rmatmul__ = __matmul__


def _scalar_operator(ufunc: Any, reflected: bool = False) -> Any:
    key = _ufuncs.dtype_key

    def operator(self: TracedScalar, other: Any) -> Any:
        kind = type(other)
        if kind is TracedScalar:
            deps = _deps.join(self.deps, other.deps)
            other_key = other.dtype
        elif kind in PLAIN_SCALARS or isinstance(other, np.generic):
            deps = self.deps
            other_key = key(other)
        elif scipy.sparse.issparse(other):
            return _sparse_operator(ufunc, self, other, reflected)
        else:
            return ufunc(other, self) if reflected else ufunc(self, other)
        keys = (other_key, self.dtype) if reflected else (self.dtype, other_key)
        dtypes = _ufuncs.result_dtypes(ufunc, keys)
        if len(dtypes) == 1:
            return TracedScalar(deps, dtypes[0], self.n)
        return tuple(TracedScalar(deps, dtype, self.n) for dtype in dtypes)
    return operator


def _scalar_unary(ufunc: Any) -> Any:
    def operator(self: TracedScalar) -> TracedScalar:
        return TracedScalar(self.deps, _ufuncs.result_dtypes(ufunc, (self.dtype,))[0], self.n)
    return operator


def _scalar_method(name: str) -> Any:
    # NumPy's object loops call a method named after the ufunc (x.sin(), x.exp()) on the
    # elements of an object array, such as np.array([x[0], x[1]]) makes.
    def method(self: TracedScalar) -> TracedScalar:
        return self
    method.__name__ = name
    return method


class TracedArray(_NoValue):
    """An array of traced values: positions into a storage of dependency rows."""

    __slots__ = ("_storage", "_pos", "_dtype", "_part")

    def __init__(self, storage: Storage, pos: np.ndarray, dtype: np.dtype,
                 part: bool = False) -> None:
        self._storage, self._pos, self._dtype = storage, pos, dtype
        # A view of the real or imaginary parts of complex elements: the storage keeps one set
        # per element, so reads give the whole element's set and writes join it (a write
        # replaces one part and keeps the other).
        self._part = part

    @classmethod
    def fresh(cls, rows: Optional[Any], shape: Tuple[int, ...], dtype: Any, n: int,
              like: Optional[np.ndarray] = None) -> "TracedArray":
        """A new array with these rows (C order), laid out in memory as `like` is, or in C."""
        size = int(np.prod(shape, dtype=np.int64))
        if rows is None:
            rows = _deps.empty(size, n)
        root = None
        if like is not None and like.ndim > 1 and not like.flags.c_contiguous:
            root = np.empty_like(like, dtype=np.intp)
            root[...] = np.arange(size, dtype=np.intp).reshape(shape)
        storage = Storage(rows, n, root=root)
        pos = storage.root if root is not None else storage.root.reshape(shape)
        return cls(storage, pos, np.dtype(dtype))

    @property
    def dtype(self) -> np.dtype:
        return self._dtype

    @dtype.setter
    def dtype(self, value: Any) -> None:
        if np.dtype(value) != self._dtype:
            raise unsupported("assignment to .dtype", "it reinterprets the bytes of the elements")

    # --- what NumPy code asks of an array -------------------------------------------------

    @property
    def shape(self) -> Tuple[int, ...]:
        return self._pos.shape

    @shape.setter
    def shape(self, value: Any) -> None:
        # NumPy changes the shape in place where that needs no copy, and raises otherwise; so
        # do the positions, laid out as the array is.
        pos = self._pos.view()
        pos.shape = value
        self._pos = pos

    @property
    def ndim(self) -> int:
        return self._pos.ndim

    @property
    def size(self) -> int:
        return self._pos.size

    @property
    def itemsize(self) -> int:
        return self.dtype.itemsize

    @property
    def nbytes(self) -> int:
        return self.size * self.dtype.itemsize

    @property
    def n(self) -> int:
        return self._storage.n

    def __len__(self) -> int:
        if not self._pos.ndim:
            raise TypeError("len() of unsized object")
        return self._pos.shape[0]  # type: ignore[no-any-return]

    def __repr__(self) -> str:
        return "TracedArray(shape=%r, dtype=%s)" % (self.shape, self.dtype)

    def __iter__(self) -> Any:
        if not self._pos.ndim:
            raise TypeError("iteration over a 0-d array")
        for i in range(self._pos.shape[0]):
            yield self[i]

    def rows(self) -> Any:
        """The dependency rows of the elements, in C order."""
        return self._storage.gather(self._pos)

    def from_positions(self, pos: Any) -> Any:
        """The array (or scalar) at positions `pos` of this array's storage; -1: a constant.

        Positions that share memory with the storage's are a view of this array, as NumPy's
        array would be; any other array of positions is a copy, with its own storage, laid out
        in memory as NumPy laid out the positions.
        """
        if isinstance(pos, (list, tuple)):
            return type(pos)(self.from_positions(p) for p in pos)
        if not isinstance(pos, np.ndarray):
            p = int(pos)
            deps = self._storage.row(p) if p >= 0 else _deps.NONE
            return TracedScalar(deps, self.dtype, self.n)
        if np.may_share_memory(pos, self._storage.root):
            return TracedArray(self._storage, pos, self.dtype, self._part)
        rows = _deps.gather(self._storage.matrix(), pos.reshape(-1))
        if pos.ndim > 1 and not pos.flags.c_contiguous and pos.flags.writeable and \
                np.may_share_memory(pos.ravel("K"), pos):
            # A copy in another layout: the positions become its own, in place, so that the
            # layout stays NumPy's.
            pos[...] = np.arange(pos.size, dtype=np.intp).reshape(pos.shape)
            return TracedArray(Storage(rows, self.n, root=pos), pos, self.dtype)
        return TracedArray.fresh(rows, pos.shape, self.dtype, self.n)

    # --- values that would leave the trace ------------------------------------------------

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        caller = sys._getframe(1)
        if caller.f_code.co_name in _SPARSE_DISPATCH and \
                str(caller.f_globals.get("__name__", "")).startswith("scipy.sparse"):
            # SciPy then returns NotImplemented, and Python calls our reflected operator.
            holder = np.empty((), dtype=object)
            holder[()] = self
            return holder
        raise refusal(TO_ARRAY)

    def __bool__(self) -> bool:
        if self.size == 0:
            return False
        raise refusal(BRANCH)

    def __format__(self, spec: str) -> str:
        raise refusal(TO_TEXT)

    def item(self, *args: Any) -> Any:
        raise refusal(TO_NUMBER)

    def __getattr__(self, name: str) -> Any:
        return _refuse_attribute(name)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return _ufuncs.dispatch(ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        return _functions.dispatch(func, types, args, kwargs)

    # --- indexing -------------------------------------------------------------------------

    def __getitem__(self, key: Any) -> Any:
        pos = self._pos
        if (type(key) is int and pos.ndim == 1) or _element_key(key, pos.ndim):
            return TracedScalar(self._storage.row(int(pos[key])), self.dtype, self._storage.n)
        return self.from_positions(pos[_check_key(key)])

    def __setitem__(self, key: Any, value: Any) -> None:
        pos = self._pos
        if not pos.flags.writeable:
            raise ValueError("assignment destination is read-only")
        storage = self._storage
        single = _element_key(key, pos.ndim)
        target = pos[key] if single else pos[_check_key(key)]
        if self._part:
            shape = np.shape(target)
            rows = broadcast_rows(value, shape, storage.n)
            if rows is not None and np.size(target):
                storage.join(np.ravel(target), rows)
            return
        if single or np.ndim(target) == 0:
            if isinstance(value, TracedArray) and value.size == 1:
                value = TracedScalar(_deps.row(value.rows(), 0), value.dtype, value.n)
            value_kind = type(value)
            if value_kind is TracedScalar:
                storage.pending[int(target)] = value.deps
                storage.identity = False
                return
            if value_kind in PLAIN_SCALARS or isinstance(value, np.generic):
                storage.pending[int(target)] = _deps.NONE
                storage.identity = False
                return
        if isinstance(value, TracedArray) and value._storage is storage and \
                isinstance(target, np.ndarray) and _same_view(value._pos, target):
            return  # the write-back of an in-place operator on this very view
        storage.write(np.ravel(target), broadcast_rows(value, np.shape(target), storage.n))

    def write(self, rows: Optional[Any], mask: Optional[np.ndarray] = None) -> None:
        """Set every element's rows (C order), or those where `mask` holds."""
        if not self._pos.flags.writeable:
            raise ValueError("output array is read-only")
        if self._part:
            if rows is not None and self.size:
                if mask is not None:
                    rows = _deps.gather(rows, np.where(mask, np.arange(mask.size), -1))
                self._storage.join(np.ravel(self._pos), rows)
            return
        if mask is None:
            self._storage.write(np.ravel(self._pos), rows)
        else:
            chosen = np.flatnonzero(mask)
            self._storage.write(np.ravel(self._pos)[chosen],
                                None if rows is None else _deps.gather(rows, chosen))

    # --- NumPy's array methods, through the same rules as the functions -------------------

    @property
    def T(self) -> "TracedArray":
        return self.from_positions(self._pos.T)  # type: ignore[no-any-return]

    @property
    def mT(self) -> "TracedArray":
        return self.from_positions(np.swapaxes(self._pos, -1, -2))  # type: ignore

    @property
    def real(self) -> Any:
        return np.real(self)

    @real.setter
    def real(self, value: Any) -> None:
        self.real[...] = value

    @property
    def imag(self) -> Any:
        return np.imag(self)

    @imag.setter
    def imag(self, value: Any) -> None:
        imag = self.imag
        if not isinstance(imag, TracedArray) or not imag._part:
            raise TypeError("array does not have imaginary part to set")
        imag[...] = value

    def part(self, dtype: np.dtype) -> "TracedArray":
        """The view of the real or the imaginary parts of complex elements."""
        return TracedArray(self._storage, self._pos, dtype, True)

    def reshape(self, *shape: Any, **kwargs: Any) -> Any:
        if len(shape) == 1 and isinstance(shape[0], (tuple, list)):
            shape = tuple(shape[0])
        return self.from_positions(self._pos.reshape(shape, **kwargs))

    def ravel(self, order: Any = "C") -> Any:
        return self.from_positions(self._pos.ravel(order))

    def flatten(self, order: Any = "C") -> Any:
        return self.from_positions(self._pos.flatten(order))

    def transpose(self, *axes: Any) -> Any:
        return self.from_positions(self._pos.transpose(*axes))

    def swapaxes(self, a: int, b: int) -> Any:
        return self.from_positions(self._pos.swapaxes(a, b))

    def squeeze(self, axis: Any = None) -> Any:
        return self.from_positions(self._pos.squeeze(axis))

    def diagonal(self, offset: int = 0, axis1: int = 0, axis2: int = 1) -> Any:
        return self.from_positions(self._pos.diagonal(offset, axis1, axis2))

    def copy(self, order: Any = "C") -> Any:
        return self.from_positions(self._pos.copy(order))

    __copy__ = copy

    def __deepcopy__(self, memo: Any) -> Any:
        return self.copy()

    def view(self, *args: Any, **kwargs: Any) -> Any:
        if args or kwargs:
            raise unsupported("x.view(...) with a type")
        return TracedArray(self._storage, self._pos.view(), self.dtype, self._part)

    def astype(self, dtype: Any, order: str = "K", casting: str = "unsafe",
               subok: bool = True, copy: bool = True) -> Any:
        given, dtype = dtype, np.dtype(dtype)
        if dtype.kind not in "biufcO":
            raise unsupported("x.astype(%s)" % getattr(given, "__name__", given),
                              "only numbers carry dependencies")
        if not np.can_cast(self.dtype, dtype, casting):
            raise TypeError("Cannot cast array data from %r to %r according to the rule %r"
                            % (self.dtype, dtype, casting))
        # As NumPy: the array itself only where nothing changes; any change of dtype or layout
        # copies (a dtype's copy never shares the elements, whatever `copy` says).
        pos = self._pos
        contiguous = {"K": True, "C": pos.flags.c_contiguous, "F": pos.flags.f_contiguous,
                      "A": pos.flags.c_contiguous or pos.flags.f_contiguous}
        if not copy and dtype == self.dtype and contiguous[order]:
            return self
        copied = self.from_positions(pos.copy(order=order))
        copied._dtype = dtype
        return copied

    def fill(self, value: Any) -> None:
        self[...] = value

    def tolist(self) -> Any:
        if self.ndim == 0:
            return self[()]
        return [item.tolist() if isinstance(item, TracedArray) else item for item in self]

    def compress(self, condition: Any, axis: Any = None, out: Any = None) -> Any:
        # np.compress takes the condition first.
        return np.compress(condition, self, axis, out)

    def conj(self) -> Any:
        return np.conjugate(self)

    conjugate = conj

    def __matmul__(self, other: Any) -> Any:
        if scipy.sparse.issparse(other):
            return _contract.matmul(self, other)
        return np.matmul(self, other)

    def __rmatmul__(self, other: Any) -> Any:
        if scipy.sparse.issparse(other):
            return _contract.matmul(other, self)
        return np.matmul(other, self)

    def __imatmul__(self, other: Any) -> Any:
        self[...] = self @ other
        return self


def _method(name: str) -> Any:
    function = getattr(np, name)

    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        return function(self, *args, **kwargs)
    method.__name__ = name
    return method


for _name in ("sum", "prod", "mean", "std", "var", "max", "min", "any", "all", "cumsum",
              "cumprod", "dot", "clip", "repeat", "take", "trace", "round", "nonzero",
              "argmax", "argmin", "argsort", "sort", "searchsorted", "put",
              "choose", "partition", "argpartition", "ptp"):
    setattr(TracedArray, _name, _method(_name))
for _name in ("sum", "prod", "mean", "std", "var", "max", "min", "any", "all", "cumsum",
              "cumprod", "dot", "clip", "round", "reshape", "ravel", "repeat",
              "squeeze", "transpose", "nonzero", "argmax", "argmin"):
    if not hasattr(TracedScalar, _name):
        setattr(TracedScalar, _name, _method(_name))


def _array_operator(ufunc: Any, reflected: bool = False) -> Any:
    def operator(self: Any, other: Any) -> Any:
        if scipy.sparse.issparse(other):
            return _sparse_operator(ufunc, self, other, reflected)
        return _ufuncs.elementwise(ufunc, (other, self) if reflected else (self, other), {})
    return operator


def _array_inplace(ufunc: Any) -> Any:
    def operator(self: Any, other: Any) -> Any:
        # Each element joins its own set with the other operand's, where it already is: a
        # union into the storage, with nothing read out and written back.
        if scipy.sparse.issparse(other):
            raise unsupported("an in-place operator with a scipy.sparse operand")
        n = self.n
        other_operand = operand(other, n)
        dtype = _ufuncs.result_dtypes(ufunc, (self.dtype, other_operand.dtype))[0]
        if not np.can_cast(dtype, self.dtype, "same_kind"):
            raise TypeError("Cannot cast ufunc %r output from %r to %r with casting rule "
                            "'same_kind'" % (ufunc.__name__, dtype, self.dtype))
        if not self._pos.flags.writeable:
            raise ValueError("output array is read-only")
        rows = other_operand.broadcast(self.shape, n)
        if rows is not None and self.size:
            self._storage.join(np.ravel(self._pos), rows)
        return self
    return operator


def _array_unary(ufunc: Any) -> Any:
    def operator(self: Any) -> Any:
        return _ufuncs.elementwise(ufunc, (self,), {})
    return operator


def _sparse_operator(ufunc: Any, a: Any, b: Any, reflected: bool) -> Any:
    """`*` with a SciPy sparse matrix (not array) is the matrix product; the rest is refused."""
    sparse = a if scipy.sparse.issparse(a) else b
    if ufunc is np.multiply and _is_sparse_matrix(sparse) and np.ndim(b if sparse is a else a):
        return _contract.matmul(b, a) if reflected else _contract.matmul(a, b)
    raise unsupported("np.%s of a traced value and a scipy.sparse %s" % (
        ufunc.__name__, type(sparse).__name__), "only products with @, A.dot(x) or a sparse "
        "matrix's * are traced")


def _is_sparse_matrix(value: Any) -> bool:
    """A sparse matrix, whose `*` is the matrix product; sparse arrays multiply elementwise."""
    sparray = getattr(scipy.sparse, "sparray", None)
    if sparray is not None:
        return not isinstance(value, sparray)
    # SciPy 1.8 to 1.10 have sparse arrays (csr_array, ...) but no common base class to test.
    return not type(value).__name__.endswith("_array")


_BINARY = {
    "add": np.add, "sub": np.subtract, "mul": np.multiply, "truediv": np.true_divide,
    "floordiv": np.floor_divide, "mod": np.remainder, "pow": np.power, "and": np.bitwise_and,
    "or": np.bitwise_or, "xor": np.bitwise_xor, "lshift": np.left_shift,
    "rshift": np.right_shift, "divmod": np.divmod,
}
_COMPARE = {"lt": np.less, "le": np.less_equal, "gt": np.greater, "ge": np.greater_equal,
            "eq": np.equal, "ne": np.not_equal}
_UNARY = {"neg": np.negative, "pos": np.positive, "abs": np.absolute, "invert": np.invert}


def _refuse_attribute(name: str) -> Any:
    if name.startswith("__") or not hasattr(np.ndarray, name):
        raise AttributeError(name)
    raise unsupported("the array attribute or method .%s" % name)


def _element_key(key: Any, ndim: int) -> bool:
    """Whether `key` picks one element by integers (the fast path of element loops)."""
    kind = type(key)
    if kind is int or (kind is not bool and isinstance(key, np.integer)):
        return ndim == 1
    return kind is tuple and len(key) == ndim and all(
        type(k) is int or isinstance(k, np.integer) for k in key)


def _check_key(key: Any) -> Any:
    """The index, checked to hold no traced value."""
    parts = key if type(key) is tuple else (key,)
    for part in parts:
        if isinstance(part, (TracedArray, TracedScalar)) or (
                isinstance(part, (list, np.ndarray)) and _holds_traced(part)):
            raise unsupported(*TRACED_INDEX)
    return key


def _holds_traced(value: Any) -> bool:
    if isinstance(value, np.ndarray):
        return value.dtype == object and any(
            isinstance(v, (TracedArray, TracedScalar)) for v in value.flat)
    return any(isinstance(v, (TracedArray, TracedScalar)) or
               (isinstance(v, (list, tuple, np.ndarray)) and _holds_traced(v)) for v in value)


def _same_view(a: np.ndarray, b: np.ndarray) -> bool:
    return (a.shape == b.shape and a.strides == b.strides and
            a.__array_interface__["data"][0] == b.__array_interface__["data"][0])


class Operand:
    """An argument seen as an array: its shape, dtype, and its rows (None for a constant)."""

    __slots__ = ("shape", "rows", "dtype", "scalar")

    def __init__(self, shape: Tuple[int, ...], rows: Optional[Any], dtype: Any,
                 scalar: Optional[DepSet] = None) -> None:
        self.shape, self.rows, self.dtype, self.scalar = shape, rows, dtype, scalar

    @property
    def size(self) -> int:
        return int(np.prod(self.shape, dtype=np.int64))

    def broadcast(self, shape: Tuple[int, ...], n: int) -> Optional[Any]:
        """The rows of this operand broadcast to `shape` (C order)."""
        if self.scalar is not None:
            return _deps.repeat_set(self.scalar, int(np.prod(shape, dtype=np.int64)), n)
        if self.rows is None or self.shape == shape:
            return self.rows
        source = np.arange(self.size, dtype=np.intp).reshape(self.shape)
        return _deps.gather(self.rows, np.broadcast_to(source, shape).ravel())


def operand(value: Any, n: int) -> Operand:
    if isinstance(value, TracedArray):
        return Operand(value.shape, value.rows(), value.dtype)
    if isinstance(value, TracedScalar):
        return Operand((), _deps.from_sets([value.deps], n), value.dtype, value.deps)
    if scipy.sparse.issparse(value):
        raise unsupported("an elementwise operation between a traced value and a scipy.sparse "
                          "%s" % type(value).__name__)
    if isinstance(value, (list, tuple)):
        value = np.asarray(value)
    if isinstance(value, np.ndarray) and value.dtype == object:
        return _object_operand(value, n)
    if isinstance(value, np.ndarray):
        return Operand(value.shape, None, value.dtype)
    if isinstance(value, np.generic):
        return Operand((), None, value.dtype)
    return Operand(np.shape(value), None, type(value))


def _object_operand(value: np.ndarray, n: int) -> Operand:
    """An object array, as np.array([x[0], 1.0, ...]) makes: its traced elements' sets."""
    sets: List[DepSet] = []
    dtypes = []
    for item in value.flat:
        if isinstance(item, TracedScalar):
            sets.append(item.deps)
            dtypes.append(item.dtype)
        elif isinstance(item, TracedArray) and item.size == 1:
            sets.append(_deps.row(item.rows(), 0))
            dtypes.append(item.dtype)
        elif isinstance(item, (TracedArray, TracedScalar)):
            raise unsupported("an object array holding traced arrays",
                              "join arrays with np.stack or np.concatenate")
        elif isinstance(item, (float, int, complex, np.generic)):
            sets.append(_deps.NONE)
            dtypes.append(np.asarray(item).dtype)
        else:
            raise TypeError("an array of numbers and traced values was expected, but it holds "
                            "a %s" % type(item).__name__)
    dtype = np.result_type(*dtypes) if dtypes else np.dtype(float)
    if dtype == object:
        dtype = np.dtype(float)
    if not any(sets):
        return Operand(value.shape, None, dtype)
    return Operand(value.shape, _deps.from_sets(sets, n), dtype)


def layout(value: Any) -> Optional[np.ndarray]:
    """An array laid out in memory as `value` (None where that is C order or has no say)."""
    if isinstance(value, TracedArray):
        array = value._pos
    elif isinstance(value, np.ndarray):
        array = value
    else:
        return None
    return None if array.ndim < 2 or array.flags.c_contiguous else array


def output_layout(values: Sequence[Any], shape: Tuple[int, ...]) -> Optional[np.ndarray]:
    """How NumPy lays out the output of an elementwise operation on `values` (None: C).

    NumPy's iterator allocates it in the order of the inputs' axes in memory (order "K");
    here the same iterator allocates it for the positions, without computing anything.
    """
    if len(shape) < 2:
        return None
    arrays = [layout(v) for v in values]
    if all(a is None for a in arrays):
        return None
    operands = [a if a is not None else np.broadcast_to(np.empty((), np.intp), np.shape(v))
                for a, v in zip(arrays, values) if np.ndim(v)]
    iterator = np.nditer(operands + [None], flags=["refs_ok", "zerosize_ok"],
                         op_flags=[["readonly"]] * len(operands) + [["writeonly", "allocate"]],
                         op_dtypes=[None] * len(operands) + [np.dtype(np.intp)])
    allocated = iterator.operands[-1]
    return allocated if allocated.shape == shape else None


def broadcast_rows(value: Any, shape: Tuple[int, ...], n: int) -> Optional[Any]:
    return operand(value, n).broadcast(shape, n)


def result(shape: Tuple[int, ...], rows: Optional[Any], dtype: Any, n: int,
           like: Optional[np.ndarray] = None) -> Any:
    """A fresh traced array (or scalar, for shape ()) with these rows, laid out as `like`."""
    if shape == ():
        deps = _deps.row(rows, 0) if rows is not None else _deps.NONE
        return TracedScalar(deps, np.dtype(dtype), n)
    return TracedArray.fresh(rows, shape, dtype, n, like)


def as_array(value: Any) -> TracedArray:
    """A traced array for a traced scalar (0-d), or the array itself."""
    if isinstance(value, TracedScalar):
        return TracedArray.fresh(_deps.from_sets([value.deps], value.n), (), value.dtype, value.n)
    return value  # type: ignore[no-any-return]


def is_traced(value: Any) -> bool:
    return isinstance(value, (TracedArray, TracedScalar))


def find_n(values: Sequence[Any]) -> Optional[int]:
    """The number of inputs, from the first traced value among `values` (searched in lists)."""
    for value in values:
        if isinstance(value, (TracedArray, TracedScalar)):
            return value.n
        if isinstance(value, (list, tuple)):
            found = find_n(value)
            if found is not None:
                return found
        elif isinstance(value, np.ndarray) and value.dtype == object:
            found = find_n(list(value.flat))
            if found is not None:
                return found
    return None


from vendrel.tracing import _contract, _functions, _ufuncs  # noqa: E402  (they use the types)

for _suffix, _ufunc in _BINARY.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_operator(_ufunc))
    setattr(TracedScalar, "__r%s__" % _suffix, _scalar_operator(_ufunc, True))
    setattr(TracedArray, "__%s__" % _suffix, _array_operator(_ufunc))
    setattr(TracedArray, "__r%s__" % _suffix, _array_operator(_ufunc, True))
    if _suffix != "divmod":
        setattr(TracedArray, "__i%s__" % _suffix, _array_inplace(_ufunc))
for _suffix, _ufunc in _COMPARE.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_operator(_ufunc))
    setattr(TracedArray, "__%s__" % _suffix, _array_operator(_ufunc))
for _suffix, _ufunc in _UNARY.items():
    setattr(TracedScalar, "__%s__" % _suffix, _scalar_unary(_ufunc))
    setattr(TracedArray, "__%s__" % _suffix, _array_unary(_ufunc))
for _name in dir(np):
    _candidate = getattr(np, _name)
    if isinstance(_candidate, np.ufunc) and _candidate.nin == 1 and _candidate.nout == 1 \
            and not hasattr(TracedScalar, _name):
        setattr(TracedScalar, _name, _scalar_method(_name))
TracedScalar.__hash__ = None  # type: ignore[assignment]
TracedArray.__hash__ = None  # type: ignore[assignment]
