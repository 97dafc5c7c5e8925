"""NumPy's ufuncs on traced values.

An elementwise ufunc's output element depends on the inputs' elements at the same place of
the broadcast shape, whatever the ufunc computes, so one rule covers them all (comparisons,
np.maximum, np.abs, np.sign and np.floor included: their jumps are dependencies too). A
product with a constant that is exactly zero somewhere depends on nothing there. The
methods reduce, accumulate and outer are unions along axes; at is an accumulating scatter.
"""

from typing import Any, Callable, Dict, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing._arrays import PLAIN_SCALARS, TracedArray, TracedScalar, check_key
from vendrel.tracing._operands import (
    c_ordered, find_n, is_traced, made_by_numpy, operand, result, stand_in)
from vendrel.tracing._storage import twin
from vendrel.tracing._reductions import accumulate, reduce
from vendrel.tracing._tables import RULES
from vendrel.tracing._errors import PLAIN_OUT, unsupported

_DTYPES: Dict[Any, Tuple[np.dtype, ...]] = {}
# Further ufunc methods (reduceat), registered by their rules.
METHODS: Dict[str, Callable[..., Any]] = {}
# Generalised ufuncs by name (matmul, vecdot), registered by the products' rules.
GUFUNCS: Dict[str, Callable[..., Any]] = {}


def dtype_key(value: Any) -> Any:
    """What decides a value's part in a ufunc's result type: a dtype, or a Python type."""
    kind = type(value)
    if kind in PLAIN_SCALARS:
        return kind
    dtype = getattr(value, "dtype", None)
    if isinstance(dtype, np.dtype):
        return dtype
    return np.asarray(value).dtype


def result_dtypes(ufunc: Any, keys: Tuple[Any, ...], dtype: Any = None) -> Tuple[np.dtype, ...]:
    """The dtypes NumPy would give the ufunc's outputs, found once per combination on samples."""
    cache_key = (ufunc, keys, dtype)
    found = _DTYPES.get(cache_key)
    if found is None:
        if all("O" in types for types in ufunc.types):
            found = (np.dtype(object),) * ufunc.nout  # a Python function: never call it
        else:
            samples = [key(1) if isinstance(key, type) else np.ones(1, key) for key in keys]
            extra = {} if dtype is None else {"dtype": dtype}
            with np.errstate(all="ignore"):
                outputs = ufunc(*samples, **extra)
            if ufunc.nout == 1:
                outputs = (outputs,)
            found = tuple(np.asarray(o).dtype for o in outputs)
        _DTYPES[cache_key] = found
    return found


def dispatch(ufunc: Any, method: str, inputs: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    if method == "__call__" and ufunc.signature is None and not kwargs:
        fast = _scalar_call(ufunc, inputs)
        if fast is not None:
            return fast
    if any(scipy.sparse.issparse(v) for v in inputs):
        raise unsupported("np.%s with a scipy.sparse operand" % ufunc.__name__,
                          "NumPy does not compute it either; write A @ x or A.dot(x)")
    if method == "__call__":
        if ufunc.signature is None:
            return elementwise(ufunc, inputs, kwargs)
        handler = GUFUNCS.get(ufunc.__name__)
        if handler is not None:
            return handler(*inputs, **kwargs)
        raise unsupported("np.%s" % ufunc.__name__, "a generalised ufunc")
    if method == "reduce":
        return _reduce(ufunc, *inputs, **kwargs)
    if method == "accumulate":
        return _accumulate(ufunc, *inputs, **kwargs)
    if method == "outer":
        return _outer(ufunc, inputs, kwargs)
    if method == "at":
        return _at(ufunc, *inputs)
    if method in METHODS:
        return METHODS[method](ufunc, *inputs, **kwargs)
    raise unsupported("np.%s.%s" % (ufunc.__name__, method))


_FOLLOWED = frozenset(("out", "where", "dtype", "casting", "subok", "signature"))


def elementwise(ufunc: Any, inputs: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    unknown = set(kwargs) - _FOLLOWED
    if kwargs.get("order", "K") in ("K", None):
        unknown.discard("order")
    if unknown:
        raise unsupported("np.%s with %s=" % (ufunc.__name__, sorted(unknown)[0]))
    out = kwargs.get("out")
    where = kwargs.get("where", True)
    dtype = kwargs.get("dtype")
    if out is not None and not isinstance(out, tuple):
        out = (out,)
    if out is not None and all(o is None for o in out):
        out = None
    if out is None and where is True and dtype is None:
        fast = _scalar_call(ufunc, inputs)
        if fast is not None:
            return fast
    n = find_n(inputs + (out or ()) + (where,))
    assert n is not None
    operands = [operand(v, n) for v in inputs]
    shapes = [o.shape for o in operands] + [o.shape for o in out or () if o is not None]
    mask, traced_where = None, None
    if where is not True:
        if is_traced(where) or find_n([where]) is not None:
            traced_where = operand(where, n)
            shapes.append(traced_where.shape)
        else:
            mask = np.asarray(where, dtype=bool)
            shapes.append(mask.shape)
    shape = tuple(np.broadcast_shapes(*shapes))
    rows = None
    if ufunc is np.multiply and len(operands) == 2:
        rows = _product_rows(inputs, operands, shape, n)
    if rows is None:
        rows = _deps.union(*(o.broadcast(shape, n) for o in operands))
    if traced_where is not None:
        rows = _deps.union(rows, traced_where.broadcast(shape, n))
    if mask is not None:
        mask = np.broadcast_to(mask, shape).ravel()
    dtypes = result_dtypes(ufunc, tuple(o.dtype for o in operands), dtype)
    made = None
    if (out is None or any(o is None for o in out)) and len(shape) > 1:
        made = _layouts(ufunc, inputs, out, where, kwargs)
    results = []
    for k in range(ufunc.nout):
        target = out[k] if out is not None and k < len(out) else None
        if target is None:
            chosen = rows
            if mask is not None and rows is not None:
                chosen = _deps.gather(rows, np.where(mask, np.arange(mask.size), -1))
            results.append(result(shape, chosen, dtypes[k], n, None if made is None else made[k]))
        elif isinstance(target, TracedArray):
            if target.shape != shape:
                raise ValueError("non-broadcastable output operand with shape %r doesn't match "
                                 "the broadcast shape %r" % (target.shape, shape))
            if traced_where is not None:
                target.write(_deps.union(target.rows(), rows))
            else:
                target.write(rows, mask)
            results.append(target)
        else:
            raise unsupported(*PLAIN_OUT)
    return results[0] if ufunc.nout == 1 else tuple(results)


def _layouts(ufunc: Any, inputs: Tuple[Any, ...], out: Any, where: Any,
             kwargs: Dict[str, Any]) -> Any:
    """The outputs the ufunc itself allocates for these operands, computing nothing
    (where=False everywhere): NumPy's layouts (None: all C, as NumPy makes it then)."""
    targets = tuple(out) if out is not None else (None,) * ufunc.nout
    if c_ordered(list(inputs) + [o for o in targets if o is not None] + [where]):
        return None
    if where is True or np.ndim(where) == 0:
        nothing: Any = False
    elif is_traced(where):
        nothing = stand_in(where, bool)
    else:
        nothing = twin(np.asarray(where), bool, False)  # its layout, none of its True
    extra = {k: kwargs[k] for k in ("dtype", "casting", "signature") if k in kwargs}
    made = made_by_numpy(ufunc, *inputs, out=targets, where=nothing, **extra)
    return made if isinstance(made, tuple) else (made,)


def _product_rows(inputs: Tuple[Any, ...], operands: Any, shape: Tuple[int, ...],
                  n: int) -> Any:
    """A product with a constant factor: where that factor is exactly zero, the product is
    zero whatever the other factor is, so it depends on nothing there (as in matmul). None
    where no constant factor holds a zero."""
    constant = [o.rows is None and o.scalar is None for o in operands]
    if constant.count(True) != 1:
        return None
    k = constant.index(True)
    factor = np.asarray(inputs[k])
    if factor.dtype.kind not in "biufc":
        return None
    zero = factor == 0
    if not zero.any():
        return None
    other = operands[1 - k].broadcast(shape, n)
    if other is None:
        return None
    keep = ~np.broadcast_to(zero, shape).ravel()
    return _deps.gather(other, np.where(keep, np.arange(keep.size), -1))


def is_zero(value: Any) -> bool:
    """Whether `value` is a plain number that is exactly zero."""
    kind = type(value)
    return (kind in PLAIN_SCALARS or isinstance(value, np.generic)) and \
        np.asarray(value).dtype.kind in "biufc" and value == 0


def _scalar_call(ufunc: Any, inputs: Tuple[Any, ...]) -> Any:
    """The ufunc on traced scalars and numbers alone, without building any matrix."""
    deps: _deps.DepSet = _deps.NONE
    keys = []
    n = None
    for value in inputs:
        kind = type(value)
        if kind is TracedScalar:
            deps = _deps.join(deps, value.deps)
            keys.append(value.dtype)
            n = value.n
        elif kind in PLAIN_SCALARS:
            keys.append(kind)
        elif isinstance(value, np.generic):
            keys.append(value.dtype)
        else:
            return None
    dtypes = result_dtypes(ufunc, tuple(keys))
    if ufunc is np.multiply and any(is_zero(v) for v in inputs):
        deps = _deps.NONE  # a product with an exact constant zero
    results = tuple(TracedScalar(deps, dtype, n) for dtype in dtypes)  # type: ignore[arg-type]
    return results[0] if len(results) == 1 else results


def _reduce(ufunc: Any, array: Any, axis: Any = 0, dtype: Any = None, out: Any = None,
            keepdims: bool = False, initial: Any = None, where: Any = True) -> Any:
    if ufunc.nin != 2 or ufunc.nout != 1:
        raise unsupported("np.%s.reduce" % ufunc.__name__)
    key = dtype_key(array)
    result_dtype = result_dtypes(ufunc, (key, key), dtype)[0]
    if initial is not None and is_traced(initial):
        raise unsupported("np.%s.reduce with a traced initial value" % ufunc.__name__)
    return reduce(array, axis, keepdims, where, out, result_dtype)


def _accumulate(ufunc: Any, array: Any, axis: int = 0, dtype: Any = None,
                out: Any = None) -> Any:
    if ufunc.nin != 2 or ufunc.nout != 1:
        raise unsupported("np.%s.accumulate" % ufunc.__name__)
    key = dtype_key(array)
    return accumulate(array, axis, out, result_dtypes(ufunc, (key, key), dtype)[0])


def _outer(ufunc: Any, inputs: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
    if len(inputs) != 2:
        raise unsupported("np.%s.outer" % ufunc.__name__)
    a, b = inputs
    extra = (1,) * np.ndim(b)
    if is_traced(a):
        a = a.reshape(np.shape(a) + extra) if isinstance(a, TracedArray) else a
    else:
        a = np.reshape(np.asarray(a), np.shape(a) + extra)
    return elementwise(ufunc, (a, b), kwargs)


def _at(ufunc: Any, array: Any, indices: Any, values: Any = None) -> None:
    """ufunc.at: every indexed element joins the values aimed at it, repeats included."""
    if not isinstance(array, TracedArray):
        raise unsupported(*PLAIN_OUT)
    if ufunc.nin == 2 and values is None:
        raise TypeError("second operand needed for ufunc")
    target = np.ravel(array._pos[check_key(indices)])
    if values is None:
        return None
    n = array.n
    incoming = operand(values, n).broadcast(np.shape(array._pos[indices]), n)
    if incoming is None or not len(target):
        return None
    unique, inverse = np.unique(target, return_inverse=True)
    joined = _deps.pairs(inverse.ravel(), np.arange(len(target)), len(unique), incoming)
    storage = array._storage
    storage.write(unique, _deps.union(_deps.gather(storage.matrix(), unique), joined))
    return None


RULES["ufunc"] = dispatch
RULES["elementwise"] = elementwise
RULES["result_dtypes"] = result_dtypes
RULES["dtype_key"] = dtype_key
RULES["is_zero"] = is_zero
