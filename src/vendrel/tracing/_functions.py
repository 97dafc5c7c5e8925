"""NumPy's functions on traced values, through ``__array_function__``.

Three kinds of rule cover them. Functions that only move elements (reshape, flip, roll, tile,
concatenate, pad, take, ...) are applied by NumPy itself to the arrays of positions, so their
result is exactly NumPy's, views included, and the rows follow by one gather. Functions that
combine elements in place (where, select, clip) are unions over the broadcast shape.
Reductions and accumulations are unions along axes, made by one sparse product with a 0/1
matrix choosing the members of each output. Anything not listed is refused by name.
"""

import inspect
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import scipy.sparse

from vendrel.tracing import _deps
from vendrel.tracing import _contract
from vendrel.tracing._arrays import TracedArray, TracedScalar
from vendrel.tracing._operands import (
    as_array, c_ordered, elementwise_layout, find_n, finish, is_traced, layout, made_by_numpy,
    operand, result, stand_in)
from vendrel.tracing._storage import twin
from vendrel.tracing._reductions import accumulate, given as _given, normalize_axes, reduce, \
    reduce_rows
from vendrel.tracing._tables import RULES
from vendrel.tracing._errors import PLAIN_OUT, TRACED_INDEX, unsupported

HANDLERS: Dict[Any, Callable[..., Any]] = {}
# np.pad's modes that compute padded values from the array, by their rules elsewhere.
PAD_MODES: Dict[str, Callable[..., Any]] = {}
_NUMBERS = (float, int, complex, np.generic)

# Why the commonest refusals are refused, beyond their names.
_REASONS = {
    "sort": "the order depends on the values",
    "argsort": "the order depends on the values",
    "argmax": "the position depends on the values",
    "argmin": "the position depends on the values",
    "nonzero": "the positions depend on the values",
    "flatnonzero": "the positions depend on the values",
    "argwhere": "the positions depend on the values",
    "unique": "the result's size and order depend on the values",
    "searchsorted": "the positions depend on the values",
    "solve": "of NumPy's linear algebra only norms and products are traced",
    "inv": "of NumPy's linear algebra only norms and products are traced",
}


def dispatch(func: Any, types: Any, args: Any, kwargs: Any) -> Any:
    for kind in types:
        if not issubclass(kind, (TracedArray, TracedScalar, np.ndarray)):
            return NotImplemented
    handler = HANDLERS.get(func)
    if any(scipy.sparse.issparse(a) for a in args):
        raise unsupported("%s with a scipy.sparse operand" % name_of(func),
                          "NumPy does not compute it either; write A @ x or A.dot(x)")
    if handler is None:
        raise unsupported(name_of(func), _REASONS.get(getattr(func, "__name__", ""), ""))
    call = _CALLS.get(func)
    if call is None:
        call = _CALLS[func] = _Call(func, handler)
    return call(args, kwargs)


_POSITIONAL = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)


# NumPy before 1.25 reports no signature for the functions it implements in C (its wrappers
# lead inspect to the C function, and the dispatchers' defaults are placeholders, not NumPy's);
# their documented signatures, as far as those NumPys take them, stand in for NumPy's own.
_C_SIGNATURES: Dict[str, Callable[..., None]] = {
    "ascontiguousarray": lambda a, dtype=None, *, like=None: None,
    "asfortranarray": lambda a, dtype=None, *, like=None: None,
    "bincount": lambda x, /, weights=None, minlength=0: None,
    "concatenate": lambda arrays, /, axis=0, out=None, *, dtype=None, casting="same_kind": None,
    "copyto": lambda dst, src, casting="same_kind", where=True: None,
    "dot": lambda a, b, out=None: None,
    "empty_like": lambda prototype, /, dtype=None, order="K", subok=True, shape=None: None,
    "inner": lambda a, b, /: None,
    "putmask": lambda a, /, mask, values: None,
    "result_type": lambda *arrays_and_dtypes: None,
    "vdot": lambda a, b, /: None,
    "where": lambda condition, x=None, y=None, /: None,
}


def _signature(function: Any) -> Optional[inspect.Signature]:
    try:
        return inspect.signature(function)
    except (TypeError, ValueError):
        documented = _C_SIGNATURES.get(getattr(function, "__name__", ""))
        if documented is None or getattr(np, function.__name__, None) is not function:
            return None
        return inspect.signature(documented)


class _Call:
    """A NumPy function's call, read by NumPy's own signature and handed to its rule.

    The arguments are bound to NumPy's signature (so a call NumPy rejects raises NumPy's
    TypeError), then passed on: NumPy's positional parameters by position, its keyword-only
    ones by name. An argument the rule does not take is refused by name, unless it is given
    as its default; so every handled function takes its whole signature on every NumPy.
    """

    def __init__(self, func: Any, handler: Callable[..., Any]) -> None:
        self.func, self.handler = func, handler
        self.numpy = _signature(func)
        rule = _signature(handler)
        if self.numpy is None or rule is None:
            self.numpy = None
            return
        params = list(rule.parameters.values())
        kinds = [p.kind for p in params]
        self.slots = (1 << 30 if inspect.Parameter.VAR_POSITIONAL in kinds else
                      sum(k in _POSITIONAL for k in kinds))
        self.any_keyword = inspect.Parameter.VAR_KEYWORD in kinds
        self.names = {p.name for p in params if p.kind is not inspect.Parameter.POSITIONAL_ONLY}
        self.positional = [p for p in self.numpy.parameters.values() if p.kind in _POSITIONAL]
        # Positional arguments alone, as many as NumPy requires and the rule has slots for:
        # passed as they are (the common call, kept cheap for loops over elements).
        required = sum(p.default is inspect.Parameter.empty for p in self.positional)
        self.direct = range(required, min(self.slots, len(self.positional)) + 1)

    def __call__(self, args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Any:
        if self.numpy is None or (not kwargs and len(args) in self.direct):
            return self.handler(*args, **kwargs)
        bound = self.numpy.bind(*args, **kwargs).arguments
        given = [k for k, p in enumerate(self.positional) if p.name in bound]
        positional: List[Any] = []
        for k, parameter in enumerate(self.positional[:given[-1] + 1 if given else 0]):
            value = bound.get(parameter.name, parameter.default)
            if k >= self.slots:
                self._drop(parameter.name, value, parameter.default)
            else:
                positional.append(value)
        keywords: Dict[str, Any] = {}
        for name, value in bound.items():
            kind = self.numpy.parameters[name].kind
            if kind is inspect.Parameter.VAR_POSITIONAL:
                positional.extend(value)
            elif kind is inspect.Parameter.KEYWORD_ONLY:
                keywords[name] = value
            elif kind is inspect.Parameter.VAR_KEYWORD:
                keywords.update(value)
        for name in list(keywords):
            if name not in self.names and not self.any_keyword:
                found = self.numpy.parameters.get(name)
                self._drop(name, keywords.pop(name),
                           inspect.Parameter.empty if found is None else found.default)
        return self.handler(*positional, **keywords)

    def _drop(self, name: str, value: Any, default: Any) -> None:
        """Leave out an argument the rule does not take: only where it is the default."""
        if value is default or (isinstance(value, (bool, int, float, str, type(None))) and
                                type(value) is type(default) and value == default):
            return
        raise unsupported("%s with %s=" % (name_of(self.func), name),
                          "the tracer does not follow this argument")


_CALLS: Dict[Any, _Call] = {}


def name_of(func: Any) -> str:
    module = getattr(func, "__module__", None) or "numpy"
    module = "np" + module[len("numpy"):] if module.startswith("numpy") else module
    return "%s.%s" % (module, getattr(func, "__name__", repr(func)))


def implements(*names: str) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Register a handler for the NumPy functions of these names that this NumPy has."""
    def register(handler: Callable[..., Any]) -> Callable[..., Any]:
        for name in names:
            target: Any = np
            for part in name.split("."):
                target = getattr(target, part, None)
                if target is None:
                    break
            if target is not None:
                HANDLERS[target] = handler
        return handler
    return register



def _traced_in(values: Sequence[Any]) -> bool:
    return find_n(list(values)) is not None


def _refuse_traced_index(values: Sequence[Any]) -> None:
    """Positions, sizes and masks must be constants: refuse them traced."""
    if _traced_in(values):
        raise unsupported(*TRACED_INDEX)


def _sample_dtype(function: Callable[..., Any], dtype: Any, **kwargs: Any) -> np.dtype:
    """The dtype `function` gives for an array of `dtype`, found on a one-element sample."""
    try:
        with np.errstate(all="ignore"):
            return np.asarray(function(np.ones(1, dtype), **kwargs)).dtype
    except (TypeError, ValueError):
        return np.dtype(float)


def _dtype(value: Any) -> Any:
    dtype = getattr(value, "dtype", None)
    if isinstance(dtype, np.dtype):
        return dtype
    return np.asarray(value).dtype if not isinstance(value, (float, int, complex)) else type(value)


# --- information -----------------------------------------------------------------------

@implements("shape")
def _shape(a: Any) -> Tuple[int, ...]:
    return a.shape  # type: ignore[no-any-return]


@implements("ndim")
def _ndim(a: Any) -> int:
    return a.ndim  # type: ignore[no-any-return]


@implements("size")
def _size(a: Any, axis: Optional[int] = None) -> int:
    return a.size if axis is None else a.shape[axis]  # type: ignore[no-any-return]


@implements("result_type")
def _result_type(*values: Any) -> np.dtype:
    return np.result_type(*[v.dtype if is_traced(v) else v for v in values])


@implements("iscomplexobj")
def _iscomplexobj(x: Any) -> bool:
    return bool(np.dtype(_dtype(x)).kind == "c")


@implements("isrealobj")
def _isrealobj(x: Any) -> bool:
    return not _iscomplexobj(x)


# --- arrays made from traced arrays ---------------------------------------------------

def _like(a: Any, dtype: Any, shape: Any) -> Tuple[Tuple[int, ...], np.dtype]:
    shape = np.shape(a) if shape is None else ((shape,) if np.ndim(shape) == 0 else
                                               tuple(shape))
    return tuple(shape), np.dtype(dtype) if dtype is not None else np.dtype(_dtype(a))


def _template(a: Any, order: str, shape: Tuple[int, ...]) -> np.ndarray:
    """Positions laid out as NumPy lays out a new array like `a` in `order`."""
    source = a._pos if isinstance(a, TracedArray) else np.empty(np.shape(a), np.intp)
    if isinstance(a, np.ndarray):
        source = a
    return np.empty_like(  # type: ignore[call-overload, no-any-return]
        source, dtype=np.intp, order=order, shape=shape)


@implements("zeros_like", "ones_like", "empty_like")
def _constant_like(a: Any, dtype: Any = None, order: str = "K", subok: bool = True,
                   shape: Any = None, **kwargs: Any) -> Any:
    n = find_n([a])
    assert n is not None
    _refuse_traced_index([dtype, shape] + list(kwargs.values()))
    shape, dtype = _like(a, dtype, shape)
    return TracedArray.fresh(None, shape, dtype, n, _template(a, order, shape))


@implements("full_like")
def _full_like(a: Any, fill_value: Any, dtype: Any = None, order: str = "K", subok: bool = True,
               shape: Any = None, **kwargs: Any) -> Any:
    n = find_n([a, fill_value])
    assert n is not None
    _refuse_traced_index([dtype, shape] + list(kwargs.values()))
    shape, dtype = _like(a, dtype, shape)
    return TracedArray.fresh(operand(fill_value, n).broadcast(shape, n), shape, dtype, n,
                             _template(a, order, shape))


@implements("copyto")
def _copyto(dst: Any, src: Any, casting: str = "same_kind", where: Any = True) -> None:
    if not isinstance(dst, TracedArray):
        raise unsupported(*PLAIN_OUT)
    n = dst.n
    rows = operand(src, n).broadcast(dst.shape, n)
    if where is True:
        dst.write(rows)
    elif _traced_in([where]):
        dst.write(_deps.union(dst.rows(), rows, operand(where, n).broadcast(dst.shape, n)))
    else:
        dst.write(rows, np.broadcast_to(np.asarray(where, bool), dst.shape).ravel())


@implements("put")
def _put(a: Any, ind: Any, v: Any, mode: str = "raise") -> None:
    if not isinstance(a, TracedArray):
        raise unsupported(*PLAIN_OUT)
    _refuse_traced_index([ind])
    target = np.take(a._pos.ravel(), np.ravel(ind), mode=mode)  # type: ignore[call-overload]
    values = operand(v, a.n)
    rows = values.broadcast(values.shape, a.n)
    if rows is not None and values.size:
        rows = _deps.gather(rows, np.arange(len(target)) % values.size)
    if not a._pos.flags.writeable:
        raise ValueError("put: output array is read-only")
    if a._part:  # a part of complex elements: the other part stays
        if rows is not None:
            a._storage.join(target, rows)
        return
    a._storage.write(target, rows)


def _masked_put(function: Callable[..., Any], name: str) -> Callable[..., Any]:
    """np.putmask and np.place with a constant mask: NumPy's own function, applied to the
    numbers of the values, says which value each element takes (-1: it keeps its own)."""
    def handler(a: Any, mask: Any, values: Any) -> None:
        if not isinstance(a, TracedArray):
            raise unsupported(*PLAIN_OUT)
        if _traced_in([mask]):
            raise unsupported("np.%s with a traced mask" % name,
                              "which value lands where depends on the values")
        if not a._pos.flags.writeable:
            raise ValueError("%s: output array is read-only" % name)
        n = a.n
        given = operand(values, n)
        source = np.full(a.shape, -1, dtype=np.intp)
        numbers = np.arange(given.size, dtype=np.intp).reshape(given.shape)
        function(source, np.asarray(mask, dtype=bool), numbers)
        source = source.ravel()
        chosen = source >= 0
        rows = given.broadcast(given.shape, n)
        targets = np.ravel(a._pos)[chosen]
        picked = None if rows is None else _deps.gather(rows, source[chosen])
        if a._part:
            if picked is not None:
                a._storage.join(targets, picked)
            return
        a._storage.write(targets, picked)
    return handler


HANDLERS[np.putmask] = _masked_put(np.putmask, "putmask")
HANDLERS[np.place] = _masked_put(np.place, "place")


# --- functions that move elements: NumPy applies them to the positions -----------------

def _positional(name: str, function: Callable[..., Any], which: int = 0,
                dtype: Optional[Callable[[np.dtype], np.dtype]] = None) -> None:
    def handler(*args: Any, **kwargs: Any) -> Any:
        out = kwargs.pop("out", None)
        array = args[which]
        if not is_traced(array):
            raise unsupported("np.%s with a traced value in an argument other than the array"
                              % name)
        others = list(args[:which]) + list(args[which + 1:]) + list(kwargs.values())
        _refuse_traced_index(others)
        array = as_array(array)
        positions = list(args)
        positions[which] = array._pos
        moved = array.from_positions(function(*positions, **kwargs))
        if dtype is not None:
            moved = _retype(moved, dtype(array.dtype))
        return finish(moved, out)
    implements(name)(handler)


def _retype(value: Any, dtype: np.dtype) -> Any:
    if isinstance(value, (list, tuple)):
        return type(value)(_retype(v, dtype) for v in value)
    value._dtype = dtype
    return value


for _name in ("reshape", "ravel", "transpose", "swapaxes", "moveaxis", "rollaxis", "squeeze",
              "expand_dims", "flip", "fliplr", "flipud", "rot90", "roll", "tile", "repeat",
              "broadcast_to", "diagonal", "take", "take_along_axis", "delete", "resize", "split",
              "array_split", "hsplit", "vsplit", "dsplit", "copy", "ascontiguousarray",
              "asfortranarray", "matrix_transpose", "linalg.matrix_transpose", "permute_dims",
              "real_if_close"):
    _function: Any = np
    for _part in _name.split("."):
        _function = getattr(_function, _part, None)
    if _function is not None:
        _positional(_name, _function)
_positional("compress", np.compress, which=1)
_positional("extract", np.extract, which=1)


def _real_dtype(dtype: np.dtype) -> np.dtype:
    return np.empty(0, dtype).real.dtype


@implements("real")
def _real(val: Any) -> Any:
    if type(val) is TracedScalar:
        return val.real
    array = as_array(val)
    if array.dtype.kind == "c":
        return array.part(_real_dtype(array.dtype))
    return array.view()


def _make_atleast(function: Callable[..., Any]) -> Callable[..., Any]:
    def handler(*arrays: Any) -> Any:
        results = [as_array(a).from_positions(function(as_array(a)._pos)) if is_traced(a)
                   else function(a) for a in arrays]
        return results[0] if len(results) == 1 else results
    return handler


HANDLERS[np.atleast_1d] = _make_atleast(np.atleast_1d)
HANDLERS[np.atleast_2d] = _make_atleast(np.atleast_2d)
HANDLERS[np.atleast_3d] = _make_atleast(np.atleast_3d)


@implements("imag")
def _imag(val: Any) -> Any:
    if type(val) is TracedScalar:
        return val.imag
    array = as_array(val)
    if np.dtype(array.dtype).kind == "c":
        return array.part(_real_dtype(array.dtype))
    # NumPy's imaginary part of real numbers: new zeros, read-only.
    zeros = TracedArray.fresh(None, array.shape, array.dtype, array.n)
    zeros._pos.flags.writeable = False
    return zeros


def _shifted(function: Callable[..., Any]) -> Callable[..., Any]:
    """`function` that fills with zeros, on positions shifted by one: its zeros become -1."""
    def handler(v: Any, *args: Any, **kwargs: Any) -> Any:
        _refuse_traced_index(list(args) + list(kwargs.values()))
        array = as_array(v)
        return array.from_positions(function(array._pos + 1, *args, **kwargs) - 1)
    return handler


HANDLERS[np.tril] = _shifted(np.tril)
HANDLERS[np.triu] = _shifted(np.triu)
HANDLERS[np.diagflat] = _shifted(np.diagflat)


@implements("diag")
def _diag(v: Any, k: int = 0) -> Any:
    array = as_array(v)
    if array.ndim == 2:
        return array.from_positions(np.diag(array._pos, k))
    return _shifted(np.diag)(array, k)


@implements("meshgrid")
def _meshgrid(*xi: Any, **kwargs: Any) -> Any:
    grids = np.meshgrid(*[as_array(x)._pos if is_traced(x) else x for x in xi], **kwargs)
    return [as_array(x).from_positions(g) if is_traced(x) else g for x, g in zip(xi, grids)]


@implements("broadcast_arrays")
def _broadcast_arrays(*args: Any, subok: bool = False) -> Any:
    shape = np.broadcast_shapes(*[np.shape(a) for a in args])
    return [as_array(a).from_positions(np.broadcast_to(as_array(a)._pos, shape)) if is_traced(a)
            else np.broadcast_to(a, shape) for a in args]


class _Combined:
    """Several arrays, traced or constant, as positions into one stack of their rows."""

    def __init__(self, values: Sequence[Any]) -> None:
        n = find_n(list(values))
        assert n is not None
        self.n = n
        self.parts: List[Any] = []
        self.offset = 0
        self.dtypes: List[Any] = []

    def positions(self, value: Any) -> np.ndarray:
        """Positions laid out in memory as `value`, so that NumPy lays out the result alike."""
        op = operand(value, self.n)
        self.dtypes.append(op.dtype)
        template = layout(value)
        if op.rows is None:
            if template is not None:
                return twin(template, np.intp, -1)
            return np.full(op.shape, -1, dtype=np.intp)
        size = op.size
        pos = np.arange(self.offset, self.offset + size, dtype=np.intp).reshape(op.shape)
        if template is not None:
            pos = _copy_into(twin(template, np.intp), pos)
        self.parts.append(op.rows)
        self.offset += size
        return pos

    def result(self, pos: np.ndarray, dtype: Any = None) -> Any:
        if dtype is None:
            dtype = np.result_type(*self.dtypes)
        like = pos if isinstance(pos, np.ndarray) else None
        if not self.parts:
            return result(np.shape(pos), None, dtype, self.n, like)
        source = _deps.stack(self.parts, self.n)
        return result(np.shape(pos), _deps.gather(source, np.ravel(pos)), dtype, self.n, like)


def _copy_into(target: np.ndarray, values: np.ndarray) -> np.ndarray:
    target[...] = values
    return target


def _joining(name: str, function: Callable[..., Any]) -> None:
    def handler(arrays: Any, *args: Any, **kwargs: Any) -> Any:
        # concatenate's and stack's third positional parameter is out (as bound to their
        # signatures, out= arrives there), which NumPy is not to see among the positions.
        out = args[1] if len(args) > 1 else kwargs.pop("out", None)
        args = args[:1]
        dtype = kwargs.pop("dtype", None)
        kwargs.pop("casting", None)
        arrays = list(arrays)
        combined = _Combined(arrays)
        pos = function([combined.positions(a) for a in arrays], *args, **kwargs)
        return finish(combined.result(pos, dtype), out)
    implements(name)(handler)


for _name in ("concatenate", "stack", "hstack", "vstack", "dstack", "column_stack", "row_stack",
              "concat"):
    if hasattr(np, _name):
        _joining(_name, getattr(np, _name))


@implements("block")
def _block(arrays: Any) -> Any:
    combined = _Combined([arrays])

    def convert(item: Any) -> Any:
        if isinstance(item, list):
            return [convert(i) for i in item]
        return combined.positions(item)
    return combined.result(np.block(convert(arrays)))


@implements("append")
def _append(arr: Any, values: Any, axis: Optional[int] = None) -> Any:
    combined = _Combined([arr, values])
    return combined.result(np.append(combined.positions(arr), combined.positions(values), axis))


@implements("insert")
def _insert(arr: Any, obj: Any, values: Any, axis: Optional[int] = None) -> Any:
    _refuse_traced_index([obj])
    combined = _Combined([arr, values])
    first = combined.positions(arr)
    return combined.result(np.insert(first, obj, combined.positions(values), axis),
                           dtype=_dtype(arr))


@implements("pad")
def _pad(array: Any, pad_width: Any, mode: Any = "constant", **kwargs: Any) -> Any:
    _refuse_traced_index([pad_width])
    if mode in ("edge", "wrap", "reflect", "symmetric") and \
            kwargs.get("reflect_type", "even") == "even":
        traced = as_array(array)
        return traced.from_positions(np.pad(traced._pos, pad_width, mode, **kwargs))
    if mode in PAD_MODES:
        return PAD_MODES[mode](array, pad_width, **kwargs)
    if mode not in ("constant", "empty"):
        raise unsupported("np.pad with mode=%r" % (mode,), "padded values computed from the array"
                          " are not traced; the modes constant, edge, wrap, reflect and "
                          "symmetric are")
    values = kwargs.pop("constant_values", 0)
    combined = _Combined([array, values])
    inner = combined.positions(array)
    if _traced_in([values]):
        marks = np.vectorize(lambda v: int(combined.positions(v)) if is_traced(v) else -1,
                             otypes=[np.intp])(np.asarray(values, dtype=object))
    else:
        marks = -1
    if mode == "empty":
        return combined.result(np.pad(inner, pad_width, "constant", constant_values=-1),
                               dtype=_dtype(array))
    return combined.result(np.pad(inner, pad_width, "constant", constant_values=marks),
                           dtype=_dtype(array))


@implements("choose")
def _choose(a: Any, choices: Any, out: Any = None, mode: str = "raise") -> Any:
    if _traced_in([a]):
        return _union([a] + list(choices), out, np.result_type(*[_dtype(c) for c in choices]),
                      lambda: np.choose(  # type: ignore[call-overload]
                          stand_in(a, np.intp), stand_in(list(choices)), mode=mode))
    combined = _Combined(list(choices))
    pos = np.choose(a, [combined.positions(c) for c in choices],  # type: ignore[call-overload]
                    mode=mode)
    return finish(combined.result(pos), out)


# --- functions that combine elements in place: unions over the broadcast shape ---------

def _union(values: Sequence[Any], out: Any = None, dtype: Any = None,
           made: Optional[Callable[[], Any]] = None) -> Any:
    """The union over the broadcast shape, laid out as the array `made` gives: NumPy's
    function applied to stand-ins of the values (C order where `made` is None, or where every
    value is C-ordered, as NumPy lays out what it makes of those)."""
    values = [v for v in values if v is not None]
    traced = [v for v in values if type(v) is TracedScalar]
    if out is None and traced and all(type(v) is TracedScalar or isinstance(v, _NUMBERS)
                                      for v in values):
        # Scalars in a loop: join their sets, no matrix.
        if dtype is None:
            dtype = np.result_type(*[_dtype(v) for v in values])
        return TracedScalar(_deps.join_all(v.deps for v in traced), np.dtype(dtype), traced[0].n)
    n = find_n(values)
    assert n is not None
    operands = [operand(v, n) for v in values]
    shape = tuple(np.broadcast_shapes(*[o.shape for o in operands]))
    rows = _deps.union(*(o.broadcast(shape, n) for o in operands))
    if dtype is None:
        dtype = np.result_type(*[o.dtype for o in operands])
    like = None if made is None or len(shape) < 2 or c_ordered(values) else made()
    return finish(result(shape, rows, dtype, n, like), out)


@implements("where")
def _where(condition: Any, *choices: Any) -> Any:
    if len(choices) != 2:
        raise unsupported("np.where with one argument", "it gives positions, which depend on "
                          "the values")
    dtype = np.result_type(_dtype(choices[0]), _dtype(choices[1]))
    if _traced_in([condition]) or isinstance(condition, (list, tuple)):
        return _union([condition, choices[0], choices[1]], dtype=dtype,
                      made=lambda: made_by_numpy(np.where, condition, *choices))
    # A constant condition: each element takes the branch it chooses, and nothing else.
    n = find_n(list(choices))
    assert n is not None
    chosen = np.asarray(condition, dtype=bool)
    first, second = operand(choices[0], n), operand(choices[1], n)
    shape = tuple(np.broadcast_shapes(chosen.shape, first.shape, second.shape))
    size = int(np.prod(shape, dtype=np.int64))
    mask = np.broadcast_to(chosen, shape).ravel()
    rows = [first.broadcast(shape, n), second.broadcast(shape, n)]
    rows = [r if r is not None else _deps.empty(size, n) for r in rows]
    pick = np.where(mask, np.arange(size), size + np.arange(size))
    like = elementwise_layout(np.where, [condition, choices[0], choices[1]], shape)
    return result(shape, _deps.gather(_deps.stack(rows, n), pick), dtype, n, like)


@implements("select")
def _select(condlist: Any, choicelist: Any, default: Any = 0) -> Any:
    if not _traced_in(list(condlist)):
        return _select_constant(list(condlist), list(choicelist), default)
    return _union(list(condlist) + list(choicelist) + [default],
                  dtype=np.result_type(*[_dtype(c) for c in choicelist]),
                  made=lambda: made_by_numpy(np.select, condlist, choicelist, default))


def _select_constant(condlist: List[Any], choicelist: List[Any], default: Any) -> Any:
    """np.select with constant conditions: each element depends on the one choice NumPy
    takes there (the first condition that holds, else the default), found by NumPy's own
    select on the choices' numbers."""
    if len(condlist) != len(choicelist):
        raise ValueError("list of cases must be same length as list of conditions")
    n = find_n(choicelist + [default])
    assert n is not None
    options = choicelist + [default]
    operands = [operand(v, n) for v in options]
    conditions = [np.asarray(c) for c in condlist]
    shape = tuple(np.broadcast_shapes(*[o.shape for o in operands],
                                      *[c.shape for c in conditions]))
    size = int(np.prod(shape, dtype=np.int64))
    chosen = np.broadcast_to(np.select(conditions, list(range(len(choicelist))),
                                       len(choicelist)), shape).ravel()
    rows = [o.broadcast(shape, n) for o in operands]
    rows = [r if r is not None else _deps.empty(size, n) for r in rows]
    dtype = np.result_type(*[_dtype(c) for c in choicelist])
    like = elementwise_layout(np.select, [condlist, choicelist, default], shape)
    pick = chosen.astype(np.int64) * size + np.arange(size)
    return result(shape, _deps.gather(_deps.stack(rows, n), pick), dtype, n, like)


@implements("clip")
def _clip(a: Any, a_min: Any = None, a_max: Any = None, out: Any = None, **kwargs: Any) -> Any:
    bounds = [kwargs.pop(k, None) for k in ("min", "max")]
    for name in kwargs:
        # where= leaves the other elements as they were: not followed.
        if name not in ("dtype", "casting") and not (name == "order" and kwargs[name] == "K"):
            raise unsupported("np.clip with %s=" % name)
    a_min, a_max = (v if _given(v) else None for v in (a_min, a_max))
    return _union([a, a_min, a_max] + bounds, out, _dtype(a),
                  lambda: made_by_numpy(np.clip, a, a_min, a_max, **dict(
                      (k, v) for k, v in zip(("min", "max"), bounds) if v is not None)))


@implements("isclose")
def _isclose(a: Any, b: Any, rtol: Any = 1e-05, atol: Any = 1e-08, equal_nan: bool = False) -> Any:
    return _union([a, b, rtol, atol], dtype=bool,
                  made=lambda: made_by_numpy(np.isclose, a, b, rtol, atol, equal_nan))


def _unary(function: Callable[..., Any]) -> Callable[..., Any]:
    def handler(x: Any, *args: Any, **kwargs: Any) -> Any:
        out = kwargs.pop("out", None)
        _refuse_traced_index(list(args) + list(kwargs.values()))
        return _union([x], out, _dtype(x),
                      lambda: made_by_numpy(function, x, *args, **kwargs))
    return handler


for _name in ("round", "around", "round_", "fix", "nan_to_num", "sinc", "i0", "angle",
              "iscomplex", "isreal"):
    if hasattr(np, _name):
        implements(_name)(_unary(getattr(np, _name)))


@implements("interp")
def _interp(x: Any, xp: Any, fp: Any, left: Any = None, right: Any = None,
            period: Any = None) -> Any:
    # Each value depends on its own x and on whichever table entries bracket it: all of them,
    # unless x and xp are constants and xp increases, when the two bracketing entries are known.
    if _traced_in([period]):
        raise unsupported("np.interp with a traced period")
    if not _traced_in([x, xp]) and period is None and np.ndim(fp) == 1:
        table = np.asarray(xp, dtype=float)
        if table.ndim == 1 and len(table) and np.all(np.diff(table) > 0):
            return _interp_bracketed(np.asarray(x, dtype=float), table, fp, left, right)
    n = find_n([x, xp, fp, left, right])
    assert n is not None
    shape = np.shape(x)
    whole = [_reduce_rows_of(v, n) for v in (xp, fp, left, right) if v is not None]
    rows = _deps.union(operand(x, n).broadcast(shape, n),
                       *(None if w is None else _deps.gather(w, np.zeros(int(np.prod(shape)),
                                                                         np.intp))
                         for w in whole))
    dtype = np.complex128 if np.dtype(_dtype(fp)).kind == "c" else np.float64
    return result(shape, rows, dtype, n)


def _interp_bracketed(x: np.ndarray, xp: np.ndarray, fp: Any, left: Any, right: Any) -> Any:
    n = find_n([fp, left, right])
    assert n is not None
    values = operand(fp, n)
    last = len(xp) - 1
    if values.shape != (len(xp),):
        raise ValueError("fp and xp are not of the same length.")
    above = np.searchsorted(xp, x.ravel(), side="right")
    below = np.clip(above - 1, 0, last)
    above = np.clip(above, 0, last)
    size = x.size
    rows = values.broadcast(values.shape, n)
    parts = [None if rows is None else _deps.union(_deps.gather(rows, below),
                                                     _deps.gather(rows, above))]
    for bound, outside in ((left, x.ravel() < xp[0]), (right, x.ravel() > xp[-1])):
        if bound is not None and _traced_in([bound]):
            bound_rows = operand(bound, n).broadcast((size,), n)
            parts.append(_deps.gather(bound_rows, np.where(outside, np.arange(size), -1)))
    dtype = np.complex128 if np.dtype(_dtype(fp)).kind == "c" else np.float64
    return result(x.shape, _deps.union(*parts), dtype, n)


def _reduce_rows_of(value: Any, n: int) -> Optional[Any]:
    """One row: the union of all of `value`'s elements (None for a constant)."""
    op = operand(value, n)
    rows = op.broadcast(op.shape, n)
    if rows is None:
        return None
    return reduce_rows(rows, op.shape, tuple(range(len(op.shape))))


@implements("convolve")
def _convolve(a: Any, v: Any, mode: str = "full") -> Any:
    n = find_n([a, v])
    assert n is not None
    first, second = operand(a, n), operand(v, n)
    if len(first.shape) != 1 or len(second.shape) != 1:
        raise ValueError("object too deep for desired array")
    na, nv = first.shape[0], second.shape[0]
    if not na or not nv:
        raise ValueError("v cannot be empty" if not nv else "a cannot be empty")
    short, long_ = min(na, nv), max(na, nv)
    start, length = {"full": (0, na + nv - 1), "same": ((short - 1) // 2, long_),
                     "valid": (short - 1, long_ - short + 1)}[mode]
    parts = []
    for traced, other, size in ((first, v, nv), (second, a, na)):
        if traced.rows is None:
            continue
        # Output k of the full convolution takes traced[j] * other[k - j].
        partners = np.arange(size) if is_traced(other) else np.flatnonzero(np.asarray(other))
        j = np.repeat(np.arange(traced.shape[0]), len(partners))
        k = j + np.tile(partners, traced.shape[0]) - start
        keep = (k >= 0) & (k < length)
        parts.append(_deps.pairs(k[keep], j[keep], length, traced.rows))
    dtype = np.result_type(first.dtype, second.dtype)
    return result((length,), _deps.union(*parts), dtype, n)


# --- reductions and accumulations ------------------------------------------------------

def _reduction(names: Sequence[str], sample: Callable[..., Any], takes_dtype: bool,
               signature: Sequence[str]) -> None:
    def handler(a: Any, *args: Any, **kwargs: Any) -> Any:
        given = dict(zip(signature, args))
        given.update(kwargs)
        if given.get("returned"):
            raise unsupported("np.%s with returned=True" % names[0])
        for name in ("ddof", "correction", "initial", "mean", "weights", "ord"):
            if _traced_in([given.get(name)]):
                raise unsupported("np.%s with a traced %s" % (names[0], name))
        dtype = given.get("dtype") if takes_dtype else None
        result_dtype = _sample_dtype(sample, _dtype(a), **({"dtype": dtype} if _given(dtype)
                                                            else {}))
        return reduce(a, given.get("axis"), given.get("keepdims", False),
                      given.get("where", True), given.get("out"), result_dtype)
    implements(*names)(handler)


_SUM = ("axis", "dtype", "out", "keepdims", "initial", "where")
_MAX = ("axis", "out", "keepdims", "initial", "where")
_MEAN = ("axis", "dtype", "out", "keepdims")
_VAR = ("axis", "dtype", "out", "ddof", "keepdims")
_reduction(("sum", "nansum"), np.sum, True, _SUM)
_reduction(("prod", "nanprod", "product"), np.prod, True, _SUM)
_reduction(("max", "amax", "nanmax"), np.max, False, _MAX)
_reduction(("min", "amin", "nanmin"), np.min, False, _MAX)
_reduction(("mean", "nanmean"), np.mean, True, _MEAN)
_reduction(("std", "nanstd"), np.std, True, _VAR)
_reduction(("var", "nanvar"), np.var, True, _VAR)
_reduction(("any", "all"), np.any, False, ("axis", "out", "keepdims"))
_reduction(("ptp",), np.ptp, False, ("axis", "out", "keepdims"))
_reduction(("median", "nanmedian"), np.median, False, ("axis", "out", "overwrite_input",
                                                       "keepdims"))
_reduction(("count_nonzero",), np.count_nonzero, False, ("axis",))
_reduction(("linalg.norm",), np.linalg.norm, False, ("ord", "axis", "keepdims"))
_reduction(("average",), np.average, False, ("axis", "weights"))


@implements("trapezoid", "trapz")
def _trapezoid(y: Any, x: Any = None, dx: Any = 1.0, axis: int = -1) -> Any:
    # The spacing scales every term: a traced dx (or x) joins every output.
    values = ([y] if x is None else [y, x]) + ([dx] if x is None and is_traced(dx) else [])
    n = find_n(values)
    shape = np.shape(y)
    rows = _deps.union(*(operand(v, n).broadcast(shape, n) for v in values  # type: ignore
                         if np.shape(v) == shape or np.ndim(v) == 0))
    if x is not None and np.shape(x) != shape and _traced_in([x]):
        raise unsupported("np.trapezoid with a traced x of another shape than y")
    reduced = reduce_rows(rows, shape, normalize_axes(axis, len(shape)))
    out_shape = tuple(d for k, d in enumerate(shape) if k != axis % len(shape))
    return result(out_shape, reduced, np.float64, n)  # type: ignore[arg-type]


@implements("trace")
def _trace(a: Any, offset: int = 0, axis1: int = 0, axis2: int = 1, dtype: Any = None,
           out: Any = None) -> Any:
    diagonal = np.diagonal(a, offset, axis1, axis2)
    return np.sum(diagonal, axis=-1, dtype=dtype, out=out)


def _accumulation(names: Sequence[str], sample: Callable[..., Any]) -> None:
    def handler(a: Any, axis: Any = None, dtype: Any = None, out: Any = None,
                include_initial: bool = False) -> Any:
        result_dtype = _sample_dtype(sample, _dtype(a), **({"dtype": dtype} if _given(dtype)
                                                            else {}))
        if not include_initial:
            return accumulate(a, axis, out, result_dtype)
        # NumPy's cumulative_sum and cumulative_prod only: a constant first (0 or 1) before
        # the prefixes, along the axis, which NumPy requires for more than one dimension.
        array = as_array(a)
        if axis is None and array.ndim != 1:
            raise ValueError("axis must be specified for multi-dimensional arrays.")
        along = normalize_axes(0 if axis is None else axis, array.ndim)[0]
        shape = list(array.shape)
        shape[along] = 1
        prefixes = accumulate(array, along, None, result_dtype)
        return finish(np.concatenate([np.zeros(shape, result_dtype), prefixes], axis=along),
                      out)
    implements(*names)(handler)


_accumulation(("cumsum", "nancumsum", "cumulative_sum"), np.cumsum)
_accumulation(("cumprod", "nancumprod", "cumproduct", "cumulative_prod"), np.cumprod)


@implements("diff")
def _diff(a: Any, n: int = 1, axis: int = -1, prepend: Any = None, append: Any = None) -> Any:
    array = as_array(a) if is_traced(a) else a
    ndim = np.ndim(array)
    axis = normalize_axes(axis, ndim)[0]
    edges = []
    for extra in (prepend, append):
        if _given(extra):
            if np.ndim(extra) == 0:
                shape = list(np.shape(array))
                shape[axis] = 1
                extra = np.broadcast_to(extra, tuple(shape))
            edges.append(extra)
        else:
            edges.append(None)
    if edges[0] is not None or edges[1] is not None:
        array = np.concatenate([e for e in (edges[0], array, edges[1]) if e is not None], axis)
    later = tuple(slice(1, None) if k == axis else slice(None) for k in range(ndim))
    earlier = tuple(slice(None, -1) if k == axis else slice(None) for k in range(ndim))
    combine = np.not_equal if np.dtype(_dtype(array)) == bool else np.subtract
    for _ in range(n):
        array = combine(array[later], array[earlier])
    return array



for _name in ("dot", "vdot", "inner", "outer", "tensordot", "einsum", "kron", "linalg.multi_dot",
              "linalg.matmul", "linalg.vecdot", "linalg.outer", "linalg.tensordot"):
    _handler = getattr(_contract, _name.split(".")[-1], None)
    if _handler is not None:
        implements(_name)(_handler)

RULES["function"] = dispatch
