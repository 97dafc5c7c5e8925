"""Unions along axes: reductions (one row per element of the axes left) and accumulations
(prefix unions), shared by NumPy's reducing functions and the ufuncs' methods."""

from typing import Any, Tuple

import numpy as np

from vendrel.tracing import _deps
from vendrel.tracing._operands import as_array, find_n, finish, layout, operand, result
from vendrel.tracing._storage import twin

_AxisError = getattr(getattr(np, "exceptions", None), "AxisError", None) or \
    getattr(np, "AxisError")


def given(value: Any) -> bool:
    """Whether an optional argument was given (NumPy passes its own sentinel for defaults)."""
    return value is not None and type(value).__name__ != "_NoValueType"


def normalize_axes(axis: Any, ndim: int) -> Tuple[int, ...]:
    if axis is None:
        return tuple(range(ndim))
    axes = tuple(axis) if isinstance(axis, (tuple, list)) else (axis,)
    normal = []
    for a in axes:
        a = int(a)
        if not -ndim <= a < ndim:
            raise _AxisError("axis %d is out of bounds for array of dimension %d" % (a, ndim))
        normal.append(a % ndim)
    if len(set(normal)) != len(normal):
        raise ValueError("repeated axis")
    return tuple(normal)


def reduce_rows(rows: Any, shape: Tuple[int, ...], axes: Tuple[int, ...]) -> Any:
    """The union along `axes`: one row per element of the remaining axes, in C order."""
    keep = [k for k in range(len(shape)) if k not in axes]
    count = int(np.prod([shape[k] for k in keep], dtype=np.int64))
    length = int(np.prod([shape[k] for k in axes], dtype=np.int64))
    size = count * length
    members = np.arange(size, dtype=np.intp).reshape(shape).transpose(keep + sorted(axes))
    if length == 1:
        return _deps.gather(rows, members.ravel())
    return _deps.select(np.arange(count + 1, dtype=np.int64) * length, members.ravel(), rows)


def reduce(a: Any, axis: Any, keepdims: Any, where: Any, out: Any, dtype: Any) -> Any:
    n = find_n([a, where])
    assert n is not None
    op = operand(a, n)
    shape = op.shape
    axes = normalize_axes(axis, len(shape))
    rows = op.broadcast(shape, n)
    if rows is None:
        rows = _deps.empty(op.size, n)
    if given(where) and where is not True:
        if find_n([where]) is not None:
            rows = _deps.union(rows, operand(where, n).broadcast(shape, n))
        else:
            mask = np.broadcast_to(np.asarray(where, bool), shape).ravel()
            rows = _deps.gather(rows, np.where(mask, np.arange(mask.size), -1))
    reduced = reduce_rows(rows, shape, axes)
    if keepdims is True:
        out_shape = tuple(1 if k in axes else d for k, d in enumerate(shape))
    else:
        out_shape = tuple(d for k, d in enumerate(shape) if k not in axes)
    like = None
    template = layout(a)
    if template is not None and len(out_shape) > 1:
        # NumPy's reduction of an array laid out as `a`: the input's order of axes in memory
        # for what it leaves.
        # NumPy's stub has no overload for a keepdims known only as a bool
        like = np.add.reduce(  # type: ignore[call-overload, unused-ignore]
            twin(template, np.intp), axis=axes, keepdims=keepdims is True)
    return finish(result(out_shape, reduced, dtype, n, like), out if given(out) else None)


def accumulate(a: Any, axis: Any, out: Any, dtype: Any) -> Any:
    """Prefix unions along `axis` (None: of the flattened array)."""
    array = as_array(a)
    if axis is None:
        array = array.ravel()
        axis = 0
    n = array.n
    shape = array.shape
    axis = normalize_axes(axis, len(shape))[0]
    rows = array.rows()
    moved = np.moveaxis(np.arange(array.size, dtype=np.intp).reshape(shape), axis, -1)
    length = shape[axis]
    count = array.size // length if length else 0
    lengths = np.tile(np.arange(1, length + 1, dtype=np.int64), count)
    indptr = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    total = int(indptr[-1])
    owner = np.repeat(np.repeat(np.arange(count), length), lengths)
    step = np.arange(total, dtype=np.int64) - np.repeat(indptr[:-1], lengths)
    prefix = _deps.select(indptr, moved.reshape(count, length)[owner, step], rows)
    back = np.moveaxis(np.arange(array.size, dtype=np.intp).reshape(moved.shape), -1, axis)
    like = None
    if layout(array) is not None:
        # NumPy's own accumulation allocates the result: laid out as it lays it out.
        like = np.add.accumulate(twin(array._pos, np.intp), axis)
    return finish(result(shape, _deps.gather(prefix, back.ravel()), dtype, n, like),
                  out if given(out) else None)
