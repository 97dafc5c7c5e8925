"""NumPy functions traced by writing them in terms of traced operations already followed.

np.cross, np.gradient, np.polyval, np.kron, np.correlate, np.pad's "linear_ramp", "mean",
"maximum", "minimum" and "median" modes are each the
composition of slices, elementwise operations, reductions, joins and two-operand products, so
their patterns are the composition's: sound as those rules are, and as precise. The rest here
(np.bincount with weights, ufunc.reduceat, np.fill_diagonal) are unions over constant positions.
"""

from typing import Any, Callable, List, Literal, Optional, Sequence, cast

import numpy as np

from vendrel.tracing import _deps
from vendrel.tracing._arrays import TracedArray
from vendrel.tracing._operands import as_array, find_n, finish, is_traced, operand, result
from vendrel.tracing._errors import TRACED_INDEX, unsupported
from vendrel.tracing._functions import HANDLERS, PAD_MODES, implements
from vendrel.tracing._reductions import normalize_axes
from vendrel.tracing._ufuncs import METHODS, result_dtypes


def _refuse_traced(values: Sequence[Any], what: str) -> None:
    if find_n(list(values)) is not None:
        raise unsupported(what)


def _array(value: Any) -> Any:
    return as_array(value) if is_traced(value) else np.asarray(value)


@implements("cross")
def _cross(a: Any, b: Any, axisa: int = -1, axisb: int = -1, axisc: int = -1,
           axis: Optional[int] = None) -> Any:
    _refuse_traced([axisa, axisb, axisc, axis], "np.cross with a traced axis")
    if axis is not None:
        axisa = axisb = axisc = axis
    a = np.moveaxis(_array(a), axisa, -1)
    b = np.moveaxis(_array(b), axisb, -1)
    sizes = (a.shape[-1], b.shape[-1])
    if sizes[0] not in (2, 3) or sizes[1] not in (2, 3):
        raise ValueError("incompatible dimensions for cross product\n"
                         "(dimension must be 2 or 3)")
    if sizes == (2, 2):
        return a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]
    # A 2-vector is a 3-vector with a zero third component, as NumPy reads it.
    a0, a1 = a[..., 0], a[..., 1]
    b0, b1 = b[..., 0], b[..., 1]
    a2 = a[..., 2] if sizes[0] == 3 else 0.0
    b2 = b[..., 2] if sizes[1] == 3 else 0.0
    c = np.stack(np.broadcast_arrays(a1 * b2 - a2 * b1, a2 * b0 - a0 * b2, a0 * b1 - a1 * b0),
                 axis=-1)
    # NumPy's result too is its vector axis moved out of the last place: a view.
    return np.moveaxis(c, -1, axisc)


@implements("gradient")
def _gradient(f: Any, *varargs: Any, axis: Any = None, edge_order: Literal[1, 2] = 1) -> Any:
    _refuse_traced(list(varargs) + [axis, edge_order], "np.gradient with traced spacing")
    f = as_array(f)
    axes = normalize_axes(axis, f.ndim)
    # NumPy checks the spacings and sizes; its answer on zeros says which are coordinates.
    np.gradient(np.zeros(f.shape), *varargs, axis=axis, edge_order=edge_order)
    uneven = [np.ndim(v) > 0 for v in varargs]
    if len(varargs) == 1:
        uneven = uneven * len(axes)
    elif not varargs:
        uneven = [False] * len(axes)
    results = []
    for k, ax in enumerate(axes):
        def cut(start: Optional[int], stop: Optional[int], ax: int = ax) -> Any:
            key = [slice(None)] * f.ndim
            key[ax] = slice(start, stop)
            return f[tuple(key)]
        # The interior: f[i - 1] and f[i + 1], and f[i] too where the spacing is uneven.
        inner = cut(2, None) - cut(None, -2)
        if uneven[k]:
            inner = inner + cut(1, -1)
        width = edge_order + 1
        first = np.sum(cut(0, width), axis=ax, keepdims=True)
        last = np.sum(cut(-width, None), axis=ax, keepdims=True)
        results.append(np.concatenate([first, inner, last], axis=ax) * 1.0)
    if len(results) == 1:
        return results[0]
    return tuple(results) if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else results


@implements("polyval")
def _polyval(p: Any, x: Any) -> Any:
    # NumPy's Horner scheme, on traced values.
    coefficients = as_array(p) if is_traced(p) else np.asarray(p)
    y = x * 0.0
    for value in coefficients:
        y = y * x + value
    return y


@implements("kron")
def _kron(a: Any, b: Any) -> Any:
    n = find_n([a, b])
    assert n is not None
    first, second = operand(a, n), operand(b, n)
    ndim = max(len(first.shape), len(second.shape))
    shape_a = (1,) * (ndim - len(first.shape)) + first.shape
    shape_b = (1,) * (ndim - len(second.shape)) + second.shape
    index_a = np.arange(first.size, dtype=np.intp).reshape(shape_a)
    index_b = np.arange(second.size, dtype=np.intp).reshape(shape_b)
    # Entry k of the product is a[ia[k]] * b[ib[k]]; a constant's zero there is a structural
    # zero, as in the other products.
    ia = np.kron(index_a, np.ones(shape_b, dtype=np.intp)).ravel()
    ib = np.kron(np.ones(shape_a, dtype=np.intp), index_b).ravel()
    out_shape = tuple(x * y for x, y in zip(shape_a, shape_b))
    parts = []
    for traced, mine, other, other_index in ((first, ia, b, ib), (second, ib, a, ia)):
        rows = traced.broadcast(traced.shape, n)
        if rows is None:
            continue
        if not is_traced(other):
            mine = np.where(np.asarray(other).ravel()[other_index] != 0, mine, -1)
        parts.append(_deps.gather(rows, mine))
    dtype = np.result_type(first.dtype, second.dtype)
    return result(out_shape, _deps.union(*parts), dtype, n)


@implements("correlate")
def _correlate(a: Any, v: Any, mode: Literal["valid", "same", "full"] = "valid") -> Any:
    # correlate(a, v) is convolve(a, conj(v)[::-1]), for either length.
    # correlate(a, v) is convolve(a, v[::-1]); NumPy swaps a shorter a with v and reverses
    # the result, which moves the window of mode "same".
    a, v = _array(a), _array(v)
    if len(a) < len(v):
        return np.convolve(v, a[::-1], mode)[::-1].copy()
    return np.convolve(a, v[::-1], mode)


@implements("bincount")
def _bincount(x: Any, weights: Any = None, minlength: int = 0) -> Any:
    if is_traced(x):
        raise unsupported(*TRACED_INDEX)
    if weights is None or not is_traced(weights):
        raise unsupported("np.bincount of a traced value")  # pragma: no cover - dispatch
    bins = np.asarray(x)
    counted = np.bincount(bins, minlength=minlength)  # NumPy's checks and length
    n = find_n([weights])
    assert n is not None
    w = operand(weights, n)
    if w.shape != bins.shape:
        raise ValueError("The weights and list don't have the same length.")
    rows = _deps.pairs(bins.ravel(), np.arange(bins.size), len(counted),
                       w.broadcast(w.shape, n))
    return result(counted.shape, rows, np.float64, n)


def _reduceat(ufunc: Any, array: Any, indices: Any, axis: int = 0, dtype: Any = None,
              out: Any = None) -> Any:
    if ufunc.nin != 2 or ufunc.nout != 1:
        raise unsupported("np.%s.reduceat" % ufunc.__name__)
    if is_traced(indices):
        raise unsupported(*TRACED_INDEX)
    traced = as_array(array)
    axis = normalize_axes(axis, traced.ndim)[0]
    starts = np.asarray(indices, dtype=np.intp).ravel()
    moved = np.moveaxis(traced, axis, -1)  # type: ignore[type-var]  # via __array_function__
    length = moved.shape[-1]
    if len(starts) and (starts.min() < 0 or starts.max() >= length):
        raise IndexError("index %d out-of-bounds in %s.reduceat [0, %d)"
                         % (int(starts.max() if starts.max() >= length else starts.min()),
                            ufunc.__name__, length))
    stops = np.append(starts[1:], length)
    # A slice that does not increase gives its first element alone, as NumPy's does.
    counts = np.where(stops > starts, stops - starts, 1)
    offsets = np.cumsum(counts) - counts
    members = np.repeat(starts, counts) + np.arange(int(counts.sum())) - \
        np.repeat(offsets, counts)
    groups = np.repeat(np.arange(len(starts)), counts)
    lead = int(np.prod(moved.shape[:-1], dtype=np.int64))
    out_index = (np.arange(lead)[:, None] * len(starts) + groups).ravel()
    in_index = (np.arange(lead)[:, None] * length + members).ravel()
    n = traced.n
    rows = _deps.pairs(out_index, in_index, lead * len(starts), moved.rows())
    key = traced.dtype
    reduced = result(moved.shape[:-1] + (len(starts),), rows,
                     result_dtypes(ufunc, (key, key), dtype)[0], n)
    back = np.moveaxis(as_array(reduced), -1, axis).copy()  # type: ignore[type-var]  # as above
    return finish(back, out)


METHODS["reduceat"] = _reduceat


@implements("fill_diagonal")
def _fill_diagonal(a: Any, val: Any, wrap: bool = False) -> None:
    if not isinstance(a, TracedArray):
        raise unsupported("np.fill_diagonal of a traced value into a plain array")
    if not a._pos.flags.writeable:
        raise ValueError("assignment destination is read-only")
    chosen = np.zeros(a.shape, dtype=bool)
    np.fill_diagonal(chosen, True, wrap=wrap)
    n = a.n
    values = operand(val, n)
    rows = values.broadcast(values.shape, n)
    target = a._pos[chosen]
    if rows is not None and values.size:
        # NumPy repeats the values along the diagonal when there are fewer.
        rows = _deps.gather(rows, np.arange(len(target)) % values.size)
    if a._part:
        if rows is not None:
            a._storage.join(target, rows)
        return
    a._storage.write(target, rows)


def _pad_statistic(array: Any, pad_width: Any, mode: str, stat_length: Any = None) -> Any:
    """Each padded value depends on the whole row it is computed from (or its stat_length
    ends), the axes padded one after another as NumPy pads them."""
    _refuse_traced([stat_length], "np.pad with a traced stat_length")
    padded = as_array(array)
    widths = np.broadcast_to(np.asarray(pad_width, dtype=np.intp), (padded.ndim, 2))
    lengths = None if stat_length is None else np.broadcast_to(
        np.asarray(stat_length, dtype=np.intp), (padded.ndim, 2))
    for ax in range(padded.ndim):
        before, after = int(widths[ax, 0]), int(widths[ax, 1])
        if not before and not after:
            continue
        pieces: List[Any] = []
        for side, width in ((0, before), (1, after)):
            if not width:
                continue
            key = [slice(None)] * padded.ndim
            if lengths is not None:
                count = max(int(lengths[ax, side]), 1)
                key[ax] = slice(None, count) if side == 0 else slice(-count, None)
            source = padded[tuple(key)]
            statistic = np.sum(source, axis=ax, keepdims=True)
            shape = list(padded.shape)
            shape[ax] = width
            pieces.append((side, np.broadcast_to(statistic, tuple(shape))))
        parts = [p for s, p in pieces if s == 0] + [padded] + [p for s, p in pieces if s == 1]
        padded = cast(TracedArray, np.concatenate(parts, axis=ax))  # TracedArray's own handler
    return padded


def _pad_ramp(array: Any, pad_width: Any, end_values: Any = 0) -> Any:
    _refuse_traced([end_values], "np.pad with traced end_values")
    # Each padded value lies on the line from the edge value to a constant: the edge's set.
    return np.pad(array, pad_width, mode="edge")


PAD_MODES["linear_ramp"] = _pad_ramp
for _mode in ("mean", "maximum", "minimum", "median"):
    PAD_MODES[_mode] = (lambda mode: lambda array, pad_width, stat_length=None:
                        _pad_statistic(array, pad_width, mode, stat_length))(_mode)


# The window views: NumPy makes them on the positions, read-only views as its own are.
_window = getattr(getattr(getattr(np, "lib", None), "stride_tricks", None),
                  "sliding_window_view", None)
if _window is not None:
    def _sliding_window_view(x: Any, window_shape: Any, axis: Any = None, *,
                             subok: bool = False, writeable: bool = False) -> Any:
        _refuse_traced([window_shape, axis], "sliding_window_view with a traced window")
        traced = as_array(x)
        window = cast(Callable[..., Any], _window)  # not None: defined only then
        return traced.from_positions(window(traced._pos, window_shape, axis,
                                             writeable=writeable))
    HANDLERS[_window] = _sliding_window_view
