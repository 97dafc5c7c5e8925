"""The traced array and the traced scalar that stand in for x and everything computed from it.

A traced array is a storage (one dependency row per element of the array it was made as) and
an integer array of positions into that storage, shaped like the array. NumPy's own indexing,
reshaping and transposing act on the positions, so views and copies come out exactly as NumPy
makes them: a basic slice shares the storage and writes through it, a fancy index gathers new
rows. Writes of single elements are buffered in the storage and merged in one vectorised step
when an array operation next reads it, so a loop over elements stays O(n).
"""


import sys
from typing import Any, Literal, Optional, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._deps import DepSet
from vendrel.tracing._errors import (
    BRANCH, SCALAR_SETITEM, TO_ARRAY, TO_INTEGER, TO_NUMBER, TO_TEXT, TRACED_INDEX, refusal,
    unsupported)
from vendrel.tracing._storage import Storage, twin
from vendrel.tracing._tables import RULES

PLAIN_SCALARS = (float, int, bool, complex)
# The SciPy routines that ask NumPy for an array and, given an opaque object, hand the
# product back to the other operand's reflected method (__rmatmul__, __rmul__).
_SPARSE_DISPATCH = frozenset(("_matmul_dispatch", "_mul_dispatch", "_rmatmul_dispatch",
                              "_rmul_dispatch"))


class _NoValue:
    """Conversions to plain numbers or text, which a traced value cannot give: it has no value."""

    __slots__ = ()

    def __format__(self, format_spec: str) -> str:
        raise refusal(TO_TEXT)

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
        return RULES["ufunc"](ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        return RULES["function"](func, types, args, kwargs)

    def __bool__(self) -> bool:
        raise refusal(BRANCH)

    def __setitem__(self, key: Any, value: Any) -> None:
        raise unsupported(SCALAR_SETITEM)

    def __getitem__(self, key: Any) -> "TracedScalar":
        # As a NumPy scalar: s[()] and s[...] are the scalar (NumPy gives a 0-d array for
        # s[...], a copy, which as a scalar it is).
        if key is Ellipsis or (type(key) is tuple and not key):
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

    def __getattr__(self, name: str) -> Any:
        return _refuse_attribute(name)

    def __matmul__(self, other: Any) -> Any:
        raise ValueError("matmul: a scalar operand is not allowed, use '*' instead")

    __rmatmul__ = __matmul__



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
        if like is not None and like.ndim > 1:
            # The strides of `like` itself (of its axes of length 1 too), counted in elements,
            # where it is one block of memory, as the arrays NumPy makes are.
            if like.size and np.may_share_memory(like.ravel("K"), like):
                root = twin(like, np.intp)
            else:
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
        while caller.f_back is not None and caller.f_globals.get("__name__", "").startswith(
                "vendrel.tracing"):
            caller = caller.f_back  # NumPy's constructors, wrapped while tracing
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

    def item(self, *args: Any) -> Any:
        raise refusal(TO_NUMBER)

    def __getattr__(self, name: str) -> Any:
        return _refuse_attribute(name)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return RULES["ufunc"](ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        return RULES["function"](func, types, args, kwargs)

    # --- indexing -------------------------------------------------------------------------

    def __getitem__(self, key: Any) -> Any:
        pos = self._pos
        if (type(key) is int and pos.ndim == 1) or _element_key(key, pos.ndim):
            return TracedScalar(self._storage.row(int(pos[key])), self.dtype, self._storage.n)
        return self.from_positions(pos[check_key(key)])

    def __setitem__(self, key: Any, value: Any) -> None:
        pos = self._pos
        if not pos.flags.writeable:
            raise ValueError("assignment destination is read-only")
        storage = self._storage
        single = _element_key(key, pos.ndim)
        if not single and _traced_mask(key):
            return self._assign_where(key, value)
        target = pos[key] if single else pos[check_key(key)]
        if self._part:
            shape = np.shape(target)
            rows = RULES["rows"](value, shape, storage.n)
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
                storage.values = None
                return
            if value_kind in PLAIN_SCALARS or isinstance(value, np.generic):
                storage.pending[int(target)] = _deps.NONE
                storage.identity = False
                storage.values = None
                return
        if isinstance(value, TracedArray) and value._storage is storage:
            if isinstance(target, np.ndarray) and _same_view(value._pos, target):
                return  # the write-back of an in-place operator on this very view
            if np.may_share_memory(value._pos, pos):
                return self._assign_overlapping(key, value)
        storage.write(np.ravel(target), RULES["rows"](value, np.shape(target), storage.n))

    def _assign_where(self, mask: "TracedArray", value: Any) -> None:
        """self[mask] = value with a traced boolean mask (``c[c < 0] = 0.0``): which elements
        change depends on x, so each element under the mask may keep its value or take the
        new one, and depends on both and on its mask element (a sound superset). Only one
        value for all (a scalar) is followed: an array's k-th value goes to the k-th chosen
        element, which the values decide."""
        if np.ndim(value) != 0:
            raise unsupported(*TRACED_INDEX)
        shape, n = self.shape, self.n
        if mask.shape != shape[:mask.ndim]:
            raise IndexError("boolean index did not match indexed array: the index has "
                             "shape %r and the array %r" % (mask.shape, shape))
        spread = mask.reshape(mask.shape + (1,) * (len(shape) - mask.ndim))
        rows = _deps.union(self.rows(), RULES["rows"](spread, shape, n),
                           RULES["rows"](value, shape, n))
        self.write(rows)

    def _assign_overlapping(self, key: Any, value: "TracedArray") -> None:
        """self[key] = value where value is a view of the same elements.

        NumPy copies an overlapping value first for most keys, but a boolean mask assigns
        element by element, so a later element can receive one written earlier. The same
        assignment made by NumPy on the storage's slot numbers, laid out in memory as the
        positions are, says which old element each slot holds afterwards.
        """
        storage = self._storage
        root = storage.root
        memory = root.ravel("K")  # the slots in memory order (the root is contiguous)
        if not np.may_share_memory(memory, root):  # pragma: no cover - roots are contiguous
            raise unsupported("an assignment from an overlapping view of the same array")
        mirror = memory.copy()
        start = root.__array_interface__["data"][0]
        as_strided = np.lib.stride_tricks.as_strided

        def same(pos: np.ndarray) -> np.ndarray:
            offset = (pos.__array_interface__["data"][0] - start) // pos.itemsize
            return as_strided(mirror[offset:], shape=pos.shape, strides=pos.strides)
        same(self._pos)[key] = same(value._pos)
        changed = np.flatnonzero(mirror != memory)
        if len(changed):
            storage.write(memory[changed], _deps.gather(storage.matrix(), mirror[changed]))

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

    def astype(self, dtype: Any, order: Literal["K", "A", "C", "F"] = "K",
               casting: Literal["no", "equiv", "safe", "same_kind", "unsafe"] = "unsafe",
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
            return RULES["matmul"](self, other)
        return np.matmul(self, other)

    def __rmatmul__(self, other: Any) -> Any:
        if scipy.sparse.issparse(other):
            return RULES["matmul"](other, self)
        return np.matmul(other, self)

    def __imatmul__(self, other: Any) -> Any:
        self[...] = self @ other
        return self



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


def _traced_mask(key: Any) -> bool:
    """Whether `key` is one traced boolean array (a mask computed from x)."""
    if isinstance(key, MadeArray) and key.plain():
        return False
    return isinstance(key, TracedArray) and key.dtype == bool


def check_key(key: Any) -> Any:
    """The index, checked to hold no traced value."""
    parts = key if type(key) is tuple else (key,)
    if any(isinstance(part, MadeArray) for part in parts):
        # An index array the function made: its values, while nothing traced is in it.
        key = RULES["plain"](key)
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



TracedScalar.__hash__ = None  # type: ignore[assignment]
TracedArray.__hash__ = None  # type: ignore[assignment]


class MadeArray(TracedArray):
    """An array the traced function made itself (``np.zeros(n)``, ``np.array([1.0, 2.0])``).

    Until a traced value is written into it, it is its values: it converts, compares, indexes
    and computes as NumPy's array would, and an operation whose operands are all such values
    is NumPy's own. The first traced write makes it a traced array whose elements are
    constants (no dependencies) where nothing traced was written. Values handed out as a plain
    array (to a library, through ``np.asarray``) may alias it in NumPy, so a later traced write
    into it is refused rather than missed.
    """

    __slots__ = ()

    @classmethod
    def of(cls, values: np.ndarray, n: int) -> "MadeArray":
        size = values.size
        root = None
        if values.ndim > 1 and not values.flags.c_contiguous and values.size and \
                np.may_share_memory(values.ravel("K"), values):
            root = twin(values, np.intp)
            root[...] = np.arange(size, dtype=np.intp).reshape(values.shape)
        storage = Storage(_deps.empty(size, n), n, root=root)
        storage.values = values.copy(order="C").reshape(-1)
        pos = storage.root if root is not None else storage.root.reshape(values.shape)
        return cls(storage, pos, values.dtype)

    def _flat(self) -> np.ndarray:
        """The values in C order (a made array's storage keeps them)."""
        values = self._storage.values
        assert values is not None
        return values

    def plain(self) -> bool:
        """Whether nothing traced was written: the array is its values (any write into its
        storage, even of constants, ends them)."""
        return self._storage.values is not None

    def values(self, seal: bool = True) -> np.ndarray:
        """The values, as a new array laid out as this one; `seal`: they leave the trace."""
        storage = self._storage
        if seal:
            storage.sealed = True
        pos = self._pos
        laid = np.empty_like(pos, dtype=self._dtype) if pos.ndim > 1 else \
            np.empty(pos.shape, self._dtype)
        laid[...] = self._flat()[pos]
        return laid

    def from_positions(self, pos: Any) -> Any:
        if not self.plain():
            return super().from_positions(pos)
        if isinstance(pos, (list, tuple)):
            return type(pos)(self.from_positions(p) for p in pos)
        if not isinstance(pos, np.ndarray):
            return self._flat()[int(pos)]
        if np.may_share_memory(pos, self._storage.root):
            return MadeArray(self._storage, pos, self._dtype)
        copy = np.empty_like(pos, dtype=self._dtype) if pos.ndim > 1 else \
            np.empty(pos.shape, self._dtype)
        copy[...] = self._flat()[pos]
        return MadeArray.of(copy, self.n)

    def __getitem__(self, key: Any) -> Any:
        key = RULES["plain"](key)
        if self.plain():
            target = self._pos[key]
            if not isinstance(target, np.ndarray) or target.ndim == 0 and \
                    _element_key(key, self._pos.ndim):
                return self._flat()[int(target)]
            return self.from_positions(target)
        return super().__getitem__(key)

    def __setitem__(self, key: Any, value: Any) -> None:
        key = RULES["plain"](key)
        if isinstance(value, MadeArray) and value.plain():
            value = value.values(seal=False)
        if self.plain() and not RULES["traced"](value) and not RULES["traced"](key):
            if not self._pos.flags.writeable:
                raise ValueError("assignment destination is read-only")
            target = self._pos[key]
            values = self._flat()
            # NumPy's assignment, broadcasting and casting, on the values at those positions.
            chosen = values[target]
            if isinstance(chosen, np.ndarray):
                chosen[...] = value
                values[target] = chosen
            else:
                values[int(target)] = value
            return
        self._check_open()
        super().__setitem__(key, value)

    def _check_open(self) -> None:
        if getattr(self._storage, "sealed", False):
            raise unsupported(
                "a traced value written into an array the function made after its values were "
                "handed out as a plain array", "NumPy's plain array may share its memory; "
                "write the traced values before passing the array on")

    def write(self, rows: Optional[Any], mask: Optional[np.ndarray] = None) -> None:
        self._check_open()
        super().write(rows, mask)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        if not self.plain():
            return super().__array__(dtype, copy)
        values = self.values()
        return values if dtype is None else values.astype(dtype)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        return RULES["made_ufunc"](ufunc, method, inputs, kwargs)

    def __array_function__(self, func: Any, types: Any, args: Any, kwargs: Any) -> Any:
        return RULES["made_function"](func, types, args, kwargs)

    def __bool__(self) -> bool:
        if self.plain():
            return bool(self.values(seal=False))
        return super().__bool__()

    def item(self, *args: Any) -> Any:
        if self.plain():
            return self.values(seal=False).item(*args)
        return super().item(*args)

    def tolist(self) -> Any:
        if self.plain():
            return self.values(seal=False).tolist()
        return super().tolist()

    def __float__(self) -> float:
        if self.plain():
            return float(self.values(seal=False))
        return super().__float__()

    def __complex__(self) -> complex:  # type: ignore[override]
        if self.plain():
            return complex(self.values(seal=False))
        return super().__complex__()

    def __int__(self) -> int:
        if self.plain():
            return int(self.values(seal=False))
        return super().__int__()

    def __index__(self) -> int:
        if self.plain():
            return self.values(seal=False).__index__()
        return super().__index__()

    def __format__(self, format_spec: str) -> str:
        if self.plain():
            return format(self.values(seal=False), format_spec)
        return super().__format__(format_spec)

    def __repr__(self) -> str:
        if self.plain():
            return repr(self.values(seal=False))
        return "TracedArray(shape=%r, dtype=%s)" % (self.shape, self.dtype)

    def astype(self, dtype: Any, order: Literal["K", "A", "C", "F"] = "K",
               casting: Literal["no", "equiv", "safe", "same_kind", "unsafe"] = "unsafe",
               subok: bool = True, copy: bool = True) -> Any:
        if not self.plain():
            return super().astype(dtype, order, casting, subok, copy)
        if not copy and np.dtype(dtype) == self.dtype:
            return self
        return MadeArray.of(self.values(seal=False).astype(dtype, order, casting), self.n)


MadeArray.__hash__ = None  # type: ignore[assignment]
