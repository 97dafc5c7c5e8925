"""Arguments of NumPy calls seen as arrays of dependency rows, and the traced results made
from rows: what every rule reads its arguments with and writes its results with."""

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._arrays import TracedArray, TracedScalar
from vendrel.tracing._deps import DepSet
from vendrel.tracing._errors import PLAIN_OUT, unsupported
from vendrel.tracing._storage import twin
from vendrel.tracing._tables import RULES


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


def stand_in(value: Any, dtype: Any = None) -> Any:
    """What NumPy is handed in place of a traced value to find its result's layout: zeros of
    the value's dtype laid out as the value; constants as they are (lists and tuples gone
    through)."""
    if isinstance(value, TracedArray):
        return twin(value._pos, dtype or value.dtype)
    if isinstance(value, TracedScalar):
        return np.zeros((), dtype or value.dtype)
    if isinstance(value, list):
        return [stand_in(v) for v in value]
    if isinstance(value, tuple):
        return tuple(stand_in(v) for v in value)
    return value


def c_ordered(values: Sequence[Any]) -> bool:
    """Whether every array among `values` is C-contiguous (elementwise results are then C)."""
    for value in values:
        array = value._pos if isinstance(value, TracedArray) else value
        if isinstance(array, np.ndarray) and array.ndim > 1 and not array.flags.c_contiguous:
            return False
        if isinstance(value, (list, tuple)) and not c_ordered(value):
            return False
    return True


def made_by_numpy(function: Any, *args: Any, **kwargs: Any) -> Any:
    """What `function` makes of the arguments' stand-ins: arrays laid out as NumPy lays out
    its results for the arguments themselves."""
    with np.errstate(all="ignore"):
        return function(*[stand_in(a) for a in args],
                        **{k: stand_in(v) for k, v in kwargs.items()})


def elementwise_layout(function: Any, values: Sequence[Any], shape: Tuple[int, ...],
                       **kwargs: Any) -> Any:
    """The layout NumPy gives an elementwise `function` of `values` (None: C order)."""
    if len(shape) < 2 or c_ordered(list(values) + list(kwargs.values())):
        return None
    return made_by_numpy(function, *values, **kwargs)


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



def finish(value: Any, out: Any) -> Any:
    """`value`, or written into `out` (a traced array) and `out` returned."""
    if isinstance(out, tuple):
        out = out[0] if out else None
    if out is None:
        return value
    if not isinstance(out, TracedArray):
        raise unsupported(*PLAIN_OUT)
    out.write(operand(value, out.n).broadcast(out.shape, out.n))
    return out


RULES["rows"] = broadcast_rows
